#include "discovery/network_addresses.hpp"

#include "discovery/ping.hpp"
#include "platform/datagram_receive.hpp"
#include "platform/host_interfaces.hpp"

#include <boost/asio/buffer.hpp>
#include <boost/asio/error.hpp>
#include <boost/asio/ip/multicast.hpp>

#include <algorithm>

namespace orvan {

namespace asio = boost::asio;
using asio::ip::udp;

NetworkAddresses::NetworkAddresses(asio::io_context& context, std::chrono::milliseconds time)
    : io(context), collectionTime(time), collectionTimer(context) {}

NetworkAddresses::~NetworkAddresses() {
  collectionTimer.cancel();
  CloseSockets();
}

template <class Finished>
void NetworkAddresses::RunUntil(Finished finished) {
  while (!finished()) {
    if (io.stopped()) io.restart();
    io.run_one();
  }
}

void NetworkAddresses::Discover(std::vector<std::string>& list) {
  replies.clear();
  OpenSockets();
  if (sockets.empty() && pending == 0) return;
  collectionTimer.expires_after(collectionTime);
  ++pending;
  collectionTimer.async_wait([self = shared_from_this()](const boost::system::error_code&) {
    --self->pending;
    self->CloseSockets();
    self->sockets.clear();
  });
  RunUntil([this] { return sockets.empty() && pending == 0; });

  std::vector<std::pair<std::string, int>> statuses;
  PingSenders(statuses);
  for (const auto& reply : replies) {
    const std::string& sender = reply.first;
    const std::string& rest = reply.second;
    const auto found = std::find_if(statuses.begin(), statuses.end(),
                                    [&](const auto& status) { return status.first == sender; });
    const bool answered = found != statuses.end() && found->second == kPingAnswered;
    list.push_back(answered ? sender + " -d" + rest : "(" + sender + ")" + rest);
  }
}

void NetworkAddresses::OpenSockets() {
  std::vector<platform::HostInterface> interfaces;
  if (!platform::ListHostInterfaces(interfaces)) return;
  const udp::endpoint group(asio::ip::make_address_v4(protocol::kDiscoveryGroup),
                            protocol::kDiscoveryPort);
  const auto& query = protocol::DiscoveryQuery();
  for (const auto& interface : interfaces) {
    const auto address = asio::ip::make_address_v4(interface.address);
    auto socket = std::make_shared<DiscoverySocket>(io, interface.address, interface.name);
    socket->socket.open(udp::v4());
    boost::system::error_code error;
    // An interface that cannot carry multicast is passed over.
    socket->socket.set_option(asio::ip::multicast::outbound_interface(address), error);
    if (error) continue;
    ++pending;
    socket->socket.async_send_to(
        asio::buffer(query), group,
        [self = shared_from_this(), socket](const boost::system::error_code&, std::size_t) {
          --self->pending;
        });
    sockets.push_back(socket);
    StartReceive(socket);
  }
}

void NetworkAddresses::StartReceive(const std::shared_ptr<DiscoverySocket>& socket) {
  ++pending;
  platform::AsyncReceiveDatagram(socket->socket, asio::buffer(socket->buffer), socket->sender,
                                 [self = shared_from_this(), socket](
                                     const boost::system::error_code& error, std::size_t count) {
                                   self->OnReceive(error, count, socket);
                                 });
}

void NetworkAddresses::OnReceive(const boost::system::error_code& error, std::size_t count,
                                 const std::shared_ptr<DiscoverySocket>& socket) {
  --pending;
  // An answer longer than the buffer counts with what fits; any other error ends this socket.
  if (error && error != asio::error::message_size) return;
  count = std::min(count, socket->buffer.size());
  const auto text = protocol::DiscoveryAnswerText(socket->buffer.data(), count);
  if (text && replies.size() < kMaxReplies) {
    replies.emplace_back(socket->sender.address().to_string(),
                         ", " + *text + ", " + socket->name + ", " + socket->address);
  }
  if (!socket->socket.is_open()) return;
  StartReceive(socket);
}

void NetworkAddresses::CloseSockets() {
  boost::system::error_code ignored;
  for (const auto& socket : sockets) socket->socket.close(ignored);
}

void NetworkAddresses::PingSenders(std::vector<std::pair<std::string, int>>& statuses) {
  for (const auto& reply : replies) {
    const bool seen = std::any_of(statuses.begin(), statuses.end(),
                                  [&](const auto& status) { return status.first == reply.first; });
    if (!seen) statuses.emplace_back(reply.first, -1);
  }
  if (statuses.empty()) return;
  // One window for all: a listing takes the same time however many answered. The outcomes are
  // shared with the handlers, so none writes into this frame after it has gone.
  const auto deadline = std::chrono::steady_clock::now() + IcmpEcho::kTimeout;
  auto outcomes = std::make_shared<std::vector<int>>(statuses.size(), -1);
  auto waiting = std::make_shared<std::size_t>(statuses.size());
  for (std::size_t i = 0; i < statuses.size(); ++i) {
    auto echo = std::make_shared<IcmpEcho>(io);
    echo->Start(statuses[i].first, deadline, [outcomes, waiting, i](int status) {
      (*outcomes)[i] = status;
      --*waiting;
    });
  }
  RunUntil([&] { return *waiting == 0; });
  for (std::size_t i = 0; i < statuses.size(); ++i) statuses[i].second = (*outcomes)[i];
}

}  // namespace orvan
