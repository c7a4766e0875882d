// One socket (or serial port) of a direct device and how its blocking steps wait on it. Every
// transfer is first tried without blocking; only when the stream is not ready does a readiness
// wait become the step's operation. A wait cut short by its deadline stays pending and the
// next step reuses it, so nothing is ever left transferring into a caller's buffer, and a
// timed-out write leaves nothing behind to go out after the next one.
#pragma once

#include <boost/asio/buffer.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/serial_port.hpp>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <memory>
#include <utility>

#include "core/blocking_step.hpp"
#include "core/orvan_device.hpp"
#include "core/orvan_error.hpp"
#include "core/received_block.hpp"
#include "platform/serial_port.hpp"

namespace orvan {

// Writes longer than this wait after each chunk while pacing is on, so the controller keeps up.
constexpr size_t kPacedWrite = 448;
constexpr uint32_t kPaceMilliseconds = 26;

// Sized by its transport: a controller read by default; the server's sub-channels take more.
// `Socket` is an Asio socket or a serial port.
template <class Socket, size_t BlockSize = kReadBlock>
class SocketChannel {
public:
  explicit SocketChannel(boost::asio::io_context& io) : step(io), socket(io) {}
  ~SocketChannel() { Reset(); }

  // Closes the socket and forgets every wait and byte of the old one.
  void Reset() {
    boost::system::error_code ignored;
    socket.close(ignored);
    Invalidate();
    receiveWaiting = sendWaiting = false;
    received.Clear();
  }
  void ShutDown() {
    boost::system::error_code ignored;
    socket.shutdown(Socket::shutdown_both, ignored);
    Reset();
  }
  // Handlers of operations started before this store nothing.
  void Invalidate() { ++generation; }
  uint32_t Generation() const { return generation; }

  // Runs a device's open: on any failure the channel is closed and `open` cleared, and a
  // failure that is not the library's own becomes -1101 with its text.
  template <class Body>
  void GuardOpen(bool& open, Body body) {
    try {
      body();
    } catch (const OrvanError&) {
      open = false;
      Reset();
      throw;
    } catch (const std::exception& e) {
      open = false;
      Reset();
      throw OrvanError(-1101, e.what());
    }
  }

  // Waits until attempt() succeeds, bounded by the deadline (-1100). `owner` keeps the device
  // and so this channel alive while a wait is pending.
  template <class Attempt>
  void AwaitReceive(BlockingStep::Clock::time_point deadline, const std::shared_ptr<void>& owner,
                    Attempt attempt) {
    Await(true, receiveWaiting, deadline, owner, attempt);
  }
  template <class Attempt>
  void AwaitSend(BlockingStep::Clock::time_point deadline, const std::shared_ptr<void>& owner,
                 Attempt attempt) {
    Await(false, sendWaiting, deadline, owner, attempt);
  }

  // Bytes waiting in the stream and in the received block; -1 when the stream cannot tell.
  int32_t BytesWaiting() {
    const int64_t waiting = Waiting(socket);
    if (waiting < 0) return -1;
    return static_cast<int32_t>(
        std::min<int64_t>(waiting + static_cast<int64_t>(received.Remaining()), INT32_MAX));
  }

  BlockingStep step;
  Socket socket;
  BasicReceivedBlock<BlockSize> received;

private:
  template <class Attempt>
  void Await(bool reading, bool& waiting, BlockingStep::Clock::time_point deadline,
             const std::shared_ptr<void>& owner, Attempt& attempt) {
    for (;;) {
      if (!waiting) {
        waiting = true;
        StartWait(socket, reading,
                  [this, &waiting, owner, current = generation](const boost::system::error_code&) {
                    if (current == generation) waiting = false;
                  });
      }
      step.Run(deadline, [&waiting] { return !waiting; });
      if (attempt()) return;
      // A stream that keeps waking the wait without taking a transfer still ends on time.
      if (BlockingStep::Clock::now() >= deadline) throw OrvanError(-1100);
    }
  }

  template <class Stream, class Handler>
  static void StartWait(Stream& stream, bool reading, Handler handler) {
    stream.async_wait(reading ? Stream::wait_read : Stream::wait_write, std::move(handler));
  }
  // A serial port has no readiness wait of its own; a transfer of no buffers is one.
  template <class Handler>
  static void StartWait(boost::asio::serial_port& port, bool reading, Handler handler) {
    auto done = [handler = std::move(handler)](const boost::system::error_code& error,
                                               size_t) mutable { handler(error); };
    if (reading) {
      port.async_read_some(boost::asio::null_buffers(), std::move(done));
    } else {
      port.async_write_some(boost::asio::null_buffers(), std::move(done));
    }
  }

  template <class Stream>
  static int64_t Waiting(Stream& stream) {
    boost::system::error_code error;
    const size_t waiting = stream.available(error);
    return error ? -1 : static_cast<int64_t>(waiting);
  }
  static int64_t Waiting(boost::asio::serial_port& port) {
    return port.is_open() ? platform::SerialBytesWaiting(port.native_handle()) : -1;
  }

  uint32_t generation = 0;
  bool receiveWaiting = false;
  bool sendWaiting = false;
};

// Writes the buffer in chunks of at most kWriteChunk bytes. send(bytes, size, sent) makes one
// non-blocking attempt: false when the socket is not ready, else the count it took in `sent`.
// Each chunk has the whole timeout; progress reports go to the device's callback.
template <class Channel, class Send>
void WriteChunks(OrvanDevice& device, Channel& channel, const std::shared_ptr<void>& owner,
                 const char* buffer, uint64_t length, int32_t timeout, bool progress, bool pacing,
                 Send send) {
  uint64_t position = 0;
  while (position < length) {
    const size_t chunk = static_cast<size_t>(std::min<uint64_t>(length - position, kWriteChunk));
    size_t sent = 0;
    auto attempt = [&] { return send(buffer + position, chunk, sent); };
    if (!attempt()) channel.AwaitSend(BlockingStep::Deadline(timeout), owner, attempt);
    if (pacing && length > kPacedWrite) WaitMilliseconds(kPaceMilliseconds);
    // A datagram goes whole; a chunk that took nothing must not stall the loop.
    position += sent > 0 ? sent : chunk;
    if (progress && device.progressCallback) {
      device.progressCallback(static_cast<uint32_t>(position), static_cast<uint32_t>(length),
                              device.callbackUser);
    }
  }
}

}  // namespace orvan
