#include "fakes/controller_udp_front_end.hpp"

#include <boost/asio/steady_timer.hpp>

namespace orvan::fakes {

namespace asio = boost::asio;
using asio::ip::udp;

// One sender: a peer of the core. Sends are synchronous; a datagram never blocks on loopback.
class ControllerUdpFrontEnd::Sender : public ControllerPeer {
public:
  Sender(ControllerUdpFrontEnd& owner, udp::endpoint peer)
      : ControllerPeer({true, owner.port}, peer.port()), owner(owner), peer(peer) {}

  void Send(const std::string& bytes, bool) override {
    boost::system::error_code ignored;
    if (!bytes.empty()) owner.socket.send_to(asio::buffer(bytes), peer, 0, ignored);
  }
  void After(std::chrono::milliseconds delay, std::function<void()> work) override {
    auto timer = std::make_shared<asio::steady_timer>(owner.socket.get_executor(), delay);
    timer->async_wait([timer, work = std::move(work)](const boost::system::error_code& error) {
      if (!error) work();
    });
  }
  // A later datagram from the same sender starts a fresh peer.
  void Release() override { owner.Forget(*this); }

  ControllerUdpFrontEnd& owner;
  const udp::endpoint peer;
};

ControllerUdpFrontEnd::ControllerUdpFrontEnd(ControllerCore& core, udp::socket bound)
    : core(core), socket(std::move(bound)), port(socket.local_endpoint().port()) {}

void ControllerUdpFrontEnd::Start() { DoReceive(); }

void ControllerUdpFrontEnd::DoReceive() {
  socket.async_receive_from(asio::buffer(buffer), from,
                            [this](const boost::system::error_code& error, size_t count) {
                              if (error) return;
                              core.Input(SenderAt(from), std::string(buffer.data(), count));
                              DoReceive();
                            });
}

std::shared_ptr<ControllerUdpFrontEnd::Sender> ControllerUdpFrontEnd::SenderAt(
    const udp::endpoint& peer) {
  last = peer;
  auto& sender = senders[peer];
  if (!sender) sender = std::make_shared<Sender>(*this, peer);
  return sender;
}

void ControllerUdpFrontEnd::Forget(const Sender& sender) {
  const auto found = senders.find(sender.peer);
  if (found != senders.end() && found->second.get() == &sender) senders.erase(found);
}

void ControllerUdpFrontEnd::SendToLast(const std::string& bytes) {
  if (last.port() != 0) SenderAt(last)->Send(bytes, false);
}

void ControllerUdpFrontEnd::Close() {
  boost::system::error_code ignored;
  socket.close(ignored);
}

}  // namespace orvan::fakes
