// The TCP channel: connect, chunked and paced writes, reads that set bit-7 bytes aside and
// acknowledge long or unsolicited reads with a line feed, and records through "QR".
#include "tcp_device.hpp"

#include <algorithm>
#include <cstring>

#include "description.hpp"
#include "orvan_error.hpp"
#include "orvan_options.hpp"

namespace orvan {

namespace asio = boost::asio;
using asio::ip::tcp;

namespace {
// A read longer than this makes the controller wait for a line feed.
constexpr size_t kAcknowledgedRead = 393;
constexpr size_t kPacedWrite = 448;
constexpr uint32_t kPaceMilliseconds = 26;
}  // namespace

TcpDevice::TcpDevice(asio::io_context& io) : step(io), socket(io) {}

TcpDevice::~TcpDevice() {
  boost::system::error_code ignored;
  socket.close(ignored);
}

void TcpDevice::Open(const std::shared_ptr<OrvanOptions>& opened) {
  if (open) Close();
  options = opened;
  try {
    const uint16_t port = unsolicitedPort ? options->unsolicitedPort : options->commandPort;
    const auto endpoint = ResolveFirst<tcp>(step, options->address, port, options->timeout);
    boost::system::error_code ignored;
    socket.close(ignored);
    ++generation;
    pendingReceives = 0;
    sendPending = false;
    receiveBuffer.Clear();

    bool connected = false;
    boost::system::error_code connectError;
    socket.async_connect(endpoint, [&connected, &connectError, self = shared_from_this(),
                                    current = generation](const boost::system::error_code& error) {
      if (current != self->generation) return;
      connectError = error;
      connected = true;
    });
    try {
      step.Run(options->timeout, [&] { return connected; });
    } catch (const OrvanError&) {
      // The cancelled connect must not reach the locals above after this frame is gone.
      ++generation;
      socket.close(ignored);
      throw;
    }
    if (connectError) throw OrvanError(-1101, connectError.message());
    socket.set_option(tcp::no_delay(true));
    // Reads and writes try the socket first and wait for readiness only when it has to.
    socket.non_blocking(true);
    open = true;
    description = std::make_shared<Description>(this);
  } catch (const std::exception& e) {
    open = false;
    throw OrvanError(-1101, e.what());
  } catch (const OrvanError&) {
    open = false;
    boost::system::error_code ignored;
    socket.close(ignored);
    throw;
  }
}

void TcpDevice::Close() {
  if (open) {
    boost::system::error_code ignored;
    socket.shutdown(tcp::socket::shutdown_both, ignored);
    socket.close(ignored);
  }
  ++generation;
  pendingReceives = 0;
  sendPending = false;
  receiveBuffer.Clear();
  open = false;
  if (description) description->identified = false;
}

void TcpDevice::StartReceive() {
  ++pendingReceives;
  socket.async_wait(tcp::socket::wait_read,
                    [self = shared_from_this(), current = generation](const boost::system::error_code&) {
                      if (current == self->generation) --self->pendingReceives;
                    });
}

bool TcpDevice::TryReceive(size_t size) {
  boost::system::error_code error;
  const size_t count = socket.read_some(asio::buffer(receiveBuffer.Target(), size), error);
  if (error == asio::error::would_block) return false;
  if (error) throw OrvanError(-1103, error.message());
  receivedCount = count;
  receiveBuffer.Fill(count);
  return true;
}

size_t TcpDevice::Read(char* buffer, uint64_t length, bool separateUnsolicited, int32_t timeout) {
  if (length == 0) throw OrvanError(-1103, "user buffer has zero length");
  if (receiveBuffer.Remaining() == 0) {
    receivedCount = 0;
    const size_t size = static_cast<size_t>(std::min<uint64_t>(length, receiveBuffer.Capacity()));
    // Bytes already here are taken at once; otherwise wait for the socket to become readable.
    // A wait left pending by an earlier deadline is reused, never doubled.
    if (!TryReceive(size)) {
      const int32_t wait = EffectiveTimeout(timeout);
      if (wait == 0) return 0;
      const auto deadline = BlockingStep::Deadline(wait);
      do {
        if (pendingReceives == 0) StartReceive();
        step.Run(deadline, [this] { return pendingReceives == 0; });
      } while (!TryReceive(size));
    }
    const size_t placed = receiveBuffer.CopyOut(*this, buffer, length, separateUnsolicited);
    // The controller holds further output until a long or unsolicited read is acknowledged.
    if (receiveBuffer.HasHighBit() || receivedCount > kAcknowledgedRead) {
      Write("\n", 1, options->timeout, false);
    }
    return placed;
  }
  return receiveBuffer.CopyOut(*this, buffer, length, separateUnsolicited);
}

int32_t TcpDevice::BytesAvailable() {
  if (!open) return 0;
  boost::system::error_code error;
  const size_t waiting = socket.available(error);
  if (error) return -1;
  return static_cast<int32_t>(std::min<size_t>(waiting + receiveBuffer.Remaining(), INT32_MAX));
}

void TcpDevice::StartSend() {
  sendPending = true;
  socket.async_wait(tcp::socket::wait_write,
                    [self = shared_from_this(), current = generation](const boost::system::error_code&) {
                      if (current == self->generation) self->sendPending = false;
                    });
}

bool TcpDevice::TrySend(const char* bytes, size_t size) {
  boost::system::error_code error;
  sentCount = socket.write_some(asio::buffer(bytes, size), error);
  if (error == asio::error::would_block) return false;
  if (error) throw OrvanError(-1104, error.message());
  return sentCount > 0;
}

void TcpDevice::Write(const char* buffer, uint64_t length, int32_t timeout, bool progress) {
  if (timeout <= 0) timeout = options->timeout;
  if (length == 0) return;
  uint64_t position = 0;
  while (position < length) {
    const size_t chunk = static_cast<size_t>(std::min<uint64_t>(length - position, kWriteChunk));
    sentCount = 0;
    if (!TrySend(buffer + position, chunk)) {
      const auto deadline = BlockingStep::Deadline(timeout);
      do {
        if (!sendPending) StartSend();
        step.Run(deadline, [this] { return !sendPending; });
      } while (!TrySend(buffer + position, chunk));
    }
    if (pacing && length > kPacedWrite) WaitMilliseconds(kPaceMilliseconds);
    position += sentCount;
    if (progress && progressCallback) {
      progressCallback(static_cast<uint32_t>(position), static_cast<uint32_t>(length),
                       callbackUser);
    }
  }
}

int32_t TcpDevice::Record(bool async, int32_t timeout) {
  if (async) throw OrvanError(-1109, "async data records not available on TCP connections");
  if (!recordBuffer) throw OrvanError(-1107, "no user orvan::DataRecord available");
  if (timeout <= 0) timeout = options->timeout;
  const std::string reply = Command("QR", true, timeout, true);
  std::memcpy(recordBuffer->bytes, reply.data(), std::min(reply.size(), sizeof recordBuffer->bytes));
  return 0;
}

void TcpDevice::SetOption(int32_t option, int32_t value) {
  if (option == kOptionUnsolicitedPort) unsolicitedPort = value != 0;
  if (option == kOptionPacing) pacing = value != 0;
}

}  // namespace orvan
