#include "fakes/controller_tcp_front_end.hpp"

#include <boost/asio/steady_timer.hpp>
#include <boost/asio/write.hpp>

#include <array>
#include <deque>

namespace orvan::fakes {

namespace asio = boost::asio;
using asio::ip::tcp;

namespace {

uint16_t PeerPort(const tcp::socket& socket) {
  boost::system::error_code error;
  const auto peer = socket.remote_endpoint(error);
  return error ? 0 : peer.port();
}

}  // namespace

// One accepted connection: a peer of the core whose replies leave in one write each.
class ControllerTcpFrontEnd::Session : public ControllerPeer,
                                       public std::enable_shared_from_this<Session> {
public:
  Session(ControllerCore& core, tcp::socket connection, uint16_t port, bool commandPort)
      : ControllerPeer({false, port}, PeerPort(connection), commandPort),
        core(core),
        socket(std::move(connection)) {}

  void Start() {
    if (!paused) DoRead();
  }

  void PauseReading(bool pause) {
    paused = pause;
    if (!paused && !reading && socket.is_open()) DoRead();
  }

  void Send(const std::string& bytes, bool close) override {
    if (!socket.is_open()) return;
    pending.push_back({bytes, close});
    if (pending.size() == 1) DoWrite();
  }

  void After(std::chrono::milliseconds delay, std::function<void()> work) override {
    auto timer = std::make_shared<asio::steady_timer>(socket.get_executor(), delay);
    timer->async_wait([timer, self = shared_from_this(),
                       work = std::move(work)](const boost::system::error_code& error) {
      if (!error) work();
    });
  }

  void Close() {
    boost::system::error_code ignored;
    socket.shutdown(tcp::socket::shutdown_both, ignored);
    socket.close(ignored);
    pending.clear();
  }

private:
  struct Outgoing {
    std::string bytes;
    bool close;
  };

  void DoRead() {
    reading = true;
    socket.async_read_some(asio::buffer(buffer), [self = shared_from_this()](
                                                     const boost::system::error_code& error,
                                                     size_t count) { self->OnRead(error, count); });
  }

  void OnRead(const boost::system::error_code& error, size_t count) {
    reading = false;
    if (error || !socket.is_open()) return;
    core.Input(shared_from_this(), std::string(buffer.data(), count));
    if (!paused) DoRead();
  }

  void DoWrite() {
    asio::async_write(socket, asio::buffer(pending.front().bytes),
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
  tcp::socket socket;
  std::array<char, 2048> buffer{};
  std::deque<Outgoing> pending;
  bool paused = false;
  bool reading = false;
};

ControllerTcpFrontEnd::ControllerTcpFrontEnd(ControllerCore& core, tcp::acceptor listening,
                                             bool commandPort)
    : core(core),
      acceptor(std::move(listening)),
      port(acceptor.local_endpoint().port()),
      commandPort(commandPort) {}

void ControllerTcpFrontEnd::Start() { Accept(); }

void ControllerTcpFrontEnd::Accept() {
  acceptor.async_accept([this](const boost::system::error_code& error, tcp::socket socket) {
    if (error) return;
    boost::system::error_code ignored;
    socket.set_option(tcp::no_delay(true), ignored);
    auto session = std::make_shared<Session>(core, std::move(socket), port, commandPort);
    sessions.push_back(session);
    core.Attach(session);
    if (paused) {
      session->PauseReading(true);
      parked.push_back(session);
    }
    session->Start();
    Accept();
  });
}

void ControllerTcpFrontEnd::Send(const std::string& bytes) {
  for (auto& weak : sessions) {
    if (auto session = weak.lock()) session->Send(bytes, false);
  }
}

void ControllerTcpFrontEnd::PauseReading(bool pause) {
  paused = pause;
  for (auto& weak : sessions) {
    if (auto session = weak.lock()) {
      session->PauseReading(pause);
      if (pause) parked.push_back(session);
    }
  }
  // Resumed sessions are held by their reads again.
  if (!pause) parked.clear();
}

void ControllerTcpFrontEnd::CloseConnections() {
  for (auto& weak : sessions) {
    if (auto session = weak.lock()) session->Close();
  }
}

void ControllerTcpFrontEnd::Close() {
  boost::system::error_code ignored;
  acceptor.close(ignored);
  CloseConnections();
}

}  // namespace orvan::fakes
