// A small stand-in for the communications server, for tests of the library's server-client
// device: TLS on one TCP port and UDP on the same port, the shell's modes and escapes, scripted
// shell and controller answers, subscriptions, and failures on demand (an incompatible
// server, refused links, dropped or stalled clients). It logs every byte it receives.
#pragma once

#include "fakes/fake_dravo_shell.hpp"

#include <boost/asio/io_context.hpp>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace orvan::fakes {

class FakeDravoTlsSide;
class FakeDravoUdpSide;

struct FakeDravoSettings {
  std::string address = "127.0.0.1";
  uint16_t port = 23;
  // The answer to "a -c".
  std::string compatibility = "1";
  // This many "l" commands with an address are refused before links succeed.
  int linkFailures = 0;
};

class FakeDravo {
public:
  explicit FakeDravo(FakeDravoSettings settings = {});
  ~FakeDravo();
  FakeDravo(const FakeDravo&) = delete;
  FakeDravo& operator=(const FakeDravo&) = delete;

  // Binds both sockets and serves on a thread of its own; throws when it cannot bind.
  void Start();
  void Stop();

  // The answer to a shell line (without its CR), "~" or "\" included; replaces the built-in.
  void ScriptShell(const std::string& line, const std::string& answer);
  // The answer to a controller command in cooked mode; an empty answer sends nothing.
  void ScriptCommand(const std::string& command, const std::string& answer);
  // Cooked commands go unanswered, as a controller that hangs.
  void SetSilent(bool silent);
  // TLS clients are no longer read from, so their sends back up.
  void StopReading();

  // To the UDP clients that subscribed with ESC m, ESC d or ESC i.
  void SendMessage(const std::string& text);
  void SendRecord(const std::string& record);
  void SendInterrupt(const std::string& status);
  // Closes every TLS client at once, as a server that goes away.
  void DropClients();

  // Every byte from TLS clients, joined; each TLS read as it arrived; every datagram joined.
  std::string TlsBytes();
  std::vector<std::string> TlsReads();
  std::string UdpBytes();
  // Shell lines executed, each prefixed "tcp " or "udp ".
  std::vector<std::string> ShellLines();
  // Controller commands received in cooked mode, without their CR.
  std::vector<std::string> Commands();
  // Waits until the predicate over this fake holds.
  bool WaitUntil(const std::function<bool()>& condition,
                 std::chrono::milliseconds timeout = std::chrono::milliseconds(5000));
  size_t TlsClients();
  void ClearLog();

private:
  void OnLoop(const std::function<void()>& work);
  void Broadcast(FakeDravoSession::Stream stream, const std::string& bytes);

  const FakeDravoSettings settings;
  std::mutex lock;
  std::condition_variable changed;
  std::string tlsBytes;
  std::vector<std::string> tlsReads;
  std::string udpBytes;

  std::atomic<bool> stopReading{false};
  FakeDravoShell shell;
  boost::asio::io_context io;
  std::thread thread;
  std::unique_ptr<FakeDravoTlsSide> tls;
  std::unique_ptr<FakeDravoUdpSide> udp;
};

}  // namespace orvan::fakes
