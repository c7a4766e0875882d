// The server-client device: TLS connect and compatibility check, the shell exchange with its
// mode escapes, open and link with retries, the UDP sub-channels and their subscriptions,
// raw reads and writes, messages, records, interrupts, and the keep-alive thread.
#include "server_client/client_device.hpp"

#include <sys/socket.h>

#include <boost/asio/ip/address_v4.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ip/udp.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/asio/write.hpp>

#include <openssl/ssl.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <system_error>

#include "core/orvan_error.hpp"
#include "core/orvan_options.hpp"
#include "core/received_block.hpp"
#include "identify/description.hpp"
#include "platform/datagram_receive.hpp"

namespace orvan {

namespace asio = boost::asio;
namespace ssl = asio::ssl;
using asio::ip::tcp;
using asio::ip::udp;

namespace {

constexpr char kEscape = 0x1B;
// The server's line limit: writes go out in chunks of at most this many bytes.
constexpr size_t kServerLine = 449;
constexpr uint32_t kNetworkPaceMilliseconds = 26;
constexpr uint32_t kSerialPaceNumerator = 4939000;
constexpr int kLinkTries = 6;
constexpr uint32_t kFirstLinkPause = 8;
constexpr size_t kSubCommandReply = 406;
constexpr size_t kInterruptLimit = 64;
constexpr char kLostText[] = "connection to dravo lost";
constexpr char kNoSubscription[] = "no dravo subscription for this stream";

std::string Escape(char letter) { return std::string{kEscape, letter}; }

std::string TrimLineEnds(const std::string& text) {
  const auto first = text.find_first_not_of("\r\n");
  if (first == std::string::npos) return {};
  const auto last = text.find_last_not_of("\r\n");
  return text.substr(first, last - first + 1);
}

ssl::context MakeContext() {
  try {
    ssl::context context(ssl::context::tls);
    context.set_options(ssl::context::no_compression);
    // The server's certificate is its own, self-signed one: it is not checked.
    context.set_verify_mode(ssl::verify_none);
    return context;
  } catch (const boost::system::system_error& e) {
    throw boost::system::system_error(e.code(), "context");
  }
}

int64_t MillisecondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                               start)
      .count();
}

}  // namespace

ShellAnswer CollectShellReply(const char* bytes, size_t count, std::string& reply) {
  for (size_t i = 0; i < count; ++i) {
    if (bytes[i] == '\\') return ShellAnswer::Refused;
    if (bytes[i] == '~') return ShellAnswer::Complete;
    reply += bytes[i];
  }
  return ShellAnswer::Incomplete;
}

// Everything one TLS connection owns, so a pending operation of an older connection
// writes only into its own buffers.
struct ClientDevice::TlsLink {
  explicit TlsLink(asio::io_context& io) : context(MakeContext()), stream(io, context) {}

  ssl::context context;
  ssl::stream<tcp::socket> stream;
  BasicReceivedBlock<kChannelBlock> received;
  bool readPending = false;
  boost::system::error_code readError;
  std::array<char, kChannelBlock> sendBuffer{};
  bool writePending = false;
  size_t sentCount = 0;
  boost::system::error_code writeError;
};

bool ClientDevice::CommandChannel::IsOpen() const {
  return link && link->stream.next_layer().is_open();
}

bool ClientDevice::SubChannel::IsOpen() const { return link && link->socket.is_open(); }

ClientDevice::ClientDevice(asio::io_context& io) : step(io), ioContext(&io) {}

ClientDevice::~ClientDevice() {
  StopKeepAlive();
  boost::system::error_code ignored;
  for (SubChannel* channel : {&messages, &records, &interruptChannel}) {
    if (channel->link) channel->link->Reset();
  }
  if (command.link) command.link->stream.next_layer().close(ignored);
}

void ClientDevice::Connect(const std::string& address, uint16_t port) {
  std::lock_guard<std::recursive_timed_mutex> guard(requestLock);
  connected = false;
  boost::system::error_code ignored;
  // The previous link stays alive as long as operations of its own are pending.
  if (command.link) command.link->stream.next_layer().close(ignored);
  command.link = std::make_shared<TlsLink>(*ioContext);
  command.mode = kModeShell;
  passRemaining = 0;
  lost = false;
  const auto link = command.link;
  const int32_t timeout = options->timeout;

  tcp::endpoint endpoint;
  boost::system::error_code notNumeric;
  const auto numeric = asio::ip::make_address_v4(address, notNumeric);
  if (!notNumeric) {
    endpoint = tcp::endpoint(numeric, port);
  } else {
    try {
      endpoint = ResolveFirst<tcp>(step, address, port, timeout);
    } catch (const OrvanError& e) {
      if (e.Code() == -1100) throw;
      throw OrvanError(-20000, e.Message());
    }
  }

  struct Outcome {
    bool done = false;
    boost::system::error_code error;
  };
  auto outcome = std::make_shared<Outcome>();
  link->stream.next_layer().async_connect(
      endpoint, [link, outcome](const boost::system::error_code& error) {
        if (error) {
          outcome->error = error;
          outcome->done = true;
          return;
        }
        link->stream.async_handshake(ssl::stream_base::client,
                                     [outcome](const boost::system::error_code& shaken) {
                                       outcome->error = shaken;
                                       outcome->done = true;
                                     });
      });
  try {
    step.Run(timeout, [&] { return outcome->done; });
  } catch (const OrvanError&) {
    link->stream.next_layer().close(ignored);
    throw;
  }
  if (outcome->error) {
    link->stream.next_layer().close(ignored);
    throw OrvanError(-20000, outcome->error.message());
  }
  link->stream.next_layer().set_option(tcp::no_delay(true));

  const std::string reply = Shell("a -c", true);
  if (ParseUnsigned(reply, 0) != 1) throw OrvanError(-20003, "DRAVO not compatible");
  connected = true;
}

void ClientDevice::Disconnect() {
  std::lock_guard<std::recursive_timed_mutex> guard(requestLock);
  ExitCommandChannel();
  boost::system::error_code ignored;
  if (command.link) command.link->stream.next_layer().close(ignored);
  connected = false;
}

size_t ClientDevice::SendCommand(const char* bytes, size_t size, int32_t timeout) {
  if (!command.IsOpen()) throw OrvanError(-1102);
  if (lost) throw OrvanError(-1104, kLostText);
  const auto link = command.link;
  if (link->writePending) throw OrvanError(-1104, "write already pending");
  if (timeout <= 0) timeout = options->timeout;
  size = std::min(size, link->sendBuffer.size());
  std::memcpy(link->sendBuffer.data(), bytes, size);
  link->sentCount = 0;
  link->writeError.clear();
  link->writePending = true;
  asio::async_write(link->stream, asio::buffer(link->sendBuffer.data(), size),
                    [link](const boost::system::error_code& error, size_t sent) {
                      link->writePending = false;
                      link->sentCount = sent;
                      link->writeError = error;
                    });
  try {
    step.Run(timeout, [&] { return !link->writePending; });
  } catch (const OrvanError&) {
    // A send the server does not take in time leaves the stream unusable.
    lost = true;
    throw;
  }
  if (link->writeError) {
    lost = true;
    throw OrvanError(-1104, link->writeError.message());
  }
  passRemaining -= std::min<uint64_t>(passRemaining, link->sentCount);
  return link->sentCount;
}

void ClientDevice::SendCommand(const std::string& bytes, int32_t timeout) {
  SendCommand(bytes.data(), bytes.size(), timeout);
}

size_t ClientDevice::ReceiveCommand(char* buffer, size_t length, bool separate, int32_t timeout) {
  if (!command.IsOpen()) throw OrvanError(-1102);
  const auto link = command.link;
  if (link->readPending) step.Poll();
  if (link->received.Remaining() == 0) {
    if (lost) throw OrvanError(-1100, kLostText);
    const int32_t wait = EffectiveTimeout(timeout);
    if (wait == 0) return 0;
    const auto deadline = BlockingStep::Deadline(wait);
    while (link->received.Remaining() == 0) {
      if (!link->readPending) {
        link->readPending = true;
        link->readError.clear();
        const size_t size = std::min(length, link->received.Capacity());
        link->stream.async_read_some(asio::buffer(link->received.Target(), size),
                                     [link](const boost::system::error_code& error, size_t count) {
                                       link->readPending = false;
                                       link->readError = error;
                                       if (!error) link->received.Fill(count);
                                     });
      }
      step.Run(deadline, [&] { return !link->readPending; });
      if (link->readError) {
        // End of stream or a reset: the server is gone and no reply will come.
        lost = true;
        throw OrvanError(-1100, std::string(kLostText) + ": " + link->readError.message());
      }
    }
  }
  return link->received.CopyOut(*this, buffer, length, separate);
}

size_t ClientDevice::Read(char* buffer, uint64_t length, bool separateUnsolicited,
                          int32_t timeout) {
  std::lock_guard<std::recursive_timed_mutex> guard(requestLock);
  if (length == 0) throw OrvanError(-1103, "user buffer has zero length");
  const size_t size = static_cast<size_t>(std::min<uint64_t>(length, kChannelBlock));
  return ReceiveCommand(buffer, size, separateUnsolicited, timeout);
}

int32_t ClientDevice::BytesAvailable() {
  std::lock_guard<std::recursive_timed_mutex> guard(requestLock);
  if (!command.IsOpen()) return 0;
  const auto link = command.link;
  if (link->readPending) step.Poll();
  boost::system::error_code error;
  size_t waiting = link->stream.next_layer().available(error);
  if (error) waiting = 0;
  // Plaintext the TLS layer has already decrypted is waiting too, though the socket is empty.
  const int pending = SSL_pending(link->stream.native_handle());
  waiting += pending > 0 ? static_cast<size_t>(pending) : 0;
  return static_cast<int32_t>(std::min<size_t>(waiting + link->received.Remaining(), INT32_MAX));
}

void ClientDevice::Pace(uint64_t length) {
  if (length < kServerLine) return;
  if (addressKind == kAddressNetwork) {
    if (pacing) WaitMilliseconds(kNetworkPaceMilliseconds);
  } else if (addressKind == kAddressSerial) {
    // A baud rate of 0 says nothing about the line's speed: no pause rather than a division.
    const uint32_t baud = options->baud;
    if (baud > 0) WaitMilliseconds(kSerialPaceNumerator / baud);
  }
}

void ClientDevice::Write(const char* buffer, uint64_t length, int32_t timeout, bool progress) {
  std::lock_guard<std::recursive_timed_mutex> guard(requestLock);
  if (timeout <= 0) timeout = options->timeout;
  uint64_t position = 0;
  while (position < length) {
    const size_t chunk = static_cast<size_t>(std::min<uint64_t>(length - position, kServerLine));
    const size_t sent = SendCommand(buffer + position, chunk, timeout);
    // A complete write always moves every byte; nothing sent would loop for ever.
    if (sent == 0) throw OrvanError(-1104, kLostText);
    position += sent;
    Pace(length);
    if (progress && progressCallback) {
      progressCallback(static_cast<uint32_t>(position), static_cast<uint32_t>(length),
                       callbackUser);
    }
  }
}

std::string ClientDevice::Command(const std::string& text, bool trim, int32_t timeout,
                                  bool throwOnError) {
  std::lock_guard<std::recursive_timed_mutex> guard(requestLock);
  try {
    return OrvanDevice::Command(text, trim, timeout, throwOnError);
  } catch (const OrvanError& e) {
    if (e.Code() == -1100) {
      // The server keeps the controller for an unfinished reply until it sees ESC c.
      try {
        SendCommand(Escape('c'), options->timeout);
      } catch (const OrvanError&) {
        // A lost channel has no server session left to free.
      }
      command.mode = kModeCooked;
    }
    throw;
  }
}

std::string ClientDevice::ShellExchange(int32_t& mode, const std::string& text, bool restore,
                                        bool onCommandChannel, SubChannel* channel) {
  const int32_t timeout = options->timeout;
  const auto send = [&](const std::string& bytes) {
    if (onCommandChannel)
      SendCommand(bytes, timeout);
    else
      SendSub(*channel, bytes);
  };
  // One send carries the whole line, or the server would see a command cut in two.
  if (text.size() + 1 > kChannelBlock) {
    throw OrvanError(-10002,
                     "shell command longer than " + std::to_string(kChannelBlock - 1) + " bytes");
  }
  const int32_t previous = mode;
  if (previous != kModeShell) {
    send(Escape('s'));
    mode = kModeShell;
  }
  send(text + "\r");
  if (restore && previous != kModeShell) {
    if (previous == kModeRaw) send(Escape('r'));
    if (previous == kModeCooked) send(Escape('c'));
    mode = previous;
  }

  std::string reply;
  std::array<char, kChannelBlock> chunk;
  for (;;) {
    size_t count = 0;
    if (onCommandChannel) {
      count = ReceiveCommand(chunk.data(), chunk.size(), false, timeout);
    } else {
      ReceiveSub(*channel, timeout);
      count = channel->link->received.CopyOut(*this, chunk.data(), chunk.size(), false);
    }
    switch (CollectShellReply(chunk.data(), count, reply)) {
      case ShellAnswer::Refused:
        throw OrvanError(-20001, "backslash returned");
      case ShellAnswer::Complete:
        return TrimLineEnds(reply);
      case ShellAnswer::Incomplete:
        break;
    }
    if (reply.size() > kReplyLimit)
      throw OrvanError(-10004, "shell reply exceeds " + std::to_string(kReplyLimit) + " bytes");
  }
}

std::string ClientDevice::Shell(const std::string& text, bool restore) {
  std::lock_guard<std::recursive_timed_mutex> guard(requestLock);
  return ShellExchange(command.mode, text, restore, true, nullptr);
}

bool ClientDevice::TryShell(const std::string& text) {
  try {
    Shell(text, true);
    return true;
  } catch (const OrvanError&) {
    return false;
  }
}

void ClientDevice::ShellQuietly(const std::string& text) { TryShell(text); }

std::string ClientDevice::SubChannelShell(SubChannel& channel, const std::string& text) {
  return ShellExchange(channel.mode, text, true, false, &channel);
}

bool ClientDevice::TrySubChannelShell(SubChannel& channel, const std::string& text) {
  try {
    SubChannelShell(channel, text);
    return true;
  } catch (const OrvanError&) {
    return false;
  }
}

void ClientDevice::SetCommandChannelMode(int32_t mode) {
  std::lock_guard<std::recursive_timed_mutex> guard(requestLock);
  if (mode == kModeShell) SendCommand(Escape('s'), options->timeout);
  if (mode == kModeRaw) SendCommand(Escape('r'), options->timeout);
  if (mode == kModeCooked) SendCommand(Escape('c'), options->timeout);
  command.mode = mode;
}

void ClientDevice::SendSub(SubChannel& channel, const std::string& bytes) {
  if (!channel.IsOpen()) throw OrvanError(-1102);
  const auto link = channel.link;
  const size_t size = std::min(bytes.size(), kChannelBlock);
  auto attempt = [&] {
    boost::system::error_code error;
    link->socket.send(asio::buffer(bytes.data(), size), 0, error);
    if (error == asio::error::would_block) return false;
    if (error) throw OrvanError(-1104, error.message());
    return true;
  };
  if (!attempt()) link->AwaitSend(BlockingStep::Deadline(options->timeout), link, attempt);
}

void ClientDevice::ReceiveSub(SubChannel& channel, int32_t timeout) {
  if (!channel.IsOpen()) throw OrvanError(-1102);
  const auto link = channel.link;
  if (link->received.Remaining() > 0) return;
  if (timeout <= 0) timeout = options->timeout;
  auto attempt = [&] {
    boost::system::error_code error;
    const size_t count = platform::ReceiveDatagram(
        link->socket, asio::buffer(link->received.Target(), link->received.Capacity()), error);
    if (error == asio::error::would_block) return false;
    if (error) throw OrvanError(-1103, error.message());
    link->received.Fill(count);
    return count > 0;
  };
  if (!attempt()) link->AwaitReceive(BlockingStep::Deadline(timeout), link, attempt);
}

size_t ClientDevice::SubAvailable(SubChannel& channel) {
  if (!channel.IsOpen()) return 0;
  const int32_t waiting = channel.link->BytesWaiting();
  return waiting > 0 ? static_cast<size_t>(waiting) : 0;
}

void ClientDevice::SubChannelCommand(SubChannel& channel, const std::string& text) {
  if (channel.mode != kModeCooked) {
    SendSub(channel, Escape('c'));
    channel.mode = kModeCooked;
  }
  SendSub(channel, text + "\r");
  ReceiveSub(channel, options->timeout);
  auto& received = channel.link->received;
  const bool refused = received.Count() == 1 && received.Bytes()[0] == '\\';
  std::array<char, kSubCommandReply> reply;
  while (received.Remaining() > 0) received.CopyOut(*this, reply.data(), reply.size(), false);
  if (refused) throw OrvanError(-20001, "backslash returned");
}

void ClientDevice::LinkCommandChannel(const std::string& address) {
  Shell("o " + address, true);
  uint32_t pause = kFirstLinkPause;
  for (int attempt = 0; attempt < kLinkTries; ++attempt, pause *= 2) {
    if (TryShell("l " + address)) {
      if (command.mode != kModeCooked) SetCommandChannelMode(kModeCooked);
      return;
    }
    // The server opens a resource in the background; give it time before the next try.
    WaitMilliseconds(pause);
  }
  throw OrvanError(-1101, "unable to make link on dravo");
}

void ClientDevice::OpenSubChannel(SubChannel& channel) {
  if (channel.link) channel.link->Reset();
  channel.link = std::make_shared<DatagramLink>(*ioContext);
  channel.mode = kModeShell;
  boost::system::error_code notNumeric;
  const auto numeric = asio::ip::make_address_v4(options->serverAddress, notNumeric);
  const udp::endpoint endpoint =
      notNumeric
          ? ResolveFirst<udp>(step, options->serverAddress, options->serverPort, options->timeout)
          : udp::endpoint(numeric, options->serverPort);
  channel.link->socket.open(udp::v4());
  channel.link->socket.connect(endpoint);
  channel.link->socket.non_blocking(true);
  SubChannelShell(channel, "");
}

void ClientDevice::LinkSubChannel(SubChannel& channel, const std::string& address) {
  SubChannelShell(channel, "o " + address);
  uint32_t pause = kFirstLinkPause;
  for (int attempt = 0; attempt < kLinkTries; ++attempt, pause *= 2) {
    if (TrySubChannelShell(channel, "l " + address)) {
      if (channel.mode != kModeShell) {
        SendSub(channel, Escape('s'));
        channel.mode = kModeShell;
      }
      return;
    }
    WaitMilliseconds(pause);
  }
  throw OrvanError(-1101, "unable to make link on dravo");
}

void ClientDevice::ExitCommandChannel() {
  try {
    if (command.mode != kModeShell) {
      SendCommand(Escape('s'), options->timeout);
      command.mode = kModeShell;
    }
    SendCommand("exit\r", options->timeout);
  } catch (const OrvanError&) {
    // Leaving is best effort; the socket closes next either way.
  }
}

void ClientDevice::ExitSubChannel(SubChannel& channel) {
  try {
    if (channel.mode != kModeShell) {
      SendSub(channel, Escape('s'));
      channel.mode = kModeShell;
    }
    SendSub(channel, "exit\r");
  } catch (const OrvanError&) {
    // As above.
  }
}

void ClientDevice::CloseSubChannel(SubChannel& channel) {
  if (channel.link) channel.link->ShutDown();
}

void ClientDevice::Open(const std::shared_ptr<OrvanOptions>& opened) {
  std::lock_guard<std::recursive_timed_mutex> guard(requestLock);
  try {
    if (opened) {
      options = opened;
      Connect(options->serverAddress, options->serverPort);
    } else {
      Connect("127.0.0.1", 23);
    }
    addressKind = options->AddressKind();

    std::string commandAddress = " --address " + options->address;
    std::string streamAddress = commandAddress;
    if (addressKind == kAddressNetwork) {
      commandAddress +=
          " --port " + std::to_string(options->commandPort) +
          (options->commandType == kChannelTcp ? " --protocol tcp" : " --protocol udp");
      streamAddress += " --port " + std::to_string(options->unsolicitedPort) + " --protocol udp";
    } else if (addressKind == kAddressSerial) {
      commandAddress += " --baud " + std::to_string(options->baud);
      if (options->handshakeNone) commandAddress += " --handshake none";
      streamAddress = commandAddress;
    }
    LinkCommandChannel(commandAddress);

    open = true;
    description = std::make_shared<Description>();
    Command("EO0", false, options->timeout, false);

    const std::pair<bool, std::pair<SubChannel*, char>> streams[] = {
        {options->subscribeMG, {&messages, 'm'}},
        {options->subscribeDR, {&records, 'd'}},
        {options->subscribeEI, {&interruptChannel, 'i'}},
    };
    for (const auto& [subscribed, stream] : streams) {
      if (!subscribed) continue;
      SubChannel& channel = *stream.first;
      OpenSubChannel(channel);
      LinkSubChannel(channel, streamAddress);
      SendSub(channel, Escape(stream.second));
    }

    Initialize();
    StartKeepAlive();
  } catch (const OrvanError& e) {
    open = false;
    connected = false;
    throw OrvanError(-1101, ErrorCodeText(e.Code()));
  } catch (const std::exception& e) {
    open = false;
    connected = false;
    throw OrvanError(-1101, e.what());
  }
}

void ClientDevice::Initialize() {
  std::lock_guard<std::recursive_timed_mutex> guard(requestLock);
  OrvanDevice::Initialize();
  if (promptState) return;
  const bool network = addressKind == kAddressNetwork;
  if (addressKind == kAddressPci) Command("CW,,1", false, options->timeout, false);
  if (options->subscribeMG && addressKind != kAddressPci && messages.IsOpen()) {
    SubChannelCommand(messages, "CFI");
  }
  if (options->subscribeDR) {
    if (network && records.IsOpen()) SubChannelCommand(records, "DR,_WH");
    if (addressKind == kAddressPci) Command("DU1", false, options->timeout, false);
  }
  if (options->subscribeEI && network && interruptChannel.IsOpen()) {
    SubChannelCommand(interruptChannel, "EI,,_WH");
  }
}

size_t ClientDevice::Message(char* buffer, uint64_t length, int32_t timeout) {
  std::lock_guard<std::recursive_timed_mutex> guard(requestLock);
  if (timeout < 0) timeout = options->timeout;
  const auto start = std::chrono::steady_clock::now();
  uint64_t delivered = TakeUnsolicited(buffer, length);
  if (!messages.IsOpen()) {
    if (delivered > 0 || length == 0) return static_cast<size_t>(delivered);
    throw OrvanError(-20002, kNoSubscription);
  }
  auto& received = messages.link->received;
  const auto take = [&] {
    const size_t count =
        received.CopyOut(*this, buffer + delivered, static_cast<size_t>(length - delivered), false);
    for (size_t i = 0; i < count; ++i) buffer[delivered + i] &= 0x7F;
    delivered += count;
  };
  while (delivered < length) {
    if (SubAvailable(messages) == 0) break;
    try {
      ReceiveSub(messages, 100);
    } catch (const OrvanError& e) {
      if (e.Code() != -1100) throw;
    }
    take();
    if (timeout != 0 && MillisecondsSince(start) >= timeout) break;
  }
  if (delivered == 0 && timeout > 0 && length > 0) {
    ReceiveSub(messages, timeout);
    take();
  }
  return static_cast<size_t>(delivered);
}

int32_t ClientDevice::Record(bool async, int32_t timeout) {
  std::lock_guard<std::recursive_timed_mutex> guard(requestLock);
  if (!recordBuffer) throw OrvanError(-1107, "no user orvan::DataRecord available");
  if (async) {
    if (!records.IsOpen()) throw OrvanError(-20002, kNoSubscription);
    if (timeout == 0 && SubAvailable(records) == 0) return recordCounter;
    ReceiveSub(records, timeout);
    auto& received = records.link->received;
    const size_t size = std::min(received.Count(), sizeof recordBuffer->bytes);
    std::memcpy(recordBuffer->bytes, received.Bytes(), size);
    received.Clear();
    return ++recordCounter;
  }
  if (timeout <= 0) timeout = options->timeout;
  const std::string reply = Command("QR", true, timeout, true);
  const size_t skip = addressKind == kAddressPci ? 4 : 0;
  if (reply.size() >= skip && reply.size() - skip <= sizeof recordBuffer->bytes) {
    std::memcpy(recordBuffer->bytes, reply.data() + skip, reply.size() - skip);
  }
  return 0;
}

uint8_t ClientDevice::Interrupt(int32_t timeout) {
  std::lock_guard<std::recursive_timed_mutex> guard(requestLock);
  if (timeout < 0) timeout = options->timeout;
  if (!interrupts.empty()) {
    const uint8_t status = interrupts.front();
    interrupts.pop_front();
    return status;
  }
  if (!interruptChannel.IsOpen()) throw OrvanError(-20002, kNoSubscription);
  if (timeout == 0 && SubAvailable(interruptChannel) == 0) return 0;
  ReceiveSub(interruptChannel, timeout);
  auto& received = interruptChannel.link->received;
  const size_t count = received.Count();
  const char* bytes = received.Bytes();
  for (size_t i = 1; i < count; ++i) {
    if (interrupts.size() < kInterruptLimit) interrupts.push_back(static_cast<uint8_t>(bytes[i]));
  }
  const uint8_t first = static_cast<uint8_t>(bytes[0]);
  received.Clear();
  return first;
}

void ClientDevice::SetOption(int32_t option, int32_t value) {
  std::lock_guard<std::recursive_timed_mutex> guard(requestLock);
  switch (option) {
    case kOptionPassThrough:
      if (value != 0) {
        Shell("l -m 1 --pass " + std::to_string(value), false);
        command.mode = kModeRaw;
        passRemaining = static_cast<uint32_t>(value);
      } else if (command.mode != kModeRaw) {
        SetCommandChannelMode(kModeRaw);
      }
      break;
    case kOptionCommandMode:
      if (command.mode != kModeCooked) SetCommandChannelMode(kModeCooked);
      break;
    case kOptionBaud:
      Shell("ctrl --baud " + std::to_string(value), true);
      break;
    case kOptionStopBits:
      Shell("ctrl --stopbits " + std::to_string(value), true);
      break;
    case kOptionPacing:
      pacing = value != 0;
      break;
    default:
      break;
  }
}

void ClientDevice::Close() {
  bool wasOpen = false;
  {
    std::lock_guard<std::recursive_timed_mutex> guard(requestLock);
    wasOpen = open;
    if (wasOpen) {
      for (SubChannel* channel : {&messages, &records, &interruptChannel}) {
        if (!channel->IsOpen()) continue;
        ExitSubChannel(*channel);
        CloseSubChannel(*channel);
      }
      if (lost) {
        boost::system::error_code ignored;
        if (command.link) command.link->stream.next_layer().close(ignored);
        connected = false;
      } else {
        Disconnect();
      }
      open = false;
    }
  }
  // The keep-alive thread may be waiting for the lock released above.
  StopKeepAlive();
  if (wasOpen) description.reset();
  // Completions of the closed sockets drain here.
  step.Poll();
  if (addressKind == kAddressSerial) WaitMilliseconds(100);
}

void ClientDevice::StartKeepAlive() {
  StopKeepAlive();
  {
    std::lock_guard<std::mutex> guard(keepAliveMutex);
    keepAliveStop = false;
  }
  keepAliveThread = std::thread([this] { KeepAlive(); });
}

void ClientDevice::StopKeepAlive() {
  {
    std::lock_guard<std::mutex> guard(keepAliveMutex);
    keepAliveStop = true;
  }
  keepAliveWake.notify_all();
  if (keepAliveThread.joinable() && keepAliveThread.get_id() != std::this_thread::get_id()) {
    keepAliveThread.join();
  }
}

void ClientDevice::KeepAlive() {
  std::unique_lock<std::mutex> wait(keepAliveMutex);
  for (;;) {
    const auto period = std::chrono::milliseconds(keepAlivePeriod.load());
    if (keepAliveWake.wait_for(wait, period, [this] { return keepAliveStop; })) return;
    wait.unlock();
    // The lock is taken in bounded tries, so a thread joining this one while it holds the
    // request lock never waits for ever.
    std::unique_lock<std::recursive_timed_mutex> request(requestLock, std::defer_lock);
    while (!request.try_lock_for(std::chrono::milliseconds(100))) {
      std::lock_guard<std::mutex> guard(keepAliveMutex);
      if (keepAliveStop) return;
    }
    if (open) {
      const std::string keepAlive = Escape('k');
      try {
        // Inside a pass-counted run the escape would reach the controller as data.
        if (command.IsOpen() && !lost && passRemaining == 0)
          SendCommand(keepAlive, options->timeout);
      } catch (const OrvanError&) {
        // A lost channel is reported by the next operation.
      }
      for (SubChannel* channel : {&messages, &records, &interruptChannel}) {
        try {
          if (channel->IsOpen()) SendSub(*channel, keepAlive);
        } catch (const OrvanError&) {
          // As above.
        }
      }
    }
    request.unlock();
    wait.lock();
  }
}

std::string ClientDevice::Resources() {
  std::lock_guard<std::recursive_timed_mutex> guard(requestLock);
  // The search runs on in the server; its first results need a moment.
  if (TryShell("r -s")) WaitMilliseconds(500);
  return Shell("r", true);
}

std::string ClientDevice::NoIp() { return Shell("noip", true); }

void ClientDevice::NoIpListen(int32_t milliseconds) {
  ShellQuietly("noip -l " + std::to_string(milliseconds));
}

void ClientDevice::NoIpRemember(bool remember) {
  ShellQuietly(std::string("noip --remember ") + (remember ? "1" : "0"));
}

void ClientDevice::Assign(const std::string& mac, const std::string& ip) {
  if (mac.empty())
    ShellQuietly("assign --clear all");
  else if (ip.empty())
    ShellQuietly("assign --clear " + mac);
  else
    ShellQuietly("assign -m " + mac + " -a " + ip);
}

std::string ClientDevice::Servers() { return Shell("servers", true); }

void ClientDevice::Publish(const std::string& name, bool publish, bool save) {
  std::string text = publish ? "publish --name " + name + " --port 23"
                             : "publish --remove --name " + name + " --port 23";
  if (save) text += " --save";
  ShellQuietly(text);
}

std::string ClientDevice::Connections() { return Shell("connections", true); }

}  // namespace orvan
