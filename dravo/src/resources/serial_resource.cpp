// The serial transport of a resource: an exclusive open retried with growing waits, reads of
// whatever the line holds, whole-buffer writes, and rate and stop-bit changes on request.
#include "resources/serial_resource.hpp"

#include <fcntl.h>

#include <boost/asio/write.hpp>
#include <boost/system/system_error.hpp>

#include "platform/serial_port.hpp"
#include "shell/request.hpp"

namespace asio = boost::asio;
using SerialPort = asio::serial_port;

namespace {

constexpr std::chrono::milliseconds kFirstRetryWait{16};
constexpr std::chrono::milliseconds kLastRetryWait{128};

// Boost refuses rates termios lacks but maps 0 to B0, which hangs a real line up.
boost::system::error_code SetRate(SerialPort& port, uint32_t rate) {
  boost::system::error_code error;
  if (rate == 0) return asio::error::invalid_argument;
  port.set_option(SerialPort::baud_rate(rate), error);
  return error;
}

}  // namespace

SerialResource::SerialResource(asio::io_context& context, ResourceTable& table, uint32_t resourceId)
    : Resource(context, table, resourceId), port(context) {}

void SerialResource::Open(const OpenParameters& parameters) {
  Resource::Open(parameters);
  baud = parameters.baud;
  hardwareHandshake = parameters.hardwareHandshake;
  OpenPort({}, kFirstRetryWait);
}

void SerialResource::OpenPort(const boost::system::error_code& waited,
                              std::chrono::milliseconds delay) {
  // Released while waiting (the server is going): nobody waits for the outcome any more.
  if (waited || released) return;
  const auto error = TryOpen();
  if (!error) {
    StartRead();
    ReportOpened({});
    return;
  }
  // Every try starts from a closed port: one left open (and held) would fail each later try as
  // "already open", and that would be the error reported.
  boost::system::error_code ignored;
  port.close(ignored);
  if (delay > kLastRetryWait) {
    ReportOpened(error);
    return;
  }
  WaitOnIdleTimer(delay, [this, delay](const boost::system::error_code& result) {
    OpenPort(result, delay * 2);
  });
}

boost::system::error_code SerialResource::TryOpen() {
  boost::system::error_code error;
  port.open(platform::SerialPortPath(address), error);
  if (error) return error;
  // A program the host starts must not inherit the port, nor with it the hold.
  ::fcntl(port.native_handle(), F_SETFD, FD_CLOEXEC);
  error = platform::HoldExclusively(port.native_handle());
  if (!error) error = SetRate(port, baud);
  if (!error) port.set_option(SerialPort::parity(SerialPort::parity::none), error);
  if (!error) port.set_option(SerialPort::stop_bits(SerialPort::stop_bits::one), error);
  if (!error) port.set_option(SerialPort::character_size(8), error);
  if (error) return error;
  // A port that knows no hardware handshake still serves.
  boost::system::error_code ignored;
  port.set_option(SerialPort::flow_control(hardwareHandshake ? SerialPort::flow_control::hardware
                                                             : SerialPort::flow_control::none),
                  ignored);
  return {};
}

std::string SerialResource::Describe() const {
  SerialPort::baud_rate rate;
  SerialPort::flow_control flow;
  port.get_option(rate);
  port.get_option(flow);
  return "baud(" + std::to_string(rate.value()) + ") fc(" +
         (flow.value() == SerialPort::flow_control::hardware ? "hw" : "none") + ")";
}

void SerialResource::Close(std::shared_ptr<Resource>) {
  if (!port.is_open()) return;
  boost::system::error_code error;
  // Closing the descriptor also lets the hold go.
  port.close(error);
  if (error) throw boost::system::system_error(error, "close");
}

void SerialResource::Write(const uint8_t* bytes, size_t length) {
  asio::async_write(port, asio::buffer(bytes, length),
                    [self = shared_from_this(), this](const boost::system::error_code& error,
                                                      size_t count) { OnWrite(error, count); });
}

void SerialResource::StartRead() {
  port.async_read_some(asio::buffer(readBuffer),
                       [self = shared_from_this(), this](const boost::system::error_code& error,
                                                         size_t count) { OnRead(error, count); });
}

void SerialResource::SetOption(uint32_t parameter, uint32_t value) {
  boost::system::error_code ignored;  // a refused change is not reported
  if (parameter == Request::kControlBaud) {
    ignored = SetRate(port, value);
  } else if (parameter == Request::kControlStopBits) {
    port.set_option(
        SerialPort::stop_bits(value == 2 ? SerialPort::stop_bits::two : SerialPort::stop_bits::one),
        ignored);
  }
}
