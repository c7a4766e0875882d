// The fake controller without a transport: a peer's command bytes in, its replies out through
// the peer, and unsolicited messages, records and interrupts pushed to the peers that asked for
// them. Front ends (TCP, UDP, ...) make a peer per client and carry its bytes; tests read the
// log of everything that arrived.
#pragma once

#include "fakes/controller_loader.hpp"
#include "fakes/controller_memory.hpp"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
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

// Which socket of the controller a byte or command met, or its serial line.
struct FakeChannel {
  bool udp = false;
  uint16_t port = 0;
  bool serial = false;
  bool operator==(const FakeChannel& other) const {
    return udp == other.udp && port == other.port && serial == other.serial;
  }
};

// Where a serial line's bytes and commands are logged.
inline constexpr FakeChannel kSerialLine{false, 0, true};

// How the serial line was set when bytes arrived on it; all zero on a socket.
struct FakeLineSettings {
  unsigned baud = 0;
  bool twoStopBits = false;
  bool hardwareHandshake = false;
  bool operator==(const FakeLineSettings& other) const {
    return baud == other.baud && twoStopBits == other.twoStopBits &&
           hardwareHandshake == other.hardwareHandshake;
  }
};

struct FakeReceived {
  FakeChannel channel;
  uint16_t peerPort = 0;  // the sender's port
  std::string bytes;      // one read or one datagram, exactly as it arrived
  FakeLineSettings line;
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
  // A slow controller: the bytes leave this long after the command, and the peer's later
  // input waits until they have, as a controller works through its commands in turn.
  std::chrono::milliseconds delay{0};
  // Like a delay without end: the bytes leave when the test calls ReleaseHeld.
  bool hold = false;
  // With a delay or hold: sent at once, the start of a reply whose `bytes` come later.
  std::string lead;
};

// One client of the controller as its front end sees it (a TCP connection, a UDP sender, ...).
class ControllerPeer {
public:
  // `messagesByDefault`: unsolicited messages reach it while no peer has asked for them.
  ControllerPeer(FakeChannel where, uint16_t from, bool messagesByDefault = false)
      : channel(where), peerPort(from), takesMessages(messagesByDefault) {}
  virtual ~ControllerPeer() = default;
  // Bytes for this peer, in one write; `close` ends its connection once they are out.
  virtual void Send(const std::string& bytes, bool close) = 0;
  // The peer gave its handle up ("IHS=>-1"); a front end that keys peers by sender forgets it.
  virtual void Release() {}
  // Runs the work on the peer's own thread once the delay has passed. A front end without a
  // clock of its own runs it at once.
  virtual void After(std::chrono::milliseconds, std::function<void()> work) { work(); }
  // The line's settings as they stand now; a socket has none.
  virtual FakeLineSettings LineSettings() { return {}; }

  const FakeChannel channel;
  const uint16_t peerPort;
  const bool takesMessages;

private:
  friend class ControllerCore;
  std::string partial;      // command bytes before their CR
  MemoryTransfer transfer;  // a download in progress
  bool answering = false;   // a delayed reply is under way; input waits in `held`
  std::string held;
  LoaderSession loader;  // a firmware load in progress
};

class ControllerCore {
public:
  explicit ControllerCore(FakeIdentity identity = {});
  ControllerCore(const ControllerCore&) = delete;
  ControllerCore& operator=(const ControllerCore&) = delete;

  // What a peer sent in one read or datagram: logged, cut into commands at CR or ';' (an
  // unfinished one waits for the rest) and answered through the peer's Send on this thread.
  // One peer's input comes from one thread at a time; Send is never called under the lock.
  void Input(const std::shared_ptr<ControllerPeer>& peer, const std::string& bytes);
  // A connection-oriented peer (a TCP connection) arrived: it is counted, and takes messages
  // nobody asked for when it says so.
  void Attach(const std::shared_ptr<ControllerPeer>& peer);

  // Each text byte with bit 7 set: to the peers that sent "CFI", else to the attached peers
  // that take messages. Delivered through Send on the calling thread.
  void PushMessage(const std::string& text);
  // The record, to the peers that sent "DR,_WH".
  void PushRecord();
  // 0x01, the status bytes and a closing byte, to the peers that sent "EI,,_WH".
  void PushInterrupt(const std::string& status);

  // Sends the held scripted replies, each peer then going on with the input that waited.
  // Call it where the peers' sends belong (the front ends' thread).
  void ReleaseHeld();

  // Answers this exact command text (after CR and LF are stripped) with the scripted reply.
  void Script(const std::string& command, FakeReply reply);
  void SetIdentity(const FakeIdentity& identity);
  // The record that "QR" answers and PushRecord sends; its bytes 2-3 should hold its length.
  void SetRecord(const std::string& record);
  // A record of that many bytes with a valid header and length.
  static std::string MakeRecord(size_t length);

  // Program and array memory; downloads acknowledge each line with ACK when the capability
  // lines' UC value has bit 1 and the download asked for it.
  std::string Program();  // the lines as downloaded, each ended by CR
  void DefineArray(const std::string& name, size_t size);
  std::vector<double> Array(const std::string& name);
  // In the monitor every reply ends in '>' and Ctrl-R answers the identity's monitor text.
  void SetMonitor(bool on);
  // What the firmware loads left behind; it outlives every connection.
  FakeFirmware Firmware();
  // The binary loader answers its next pass through the step with this status.
  void ScriptLoaderStatus(BinaryStep step, int status);

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
  // Attached peers so far.
  size_t Connections();
  bool WaitForConnections(size_t count,
                          std::chrono::milliseconds timeout = std::chrono::milliseconds(5000));
  void ClearLog();

private:
  using Peers = std::vector<std::weak_ptr<ControllerPeer>>;
  struct Reply {
    std::string bytes;
    bool close = false;
    bool release = false;
    std::chrono::milliseconds delay{0};
    bool hold = false;
    std::string lead;
  };

  // Cuts the peer's input into commands and answers them, until a delayed reply holds the rest.
  void Process(const std::shared_ptr<ControllerPeer>& peer, const std::string& bytes);
  void Deliver(const std::shared_ptr<ControllerPeer>& peer, const Reply& reply);

  Reply Answer(const std::shared_ptr<ControllerPeer>& peer, const std::string& command);
  std::string BuiltIn(const std::shared_ptr<ControllerPeer>& peer, const std::string& text,
                      bool& release);
  bool LineAcknowledgement() const;
  void Push(const Peers& peers, const std::string& bytes);

  std::mutex lock;
  std::condition_variable arrived;
  FakeIdentity identity;
  std::vector<FakeReceived> received;
  std::vector<FakeCommand> commands;
  std::multimap<std::string, FakeReply> scripts;
  std::map<std::string, std::string> variables;
  std::string record;
  std::string lastError = "0";
  bool monitor = false;
  size_t connections = 0;
  ControllerMemory memory;
  ControllerLoader loader;
  Peers attached, messages, records, interrupts;
  std::vector<std::function<void()>> heldAnswers;  // the sends of held replies
};

}  // namespace orvan::fakes
