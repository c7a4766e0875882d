// One TCP socket to one controller port: a channel of the Ethernet connection, carrying
// commands and replies (port p1) or the controller's unsolicited messages (port p2).
#pragma once

#include <boost/asio/ip/tcp.hpp>

#include <cstddef>
#include <cstdint>
#include <memory>

#include "blocking_step.hpp"
#include "orvan_device.hpp"
#include "received_block.hpp"

namespace orvan {

// The most bytes one write hands to the transport.
constexpr size_t kWriteChunk = 449;

class TcpDevice : public OrvanDevice, public std::enable_shared_from_this<TcpDevice> {
public:
  explicit TcpDevice(boost::asio::io_context& io);
  ~TcpDevice() override;

  void Open(const std::shared_ptr<OrvanOptions>& opened) override;
  bool IsOpen() override { return open; }
  void Close() override;
  size_t Read(char* buffer, uint64_t length, bool separateUnsolicited, int32_t timeout) override;
  int32_t BytesAvailable() override;
  void Write(const char* buffer, uint64_t length, int32_t timeout, bool progress) override;
  int32_t Record(bool async, int32_t timeout) override;
  int32_t BusType() override { return kBusTcp; }
  void SetOption(int32_t option, int32_t value) override;

private:
  // Waits for readiness; their handlers only note that the wait has ended.
  void StartReceive();
  void StartSend();
  // One non-blocking attempt; false when the socket is not ready.
  bool TryReceive(size_t size);
  bool TrySend(const char* bytes, size_t size);

  size_t sentCount = 0;
  size_t receivedCount = 0;
  ReceivedBlock receiveBuffer;
  // Readiness waits started and not yet ended (0 or 1 each).
  int16_t pendingReceives = 0;
  bool sendPending = false;
  // Bumped by Close so the handlers of operations it cancelled store nothing.
  uint32_t generation = 0;
  // Runs the handle's I/O context for every blocking step.
  BlockingStep step;
  boost::asio::ip::tcp::socket socket;
  bool open = false;
  bool unsolicitedPort = false;
  bool pacing = true;
};

}  // namespace orvan
