#include "fakes/controller_pty_front_end.hpp"

#include <boost/asio/posix/stream_descriptor.hpp>
#include <boost/asio/write.hpp>

#include <fcntl.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <array>
#include <deque>
#include <filesystem>
#include <stdexcept>
#include <system_error>

namespace orvan::fakes {

namespace asio = boost::asio;
namespace fs = std::filesystem;

namespace {

unsigned BaudOf(speed_t speed) {
  static const struct {
    speed_t speed;
    unsigned baud;
  } rates[] = {{B0, 0},           {B1200, 1200},     {B2400, 2400},     {B4800, 4800},
               {B9600, 9600},     {B19200, 19200},   {B38400, 38400},   {B57600, 57600},
               {B115200, 115200}, {B230400, 230400}, {B460800, 460800}, {B921600, 921600}};
  for (const auto& rate : rates) {
    if (rate.speed == speed) return rate.baud;
  }
  return static_cast<unsigned>(-1);  // a rate the table does not name
}

[[noreturn]] void Fail(const char* step) {
  throw std::system_error(errno, std::generic_category(), step);
}

}  // namespace

// The controller's end of the line: one peer of the core for the pty's whole life.
class ControllerPtyFrontEnd::Line : public ControllerPeer,
                                    public std::enable_shared_from_this<Line> {
public:
  Line(ControllerCore& core, asio::io_context& io, int masterSide, int slaveSide)
      : ControllerPeer(kSerialLine, 0, true),
        core(core),
        master(io, masterSide),
        slave(slaveSide) {}
  ~Line() override { ::close(slave); }

  void Start() {
    core.Attach(shared_from_this());
    DoRead();
  }

  void Send(const std::string& bytes, bool close) override {
    if (!master.is_open()) return;
    pending.push_back({bytes, close});
    if (pending.size() == 1) DoWrite();
  }

  FakeLineSettings LineSettings() override {
    termios settings{};
    if (::tcgetattr(slave, &settings) != 0) return {};
    return {BaudOf(cfgetospeed(&settings)), (settings.c_cflag & CSTOPB) != 0,
            (settings.c_cflag & CRTSCTS) != 0};
  }

  void Pause(bool on) {
    paused = on;
    if (!paused) DoRead();
  }

  void Close() {
    boost::system::error_code ignored;
    master.close(ignored);
    pending.clear();
  }

private:
  struct Outgoing {
    std::string bytes;
    bool close;
  };

  void DoRead() {
    if (reading || paused || !master.is_open()) return;
    reading = true;
    master.async_read_some(asio::buffer(buffer), [self = shared_from_this()](
                                                     const boost::system::error_code& error,
                                                     size_t count) { self->OnRead(error, count); });
  }

  void OnRead(const boost::system::error_code& error, size_t count) {
    reading = false;
    if (count > 0) core.Input(shared_from_this(), std::string(buffer.data(), count));
    if (!error) DoRead();
  }

  void DoWrite() {
    asio::async_write(master, asio::buffer(pending.front().bytes),
                      [self = shared_from_this()](const boost::system::error_code& error, size_t) {
                        self->OnWrite(error);
                      });
  }

  void OnWrite(const boost::system::error_code& error) {
    if (error || pending.empty()) return;
    const bool close = pending.front().close;
    pending.pop_front();
    if (close) return Close();
    if (!pending.empty()) DoWrite();
  }

  ControllerCore& core;
  asio::posix::stream_descriptor master;
  // Held open for the pty's life: without it each close by the device would hang the master up.
  const int slave;
  std::array<char, 2048> buffer{};
  std::deque<Outgoing> pending;
  bool reading = false;
  bool paused = false;
};

ControllerPtyFrontEnd::ControllerPtyFrontEnd(ControllerCore& core, asio::io_context& io,
                                             std::string where)
    : link(std::move(where)) {
  int master = -1, slave = -1;
  std::array<char, 128> name{};
  if (::openpty(&master, &slave, name.data(), nullptr, nullptr) != 0) Fail("openpty");
  termios raw{};
  bool ready = ::tcgetattr(slave, &raw) == 0;
  if (ready) {
    cfmakeraw(&raw);
    ready = ::tcsetattr(slave, TCSANOW, &raw) == 0;
  }
  // Nothing started from the test (socat, another fake) may keep the line open.
  ready = ready && ::fcntl(master, F_SETFD, FD_CLOEXEC) == 0 &&
          ::fcntl(slave, F_SETFD, FD_CLOEXEC) == 0;
  if (!ready) {
    const int saved = errno;
    ::close(master);
    ::close(slave);
    errno = saved;
    Fail("pty settings");
  }
  line = std::make_shared<Line>(core, io, master, slave);

  std::error_code error;
  fs::create_directories(fs::path(link).parent_path(), error);
  fs::remove(link, error);
  if (::symlink(name.data(), link.c_str()) != 0) Fail("symlink");
}

ControllerPtyFrontEnd::~ControllerPtyFrontEnd() {
  std::error_code ignored;
  fs::remove(link, ignored);
}

void ControllerPtyFrontEnd::Start() { line->Start(); }

void ControllerPtyFrontEnd::Send(const std::string& bytes) { line->Send(bytes, false); }

void ControllerPtyFrontEnd::PauseReading(bool paused) { line->Pause(paused); }

void ControllerPtyFrontEnd::Close() { line->Close(); }

}  // namespace orvan::fakes
