// The TLS command channel to the server: connect with the compatibility check, sends and
// receives under deadlines, raw reads and writes with their pacing, the command engine's
// timeout rule, and the mode escapes.
#include "server_client/client_device.hpp"

#include <boost/asio/ip/address_v4.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/asio/write.hpp>

#include <openssl/ssl.h>

#include <algorithm>
#include <cstring>

#include "core/orvan_error.hpp"
#include "core/orvan_options.hpp"
#include "protocol/shell_wire.hpp"
#include "server_client/tls_link.hpp"

namespace orvan {

namespace asio = boost::asio;
namespace ssl = asio::ssl;
using asio::ip::tcp;

namespace {

// The server's request size: writes go out in chunks of at most this many bytes.
constexpr size_t kServerLine = protocol::kRequestSize;
constexpr uint32_t kNetworkPaceMilliseconds = 26;
constexpr uint32_t kSerialPaceNumerator = 4939000;
constexpr char kLostText[] = "connection to dravo lost";

// What of a command reaches the server: the engine drops the blanks before it.
size_t SentLength(const std::string& command) {
  const auto first = command.find_first_not_of(' ');
  return first == std::string::npos ? 0 : command.size() - first;
}

}  // namespace

bool ClientDevice::CommandChannel::IsOpen() const {
  return link && link->stream.next_layer().is_open();
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
  if (ParseUnsigned(reply, 0) != protocol::kCompatibility)
    throw OrvanError(-20003, "DRAVO not compatible");
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
  // In cooked mode the server takes one request of at most kRequestSize bytes with the CR and
  // answers a longer command with "\" alone, passing nothing on: no reply would ever come.
  const size_t length = SentLength(text);
  if (command.mode == kModeCooked && length + 1 > protocol::kRequestSize) {
    throw OrvanError(-10002, "command of " + std::to_string(length) +
                                 " characters is too long to pass through the server (at most " +
                                 std::to_string(protocol::kRequestSize - 1) + ")");
  }
  try {
    return OrvanDevice::Command(text, trim, timeout, throwOnError);
  } catch (const OrvanError& e) {
    if (e.Code() == -1100) {
      // The server keeps the controller for an unfinished reply until it sees ESC c.
      try {
        SendCommand(Escape(protocol::kEscapeCooked), options->timeout);
      } catch (const OrvanError&) {
        // A lost channel has no server session left to free.
      }
      command.mode = kModeCooked;
      // The server drops whatever of the reply comes after the escape.
      OwedReplyWithdrawn();
    }
    throw;
  }
}

void ClientDevice::SetCommandChannelMode(int32_t mode) {
  std::lock_guard<std::recursive_timed_mutex> guard(requestLock);
  if (mode == kModeShell) SendCommand(Escape(protocol::kEscapeShell), options->timeout);
  if (mode == kModeRaw) SendCommand(Escape(protocol::kEscapeRaw), options->timeout);
  if (mode == kModeCooked) SendCommand(Escape(protocol::kEscapeCooked), options->timeout);
  command.mode = mode;
}

void ClientDevice::ExitCommandChannel() {
  try {
    if (command.mode != kModeShell) {
      SendCommand(Escape(protocol::kEscapeShell), options->timeout);
      command.mode = kModeShell;
    }
    SendCommand(CommandLine("exit"), options->timeout);
  } catch (const OrvanError&) {
    // Leaving is best effort; the socket closes next either way.
  }
}

}  // namespace orvan
