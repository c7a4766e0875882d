// One serial port (RS-232) to a controller: opened and held for this connection alone, set to
// the options' rate, 8N1 and hardware handshake unless told otherwise, and driven by the same
// non-blocking steps as the Ethernet channels. Also the library's list of the host's ports.
#pragma once

#include <boost/asio/serial_port.hpp>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "core/orvan_device.hpp"
#include "core/socket_channel.hpp"

namespace orvan {

class SerialDevice : public OrvanDevice, public std::enable_shared_from_this<SerialDevice> {
public:
  explicit SerialDevice(boost::asio::io_context& io);
  ~SerialDevice() override;

  void Open(const std::shared_ptr<OrvanOptions>& opened) override;
  bool IsOpen() override { return Port().is_open(); }
  void Close() override;
  void Initialize() override;
  size_t Read(char* buffer, uint64_t length, bool separateUnsolicited, int32_t timeout) override;
  int32_t BytesAvailable() override { return channel.BytesWaiting(); }
  void Write(const char* buffer, uint64_t length, int32_t timeout, bool progress) override;
  int32_t Record(bool async, int32_t timeout) override;
  int32_t BusType() override { return kBusSerial; }
  // Baud rate (2) and stop bits (3); a refused rate leaves the line as it was.
  void SetOption(int32_t option, int32_t value) override;

private:
  boost::asio::serial_port& Port() { return channel.socket; }
  // One non-blocking attempt; false when the port is not ready.
  bool TryReceive(size_t size);
  bool TrySend(const char* bytes, size_t size, size_t& sent);

  SocketChannel<boost::asio::serial_port> channel;
};

// Appends each serial port of the host as a direct address ("/dev/ttyS0 -d"), in listing order.
void ListSerialPorts(std::vector<std::string>& list);

}  // namespace orvan
