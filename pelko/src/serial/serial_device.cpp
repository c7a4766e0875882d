// The serial transport: an exclusive open with the line settings of the options, reads that
// set bit-7 bytes aside, chunked writes without pacing, records through "QR", and the list of
// the host's ports for the direct address list.
#include "serial/serial_device.hpp"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>

#include "core/orvan_error.hpp"
#include "core/orvan_options.hpp"
#include "identify/description.hpp"
#include "platform/serial_port.hpp"

namespace orvan {

namespace asio = boost::asio;
using SerialPort = asio::serial_port;

namespace {

boost::system::error_code LastError() { return {errno, boost::system::system_category()}; }

std::string StepText(const char* step, const boost::system::error_code& error) {
  return std::string(step) + ": " + error.message();
}

// Sets the rate, refusing 0 and any rate termios lacks before anything reaches the line: B0
// would hang a real line up, and a refused rate leaves the line as it was.
boost::system::error_code SetRate(SerialPort& port, int64_t rate) {
  boost::system::error_code error;
  if (rate <= 0 || rate > UINT32_MAX) return asio::error::invalid_argument;
  port.set_option(SerialPort::baud_rate(static_cast<unsigned>(rate)), error);
  return error;
}

}  // namespace

SerialDevice::SerialDevice(asio::io_context& io) : channel(io) {}

SerialDevice::~SerialDevice() = default;

void SerialDevice::Open(const std::shared_ptr<OrvanOptions>& opened) {
  if (IsOpen()) Close();
  ForgetOwedReply();
  options = opened;
  bool open = false;
  channel.GuardOpen(open, [&] {
    channel.Reset();
    boost::system::error_code error;
    Port().open(platform::SerialPortPath(options->address), error);
    if (!error) error = platform::HoldExclusively(Port().native_handle());
    if (error) throw OrvanError(-1101, StepText("open", error));

    error = SetRate(Port(), options->baud);
    if (error) throw OrvanError(-1101, StepText("set_option", error));
    // Some ports know no hardware handshake; they still open.
    boost::system::error_code ignored;
    Port().set_option(
        SerialPort::flow_control(options->handshakeNone ? SerialPort::flow_control::none
                                                        : SerialPort::flow_control::hardware),
        ignored);
    Port().set_option(SerialPort::parity(SerialPort::parity::none), error);
    if (!error) Port().set_option(SerialPort::stop_bits(SerialPort::stop_bits::one), error);
    if (!error) Port().set_option(SerialPort::character_size(8), error);
    if (error) throw OrvanError(-1101, StepText("set_option", error));

    open = true;
    // The set-up runs before the description exists, so identification waits for its first
    // reader.
    Initialize();
    description = std::make_shared<Description>();
  });
}

void SerialDevice::Close() {
  // Closing the descriptor also lets the port's lock go.
  channel.Reset();
  if (description) description->identified = false;
}

void SerialDevice::Initialize() {
  OrvanDevice::Initialize();
  if (!promptState && options->subscribeMG) Command("CFI", false, -1, false);
}

bool SerialDevice::TryReceive(size_t size) {
  for (;;) {
    const ssize_t count = ::read(Port().native_handle(), channel.received.Target(), size);
    if (count > 0) {
      channel.received.Fill(static_cast<size_t>(count));
      return true;
    }
    // A line that has hung up reads as end of file: an error now, never "nothing yet".
    if (count == 0) throw OrvanError(-1103, boost::system::error_code(asio::error::eof).message());
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) return false;
    throw OrvanError(-1103, LastError().message());
  }
}

size_t SerialDevice::Read(char* buffer, uint64_t length, bool separateUnsolicited,
                          int32_t timeout) {
  if (length == 0) throw OrvanError(-1103, "user buffer has zero length");
  ReceivedBlock& received = channel.received;
  if (received.Remaining() == 0) {
    const size_t size = static_cast<size_t>(std::min<uint64_t>(length, received.Capacity()));
    if (!TryReceive(size)) {
      const int32_t wait = EffectiveTimeout(timeout);
      if (wait == 0) return 0;
      channel.AwaitReceive(BlockingStep::Deadline(wait), shared_from_this(),
                           [&] { return TryReceive(size); });
    }
  }
  return received.CopyOut(*this, buffer, length, separateUnsolicited);
}

bool SerialDevice::TrySend(const char* bytes, size_t size, size_t& sent) {
  for (;;) {
    const ssize_t count = ::write(Port().native_handle(), bytes, size);
    if (count >= 0) {
      sent = static_cast<size_t>(count);
      return sent > 0;
    }
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) return false;
    throw OrvanError(-1104, LastError().message());
  }
}

void SerialDevice::Write(const char* buffer, uint64_t length, int32_t timeout, bool progress) {
  if (timeout <= 0) timeout = options->timeout;
  // No pacing on this transport: the line's own rate holds the bytes back.
  WriteChunks(
      *this, channel, shared_from_this(), buffer, length, timeout, progress, false,
      [this](const char* bytes, size_t size, size_t& sent) { return TrySend(bytes, size, sent); });
}

int32_t SerialDevice::Record(bool async, int32_t timeout) {
  if (async) throw OrvanError(-1109, "async data records not available on serial connections");
  if (!recordBuffer) throw OrvanError(-1107, "no user orvan::DataRecord available");
  QueryRecord(timeout);
  return 0;
}

void SerialDevice::SetOption(int32_t option, int32_t value) {
  if (option != kOptionBaud && option != kOptionStopBits) return;
  if (!IsOpen()) throw OrvanError(-1102);
  boost::system::error_code error;
  if (option == kOptionBaud) {
    error = SetRate(Port(), value);
  } else {
    Port().set_option(
        SerialPort::stop_bits(value == 2 ? SerialPort::stop_bits::two : SerialPort::stop_bits::one),
        error);
  }
  if (error) throw OrvanError(-10002, StepText("set_option", error));
}

void ListSerialPorts(std::vector<std::string>& list) {
  for (const auto& path : platform::SerialPortPaths()) list.push_back(path + " -d");
}

}  // namespace orvan
