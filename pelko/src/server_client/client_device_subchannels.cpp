// The UDP sub-channels to the server: open, sends and receives of whole datagrams, commands
// through them, leaving and closing, and the messages, records and interrupts they carry.
#include "server_client/client_device.hpp"

#include <boost/asio/error.hpp>
#include <boost/asio/ip/address_v4.hpp>
#include <boost/asio/ip/udp.hpp>

#include <algorithm>
#include <array>
#include <cstring>

#include "core/orvan_error.hpp"
#include "core/orvan_options.hpp"
#include "platform/datagram_receive.hpp"

namespace orvan {

namespace asio = boost::asio;
using asio::ip::udp;

namespace {

constexpr char kNoSubscription[] = "no dravo subscription for this stream";

}  // namespace

bool ClientDevice::SubChannel::IsOpen() const { return link && link->socket.is_open(); }

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
    SendSub(channel, Escape(protocol::kEscapeCooked));
    channel.mode = kModeCooked;
  }
  SendSub(channel, CommandLine(text));
  ReceiveSub(channel, options->timeout);
  auto& received = channel.link->received;
  const bool refused = received.Count() == 1 && received.Bytes()[0] == protocol::kErrorTerminator;
  std::array<char, kReadBlock> reply;
  while (received.Remaining() > 0) received.CopyOut(*this, reply.data(), reply.size(), false);
  if (refused) throw OrvanError(-20001, "backslash returned");
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

void ClientDevice::ExitSubChannel(SubChannel& channel) {
  try {
    if (channel.mode != kModeShell) {
      SendSub(channel, Escape(protocol::kEscapeShell));
      channel.mode = kModeShell;
    }
    SendSub(channel, CommandLine("exit"));
  } catch (const OrvanError&) {
    // As above.
  }
}

void ClientDevice::CloseSubChannel(SubChannel& channel) {
  if (channel.link) channel.link->ShutDown();
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

}  // namespace orvan
