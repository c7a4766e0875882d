#include "fakes/fake_dravo_udp.hpp"

namespace orvan::fakes {

namespace asio = boost::asio;
using asio::ip::udp;

FakeDravoUdpSide::FakeDravoUdpSide(asio::io_context& io, const udp::endpoint& at, Reader reader)
    : socket(io), reader(std::move(reader)) {
  socket.open(udp::v4());
  socket.bind(at);
}

void FakeDravoUdpSide::Start() { DoReceive(); }

void FakeDravoUdpSide::DoReceive() {
  socket.async_receive_from(asio::buffer(datagram), sender,
                            [this](const boost::system::error_code& error, size_t count) {
                              if (error) {
                                if (socket.is_open()) DoReceive();
                                return;
                              }
                              // Held here: a quit erases the entry while the shell still runs.
                              const auto session = SessionOf(sender);
                              reader(session, std::string(datagram.data(), count));
                              DoReceive();
                            });
}

std::shared_ptr<FakeDravoSession> FakeDravoUdpSide::SessionOf(const udp::endpoint& peer) {
  auto& session = sessions[peer];
  if (!session) {
    session = std::make_shared<FakeDravoSession>();
    session->udp = true;
    session->send = [this, peer](const std::string& reply) {
      boost::system::error_code ignored;
      socket.send_to(asio::buffer(reply), peer, 0, ignored);
    };
    session->close = [this, peer] { sessions.erase(peer); };
  }
  return session;
}

void FakeDravoUdpSide::Broadcast(FakeDravoSession::Stream stream, const std::string& bytes) {
  for (auto& [peer, session] : sessions) {
    if (session->subscribed[stream]) session->send(bytes);
  }
}

void FakeDravoUdpSide::Close() {
  boost::system::error_code ignored;
  socket.close(ignored);
}

}  // namespace orvan::fakes
