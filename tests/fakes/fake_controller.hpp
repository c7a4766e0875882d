// A controller on loopback for tests and benchmarks: the controller core served over TCP and
// UDP on its command and unsolicited ports, on the discovery group where asked, or over a serial
// line (a pty). It identifies itself as configured, sends unsolicited messages, data records and
// interrupts on request and records every byte it receives.
#pragma once

#include "fakes/controller_core.hpp"

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace orvan::fakes {

class ControllerPtyFrontEnd;
class ControllerTcpFrontEnd;
class ControllerUdpFrontEnd;

struct FakeControllerSettings {
  std::string address = "127.0.0.1";
  // Each port serves TCP and UDP alike; 0 picks a free port number open for both.
  uint16_t commandPort = 0;
  uint16_t unsolicitedPort = 0;
  FakeIdentity identity;
  // The IPv4 addresses of the interfaces on which it answers the discovery query; none by
  // default.
  std::vector<std::string> discoveryInterfaces;
  // When set, the controller serves a serial line instead of its sockets: a pty whose slave
  // this link names.
  std::string pty;
};

class FakeController : private ControllerCore {
public:
  explicit FakeController(FakeControllerSettings settings = {});
  ~FakeController();
  FakeController(const FakeController&) = delete;
  FakeController& operator=(const FakeController&) = delete;

  // Binds all four sockets (or makes the pty) and serves them on a thread of its own; throws
  // when it cannot.
  void Start();
  // Stops serving for good; the destructor does it too.
  void Stop();

  const std::string& Address() const { return settings.address; }
  uint16_t CommandPort() const { return settings.commandPort; }
  uint16_t UnsolicitedPort() const { return settings.unsolicitedPort; }

  // What the core answers and holds, and its log, as ControllerCore describes them.
  using ControllerCore::MakeRecord;
  using ControllerCore::Script;
  using ControllerCore::SetIdentity;
  using ControllerCore::SetMonitor;
  using ControllerCore::SetRecord;

  using ControllerCore::Array;
  using ControllerCore::DefineArray;
  using ControllerCore::Firmware;
  using ControllerCore::ScriptLoaderStatus;
  using ControllerCore::Program;

  using ControllerCore::ClearLog;
  using ControllerCore::Commands;
  using ControllerCore::CommandsOn;
  using ControllerCore::Received;
  using ControllerCore::ReceivedBytes;
  using ControllerCore::WaitForBytes;
  using ControllerCore::WaitForCommand;
  using ControllerCore::WaitForConnections;

  // The core's pushes, made on the I/O thread; each returns once the bytes are handed to the
  // sockets. A message goes to the handles that sent "CFI", else every TCP connection of the
  // command port.
  void SendMessage(const std::string& text);
  void SendRecord();
  void SendInterrupt(const std::string& status);
  // Raw bytes to the last UDP sender on that port (the discovery port too), or to every TCP
  // connection on it.
  void SendDatagram(uint16_t port, const std::string& bytes);
  void SendTcp(uint16_t port, const std::string& bytes);
  // Raw bytes down the serial line.
  void SendSerial(const std::string& bytes);
  // Stops (and starts again) taking bytes off the serial line and the TCP connections, so the
  // peer's writes stall once the buffers between are full.
  void PauseReading(bool paused);
  // Sends the scripted replies held so far (FakeReply::hold).
  void ReleaseHeld();
  // Drops every TCP connection and hangs the serial line up, as a controller that is switched
  // off.
  void CloseConnections();
  // TCP connections accepted so far; a send right after a client connects waits for this.
  size_t TcpConnections() { return Connections(); }

private:
  void OnLoop(const std::function<void()>& work);

  FakeControllerSettings settings;
  boost::asio::io_context io;
  // A paused serial line has no operation pending; the loop waits for the next call all the same.
  boost::asio::executor_work_guard<boost::asio::io_context::executor_type> serving{
      io.get_executor()};
  std::thread thread;
  std::vector<std::unique_ptr<ControllerTcpFrontEnd>> tcp;
  std::vector<std::unique_ptr<ControllerUdpFrontEnd>> udp;
  std::unique_ptr<ControllerPtyFrontEnd> line;
};

}  // namespace orvan::fakes
