// The connection to a controller through the communications server: one TLS command channel
// and up to three UDP sub-channels (messages, data records, interrupts) to the server, over
// which the server's shell is spoken to open and link the controller and then pass commands
// through. It also carries the utility call's shell requests and keeps idle channels alive.
// Its member functions live in one source per role: client_device.cpp (open, set-up, options,
// close), _command_link (the TLS channel), _subchannels, _shell (shell requests and link
// retries) and _utility (the utility call's requests).
#pragma once

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/udp.hpp>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>

#include "core/blocking_step.hpp"
#include "core/orvan_device.hpp"
#include "core/orvan_options.hpp"
#include "core/socket_channel.hpp"
#include "server_client/keep_alive.hpp"
#include "server_client/server_channel.hpp"

namespace orvan {

struct TlsLink;

class ClientDevice : public OrvanDevice, public std::enable_shared_from_this<ClientDevice> {
public:
  using DatagramLink = SocketChannel<boost::asio::ip::udp::socket, kChannelBlock>;

  // One TLS connection to the server. Each connect makes a new link; operations still
  // pending on an older one keep it alive and touch only it.
  struct CommandChannel {
    int32_t mode = kModeShell;
    std::shared_ptr<TlsLink> link;
    bool IsOpen() const;
  };

  // One UDP connection to the server.
  struct SubChannel {
    int32_t mode = kModeShell;
    std::shared_ptr<DatagramLink> link;
    bool IsOpen() const;
  };

  explicit ClientDevice(boost::asio::io_context& io);
  ~ClientDevice() override;

  void Open(const std::shared_ptr<OrvanOptions>& opened) override;
  bool IsOpen() override { return open; }
  void Close() override;
  void Initialize() override;
  size_t Read(char* buffer, uint64_t length, bool separateUnsolicited, int32_t timeout) override;
  int32_t BytesAvailable() override;
  void Write(const char* buffer, uint64_t length, int32_t timeout, bool progress) override;
  std::string Command(const std::string& command, bool trim, int32_t timeout,
                      bool throwOnError) override;
  size_t Message(char* buffer, uint64_t length, int32_t timeout) override;
  int32_t Record(bool async, int32_t timeout) override;
  uint8_t Interrupt(int32_t timeout) override;
  int32_t BusType() override { return kBusServerClient; }
  void SetOption(int32_t option, int32_t value) override;

  // Shell requests of the utility call. They let every error through ("\" is -20001), except
  // Publish, which reports only the server's refusal (-20001), and Ping, which only says
  // whether the server answered with success.
  std::string Resources();
  std::string NoIp();
  void NoIpListen(uint32_t milliseconds);
  void NoIpRemember(bool remember);
  bool NoIpRemembered();
  // How long the server listens for address requests, as it reports it.
  uint32_t NoIpTimeout();
  void Assign(const std::string& mac, const std::string& ip);
  bool Ping(const std::string& address);
  std::string Servers();
  void Publish(const std::string& name, bool publish, bool save);
  std::string Connections();

  // Channel operations; callers outside the device hold the request lock.
  // TLS to the server, then the compatibility check: -20000, -1100 or -20003.
  void Connect(const std::string& address, uint16_t port);
  void Disconnect();
  // One shell command and its reply before "~"; "\" raises -20001.
  std::string Shell(const std::string& text, bool restore);
  bool TryShell(const std::string& text);
  // Sends the escape that selects the mode (any other value is only recorded).
  void SetCommandChannelMode(int32_t mode);

  bool IsConnected() const { return connected; }
  int32_t CommandChannelMode() const { return command.mode; }
  std::recursive_timed_mutex& RequestLock() { return requestLock; }
  // How long the channels may stay silent before ESC k; tests shorten it.
  void SetKeepAlivePeriod(std::chrono::milliseconds period) { keepAlive.SetPeriod(period); }
  int32_t RecordCounter() const { return recordCounter; }
  size_t QueuedInterrupts() const { return interrupts.size(); }

private:
  // Sends on the command channel under the deadline; a failure or expiry marks the device
  // lost and raises (-1104 or -1100). The count sent.
  size_t SendCommand(const char* bytes, size_t size, int32_t timeout);
  void SendCommand(const std::string& bytes, int32_t timeout);
  // Bytes of one receive on the command channel into the buffer; 0 when timeout is 0 and
  // nothing is there.
  size_t ReceiveCommand(char* buffer, size_t length, bool separate, int32_t timeout);

  std::string SubChannelShell(SubChannel& channel, const std::string& text);
  bool TrySubChannelShell(SubChannel& channel, const std::string& text);
  void SubChannelCommand(SubChannel& channel, const std::string& text);
  void SendSub(SubChannel& channel, const std::string& bytes);
  // Makes sure a datagram is held; -1100 when none comes in time.
  void ReceiveSub(SubChannel& channel, int32_t timeout);
  // Bytes waiting on the sub-channel's socket plus those held.
  size_t SubAvailable(SubChannel& channel);

  void LinkCommandChannel(const std::string& address);
  void OpenSubChannel(SubChannel& channel);
  void LinkSubChannel(SubChannel& channel, const std::string& address);
  void ExitCommandChannel();
  void ExitSubChannel(SubChannel& channel);
  void CloseSubChannel(SubChannel& channel);
  void Pace(uint64_t length);
  void ShellQuietly(const std::string& text);

  // ESC k on every open channel; runs on the keep-alive thread under the request lock.
  void SendKeepAlives();

  BlockingStep step;
  boost::asio::io_context* ioContext;
  std::atomic<bool> open{false};
  std::atomic<bool> connected{false};
  std::deque<uint8_t> interrupts;
  int32_t recordCounter = 0;
  int32_t addressKind = kAddressNetwork;
  CommandChannel command;
  SubChannel messages;
  SubChannel records;
  SubChannel interruptChannel;
  bool pacing = true;
  // Bytes the server still passes unchanged after "l -m 1 --pass N"; no escape may go out on
  // the command channel meanwhile, or it would reach the controller as data.
  uint64_t passRemaining = 0;

  std::recursive_timed_mutex requestLock;
  KeepAlive keepAlive{requestLock, std::chrono::milliseconds(300100), [this] { SendKeepAlives(); }};
};

}  // namespace orvan
