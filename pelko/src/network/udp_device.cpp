// The UDP channel: the open handshake, datagrams sorted into records, interrupts and text,
// the record counter, the interrupt queue, and the handle release on close.
#include "network/udp_device.hpp"

#include <boost/asio/error.hpp>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstring>

#include "core/orvan_error.hpp"
#include "core/orvan_options.hpp"
#include "identify/description.hpp"
#include "platform/datagram_receive.hpp"

namespace orvan {

namespace asio = boost::asio;
using asio::ip::udp;

namespace {
constexpr char kRelease[] = "IHS=>-1\r";

bool Passed(std::chrono::steady_clock::time_point deadline) {
  return std::chrono::steady_clock::now() >= deadline;
}
}  // namespace

protocol::DatagramKind SortDatagram(const char* bytes, size_t length, OrvDataRecord* record,
                                    std::deque<uint8_t>& interrupts) {
  const protocol::DatagramKind kind = protocol::ClassifyDatagram(bytes, length);
  if (kind == protocol::DatagramKind::Record && record) {
    std::memcpy(record->bytes, bytes, std::min(length, sizeof record->bytes));
  } else if (kind == protocol::DatagramKind::Interrupt) {
    const protocol::StatusBytes status = protocol::InterruptStatus(length);
    for (size_t i = status.offset; i < status.offset + status.count; ++i) {
      if (interrupts.size() < kInterruptLimit) interrupts.push_back(static_cast<uint8_t>(bytes[i]));
    }
  }
  return kind;
}

UdpDevice::UdpDevice(asio::io_context& io) : channel(io) {}

UdpDevice::~UdpDevice() = default;

void UdpDevice::Open(const std::shared_ptr<OrvanOptions>& opened) {
  if (open) Close();
  ForgetOwedReply();
  options = opened;
  channel.GuardOpen(open, [&] {
    const uint16_t port = unsolicitedPort ? options->unsolicitedPort : options->commandPort;
    remoteEndpoint = ResolveFirst<udp>(channel.step, options->address, port, options->timeout);
    channel.Reset();
    channel.socket.open(udp::v4());
    // Reads and writes try the socket first and wait for readiness only when it has to.
    channel.socket.non_blocking(true);
    open = true;
    Command("", true, options->timeout, true);
    description = std::make_shared<Description>();
  });
}

void UdpDevice::Close() {
  if (open) {
    try {
      Write(kRelease, sizeof kRelease - 1, options->timeout, false);
    } catch (const OrvanError&) {
      // The controller frees the handle by itself in time; closing goes on.
    }
    channel.ShutDown();
  }
  channel.Reset();
  open = false;
  if (description) description->identified = false;
}

bool UdpDevice::TryReceive() {
  for (;;) {
    boost::system::error_code error;
    ReceivedBlock& received = channel.received;
    const size_t count = platform::ReceiveDatagram(
        channel.socket, asio::buffer(received.Target(), received.Capacity()), sender, error);
    if (error == asio::error::would_block) return false;
    const bool oversized = error == asio::error::message_size;
    if (error && !oversized) throw OrvanError(-1103, error.message());
    // Only the controller's own address is heard; any other host cannot redirect us.
    if (sender.address() != remoteEndpoint.address()) continue;
    remoteEndpoint.port(sender.port());
    if (oversized) throw OrvanError(-1103, error.message());
    received.Fill(count);
    return true;
  }
}

bool UdpDevice::TakeDatagram() {
  const protocol::DatagramKind kind = SortDatagram(
      channel.received.Bytes(), channel.received.Count(), recordBuffer.get(), interrupts);
  if (kind == protocol::DatagramKind::Text) return false;
  if (kind == protocol::DatagramKind::Record) ++recordCounter;
  channel.received.Clear();
  return true;
}

size_t UdpDevice::Read(char* buffer, uint64_t length, bool separateUnsolicited, int32_t timeout) {
  if (length == 0) throw OrvanError(-1103, "user buffer has zero length");
  if (channel.received.Remaining() == 0) {
    if (!TryReceive()) {
      const int32_t wait = EffectiveTimeout(timeout);
      if (wait == 0) return 0;
      channel.AwaitReceive(BlockingStep::Deadline(wait), shared_from_this(),
                           [this] { return TryReceive(); });
    }
    if (TakeDatagram()) return 0;
  }
  return channel.received.CopyOut(*this, buffer, length, separateUnsolicited);
}

int32_t UdpDevice::BytesAvailable() { return open ? channel.BytesWaiting() : 0; }

bool UdpDevice::TrySend(const char* bytes, size_t size, size_t& sent) {
  boost::system::error_code error;
  sent = channel.socket.send_to(asio::buffer(bytes, size), remoteEndpoint, 0, error);
  if (error == asio::error::would_block) return false;
  if (error) throw OrvanError(-1104, error.message());
  return true;
}

void UdpDevice::Write(const char* buffer, uint64_t length, int32_t timeout, bool progress) {
  if (timeout <= 0) timeout = options->timeout;
  WriteChunks(
      *this, channel, shared_from_this(), buffer, length, timeout, progress, pacing,
      [this](const char* bytes, size_t size, size_t& sent) { return TrySend(bytes, size, sent); });
}

int32_t UdpDevice::Record(bool async, int32_t timeout) {
  if (!recordBuffer) throw OrvanError(-1107, "no user orvan::DataRecord available");
  if (!async) {
    QueryRecord(timeout);
    return reportedCounter;
  }
  if (recordCounter != reportedCounter) return reportedCounter = recordCounter;
  if (timeout < 0) timeout = options->timeout;
  const bool poll = timeout == 0;
  if (poll) {
    if (BytesAvailable() < 1) return recordCounter;
    timeout = 100;
  }
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout);
  std::array<char, kReadBlock> scratch;
  const int32_t before = recordCounter;
  while (recordCounter == before) {
    if (Passed(deadline)) throw OrvanError(-1100);
    Read(scratch.data(), scratch.size(), true, timeout);
    if (poll) break;
  }
  return reportedCounter = recordCounter;
}

uint8_t UdpDevice::Interrupt(int32_t timeout) {
  if (timeout < 0) timeout = options->timeout;
  auto takeOldest = [this] {
    const uint8_t status = interrupts.front();
    interrupts.pop_front();
    return status;
  };
  if (!interrupts.empty()) return takeOldest();
  if (timeout == 0 && BytesAvailable() <= 0) return 0;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout);
  std::array<char, kReadBlock> scratch;
  for (;;) {
    const size_t count = Read(scratch.data(), scratch.size(), true, timeout);
    for (size_t i = 0; i < count; ++i) QueueUnsolicited(static_cast<uint8_t>(scratch[i]));
    if (!interrupts.empty()) return takeOldest();
    if (timeout == 0) return 0;
    if (Passed(deadline)) throw OrvanError(-1100);
  }
}

void UdpDevice::SetOption(int32_t option, int32_t value) {
  if (option == kOptionUnsolicitedPort) unsolicitedPort = value != 0;
  if (option == kOptionPacing) pacing = value != 0;
}

}  // namespace orvan
