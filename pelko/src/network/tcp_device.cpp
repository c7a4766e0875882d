// The TCP channel: connect, chunked and paced writes, reads that set bit-7 bytes aside and
// acknowledge long or unsolicited reads with a line feed, and records through "QR".
#include "network/tcp_device.hpp"

#include <algorithm>
#include <cstring>

#include "core/orvan_error.hpp"
#include "core/orvan_options.hpp"
#include "identify/description.hpp"

namespace orvan {

namespace asio = boost::asio;
using asio::ip::tcp;

namespace {
// A read longer than this makes the controller wait for a line feed.
constexpr size_t kAcknowledgedRead = 393;
}  // namespace

TcpDevice::TcpDevice(asio::io_context& io) : channel(io) {}

TcpDevice::~TcpDevice() = default;

void TcpDevice::Open(const std::shared_ptr<OrvanOptions>& opened) {
  if (open) Close();
  ForgetOwedReply();
  options = opened;
  channel.GuardOpen(open, [&] {
    const uint16_t port = unsolicitedPort ? options->unsolicitedPort : options->commandPort;
    const auto endpoint = ResolveFirst<tcp>(channel.step, options->address, port, options->timeout);
    channel.Reset();

    bool connected = false;
    boost::system::error_code connectError;
    channel.socket.async_connect(
        endpoint, [&connected, &connectError, self = shared_from_this(),
                   current = channel.Generation()](const boost::system::error_code& error) {
          if (current != self->channel.Generation()) return;
          connectError = error;
          connected = true;
        });
    // A failure resets the channel, so the cancelled connect never reaches these locals.
    channel.step.Run(options->timeout, [&] { return connected; });
    if (connectError) throw OrvanError(-1101, connectError.message());
    channel.socket.set_option(tcp::no_delay(true));
    // Reads and writes try the socket first and wait for readiness only when it has to.
    channel.socket.non_blocking(true);
    open = true;
    description = std::make_shared<Description>();
  });
}

void TcpDevice::Close() {
  if (open) channel.ShutDown();
  channel.Reset();
  open = false;
  if (description) description->identified = false;
}

bool TcpDevice::TryReceive(size_t size) {
  boost::system::error_code error;
  const size_t count =
      channel.socket.read_some(asio::buffer(channel.received.Target(), size), error);
  if (error == asio::error::would_block) return false;
  if (error) throw OrvanError(-1103, error.message());
  receivedCount = count;
  channel.received.Fill(count);
  return true;
}

size_t TcpDevice::Read(char* buffer, uint64_t length, bool separateUnsolicited, int32_t timeout) {
  if (length == 0) throw OrvanError(-1103, "user buffer has zero length");
  ReceivedBlock& received = channel.received;
  if (received.Remaining() == 0) {
    receivedCount = 0;
    const size_t size = static_cast<size_t>(std::min<uint64_t>(length, received.Capacity()));
    // Bytes already here are taken at once; otherwise wait for the socket to become readable.
    if (!TryReceive(size)) {
      const int32_t wait = EffectiveTimeout(timeout);
      if (wait == 0) return 0;
      channel.AwaitReceive(BlockingStep::Deadline(wait), shared_from_this(),
                           [&] { return TryReceive(size); });
    }
    const size_t placed = received.CopyOut(*this, buffer, length, separateUnsolicited);
    // The controller holds further output until a long or unsolicited read is acknowledged.
    if (received.HasHighBit() || receivedCount > kAcknowledgedRead) {
      Write("\n", 1, options->timeout, false);
    }
    return placed;
  }
  return received.CopyOut(*this, buffer, length, separateUnsolicited);
}

int32_t TcpDevice::BytesAvailable() { return open ? channel.BytesWaiting() : 0; }

bool TcpDevice::TrySend(const char* bytes, size_t size, size_t& sent) {
  boost::system::error_code error;
  sent = channel.socket.write_some(asio::buffer(bytes, size), error);
  if (error == asio::error::would_block) return false;
  if (error) throw OrvanError(-1104, error.message());
  return sent > 0;
}

void TcpDevice::Write(const char* buffer, uint64_t length, int32_t timeout, bool progress) {
  if (timeout <= 0) timeout = options->timeout;
  WriteChunks(
      *this, channel, shared_from_this(), buffer, length, timeout, progress, pacing,
      [this](const char* bytes, size_t size, size_t& sent) { return TrySend(bytes, size, sent); });
}

int32_t TcpDevice::Record(bool async, int32_t timeout) {
  if (async) throw OrvanError(-1109, "async data records not available on TCP connections");
  if (!recordBuffer) throw OrvanError(-1107, "no user orvan::DataRecord available");
  QueryRecord(timeout);
  return 0;
}

void TcpDevice::SetOption(int32_t option, int32_t value) {
  if (option == kOptionUnsolicitedPort) unsolicitedPort = value != 0;
  if (option == kOptionPacing) pacing = value != 0;
}

}  // namespace orvan
