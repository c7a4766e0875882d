// A controller on loopback for tests and benchmarks: answers commands over TCP and UDP on its
// command and unsolicited ports, identifies itself as configured, sends unsolicited messages,
// data records and interrupts on request and records every byte it receives.
#pragma once

#include <boost/asio/io_context.hpp>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace orvan::fakes {

// What the controller says about itself to the identification queries.
struct FakeIdentity {
  std::string identity = "VKT4140 Rev 1.0b";  // Ctrl-R Ctrl-V
  std::string serialNumber = "1234";          // "MG_BN{Z10.0}"
  std::string optionReport;                   // "ID"; empty answers a bare prompt
  std::string capabilities;                   // "QP"; empty answers a bare prompt
  std::string configuration = "0";            // "MG _CO"
  std::string samplePeriod = "1.0";           // "MG _TM"
  std::string monitor = "monitor 1.0";        // Ctrl-R while in the monitor
};

struct FakeControllerSettings {
  std::string address = "127.0.0.1";
  // Each port serves TCP and UDP alike; 0 picks a free port number open for both.
  uint16_t commandPort = 0;
  uint16_t unsolicitedPort = 0;
  FakeIdentity identity;
};

// Which socket of the controller a byte or command met.
struct FakeChannel {
  bool udp = false;
  uint16_t port = 0;
  bool operator==(const FakeChannel& other) const { return udp == other.udp && port == other.port; }
};

struct FakeReceived {
  FakeChannel channel;
  uint16_t peerPort = 0;  // the sender's port
  std::string bytes;      // one TCP read or one datagram, exactly as it arrived
};

struct FakeCommand {
  FakeChannel channel;
  std::string text;  // without CR or ';', bare LF bytes dropped
};

// A scripted answer replacing the built-in one.
struct FakeReply {
  std::string bytes;   // sent as they stand in one write; empty sends nothing
  bool close = false;  // TCP: close the connection once the bytes are out
  bool once = false;   // forget the script after its first use
  bool udpOnly = false;
  uint16_t port = 0;  // only on this port; 0 on both
};

class FakeController {
public:
  explicit FakeController(FakeControllerSettings settings = {});
  ~FakeController();
  FakeController(const FakeController&) = delete;
  FakeController& operator=(const FakeController&) = delete;

  // Binds all four sockets and serves them on a thread of its own; throws when it cannot bind.
  void Start();
  // Stops serving for good; the destructor does it too.
  void Stop();

  const std::string& Address() const { return settings_.address; }
  uint16_t CommandPort() const { return settings_.commandPort; }
  uint16_t UnsolicitedPort() const { return settings_.unsolicitedPort; }

  // Answers this exact command text (after CR and LF are stripped) with the scripted reply.
  void Script(const std::string& command, FakeReply reply);
  void SetIdentity(const FakeIdentity& identity);
  // The record that "QR" answers and SendRecord sends; its bytes 2-3 should hold its length.
  void SetRecord(const std::string& record);
  // A record of that many bytes with a valid header and length.
  static std::string MakeRecord(size_t length);

  // Each text byte with bit 7 set: to the handles that sent "CFI", else every TCP connection
  // of the command port. The Send calls return once the bytes are handed to the sockets.
  void SendMessage(const std::string& text);
  // The record as a datagram to the handles that sent "DR,_WH".
  void SendRecord();
  // 0x01, the status bytes and a closing byte, to the handles that sent "EI,,_WH".
  void SendInterrupt(const std::string& status);
  // Raw bytes to the last UDP sender on that port, or to every TCP connection on it.
  void SendDatagram(uint16_t port, const std::string& bytes);
  void SendTcp(uint16_t port, const std::string& bytes);
  // Drops every TCP connection, as a controller that is switched off.
  void CloseConnections();

  // Program and array memory. "DL" downloads replace the program (or insert at a line number),
  // acknowledging each line with ACK when the capability lines' UC value has bit 1 and the
  // download asked for it; "UL" uploads it. "DM" or DefineArray dimensions an array that "LA"
  // lists, "QD" fills and "QU" uploads.
  std::string Program();  // the lines as downloaded, each ended by CR
  void DefineArray(const std::string& name, size_t size);
  std::vector<double> Array(const std::string& name);
  // In the monitor every reply ends in '>' and Ctrl-R answers the identity's monitor text.
  void SetMonitor(bool on);

  std::vector<FakeReceived> Received();
  std::vector<FakeCommand> Commands();
  // Texts of the commands that met one channel.
  std::vector<std::string> CommandsOn(FakeChannel channel);
  // Everything that arrived on one channel, joined.
  std::string ReceivedBytes(FakeChannel channel);
  // Waits until the bytes that arrived on the channel hold the text.
  bool WaitForBytes(FakeChannel channel, const std::string& text,
                    std::chrono::milliseconds timeout = std::chrono::milliseconds(5000));
  // Waits until the command has arrived count times in all.
  bool WaitForCommand(const std::string& text, size_t count = 1,
                      std::chrono::milliseconds timeout = std::chrono::milliseconds(5000));
  // TCP connections accepted so far; a send right after a client connects waits for this.
  size_t TcpConnections();
  bool WaitForConnections(size_t count,
                          std::chrono::milliseconds timeout = std::chrono::milliseconds(5000));
  void ClearLog();

  class Handle;

private:
  class TcpSession;
  class UdpPort;

  void Serve(const std::shared_ptr<Handle>& handle, const std::string& chunk);
  std::string Answer(const std::shared_ptr<Handle>& handle, const std::string& command,
                     bool& close);
  void Record(const Handle& handle, const std::string& bytes);
  void OnLoop(std::function<void()> work);
  void Accept(size_t port);
  // Download bytes after a "DL" or "QD" line, up to the closing backslash.
  void Download(const std::shared_ptr<Handle>& handle, char byte);
  std::string StartDownload(const std::shared_ptr<Handle>& handle, const std::string& text);
  std::string UploadArray(const std::string& text);
  bool LineAcknowledged() const;

  FakeControllerSettings settings_;
  boost::asio::io_context io_;
  std::thread thread_;
  struct Sockets;
  std::unique_ptr<Sockets> sockets_;

  std::mutex lock_;
  std::condition_variable arrived_;
  std::vector<FakeReceived> received_;
  std::vector<FakeCommand> commands_;
  std::multimap<std::string, FakeReply> scripts_;
  std::map<std::string, std::string> variables_;
  std::string record_;
  std::string lastError_ = "0";
  size_t tcpConnections_ = 0;
  std::vector<std::string> program_;
  std::map<std::string, std::vector<double>> arrays_;
  bool monitor_ = false;
};

}  // namespace orvan::fakes
