// A controller reached over a serial port of the host: opened exclusively with a few tries, one
// read always pending, and the only resource whose line settings change while it is open.
#pragma once

#include "resources/resource.hpp"

#include <boost/asio/serial_port.hpp>

#include <chrono>

class SerialResource : public Resource {
public:
  SerialResource(boost::asio::io_context& io, ResourceTable& table, uint32_t id);
  uint32_t Kind() const override { return orvan::protocol::kKindSerial; }
  // Opens the port with the parameters' rate and handshake, trying up to five times.
  void Open(const OpenParameters& parameters) override;
  // "baud(rate) fc(hw|none)"; throws "get_option" when the port cannot tell.
  std::string Describe() const override;

protected:
  // Throws "close" when the port cannot be closed.
  void Close(std::shared_ptr<Resource> self) override;
  void Write(const uint8_t* bytes, size_t length) override;
  void StartRead() override;
  // 2: the rate; 3: two stop bits for 2, one otherwise. A setting the port refuses leaves the
  // line as it was.
  void SetOption(uint32_t parameter, uint32_t value) override;

private:
  void OpenPort(const boost::system::error_code& waited, std::chrono::milliseconds delay);
  boost::system::error_code TryOpen();

  boost::asio::serial_port port;
  // Copied from the open's parameters, which need not outlive a retry.
  uint32_t baud = 0;
  bool hardwareHandshake = false;
};
