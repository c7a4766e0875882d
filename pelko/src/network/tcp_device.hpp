// One TCP socket to one controller port: a channel of the Ethernet connection, carrying
// commands and replies (port p1) or the controller's unsolicited messages (port p2).
#pragma once

#include <boost/asio/ip/tcp.hpp>

#include <cstddef>
#include <cstdint>
#include <memory>

#include "core/orvan_device.hpp"
#include "core/socket_channel.hpp"

namespace orvan {

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
  // One non-blocking attempt; false when the socket is not ready.
  bool TryReceive(size_t size);
  bool TrySend(const char* bytes, size_t size, size_t& sent);

  size_t receivedCount = 0;
  SocketChannel<boost::asio::ip::tcp::socket> channel;
  bool open = false;
  bool unsolicitedPort = false;
  bool pacing = true;
};

}  // namespace orvan
