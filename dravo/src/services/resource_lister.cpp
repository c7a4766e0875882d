#include "services/resource_lister.hpp"

#include "platform/host_interfaces.hpp"
#include "protocol/discovery.hpp"
#include "services/search_socket.hpp"

#include <boost/asio/buffer.hpp>
#include <boost/asio/error.hpp>
#include <boost/asio/ip/multicast.hpp>

#include <algorithm>

namespace asio = boost::asio;
using asio::ip::udp;

ResourceLister::ResourceLister(asio::io_context& eventLoop, LocalDeviceLists lists)
    : io(eventLoop), searchTimer(eventLoop), devices(std::move(lists)) {}

ResourceLister::~ResourceLister() = default;

void ResourceLister::Search() {
  if (closed || pending != 0) return;  // the running search goes on and keeps its results
  SearchEthernet();
  pciNames = devices.cards ? devices.cards() : std::vector<std::string>();
  comNames = devices.serialPorts ? devices.serialPorts() : std::vector<std::string>();
}

void ResourceLister::SearchEthernet() {
  OpenSockets();
  const udp::endpoint group(asio::ip::make_address_v4(orvan::protocol::kDiscoveryGroup),
                            orvan::protocol::kDiscoveryPort);
  const auto& query = orvan::protocol::DiscoveryQuery();
  for (const auto& socket : searchSockets) {
    ++pending;
    socket->socket.async_send_to(asio::buffer(query), group,
                                 [self = shared_from_this()](const boost::system::error_code&,
                                                             std::size_t) { --self->pending; });
    StartReceive(*socket);
  }
  searchTimer.expires_after(kSearchTime);
  ++pending;
  searchTimer.async_wait(
      [self = shared_from_this()](const boost::system::error_code&) { self->OnSearchTimeout(); });
  ethernetReplies.clear();
}

void ResourceLister::OpenSockets() {
  // Nothing is pending now, so no handler still refers to the previous search's sockets.
  CloseSockets();
  searchSockets.clear();
  std::vector<platform::HostInterface> interfaces;
  platform::ListHostInterfaces(interfaces);
  for (const auto& interface : interfaces) {
    // An interface whose socket cannot be set up is left out without a word.
    auto socket = std::make_unique<SearchSocket>(io, interface.name, interface.address);
    boost::system::error_code error;
    const auto address = asio::ip::make_address_v4(interface.address, error);
    if (error) continue;
    socket->socket.open(udp::v4(), error);
    if (error) continue;
    socket->socket.set_option(asio::ip::multicast::outbound_interface(address), error);
    if (error) continue;
    searchSockets.push_back(std::move(socket));
  }
}

void ResourceLister::StartReceive(SearchSocket& socket) {
  ++pending;
  socket.socket.async_receive_from(asio::buffer(socket.buffer), socket.sender,
                                   [self = shared_from_this(), &socket](
                                       const boost::system::error_code& error, std::size_t count) {
                                     self->OnReceive(error, count, socket);
                                   });
}

void ResourceLister::OnReceive(const boost::system::error_code& error, std::size_t count,
                               SearchSocket& socket) {
  --pending;
  // An answer longer than the buffer counts with what fits; any other error ends this socket.
  if (error && error != asio::error::message_size) return;
  count = std::min(count, socket.buffer.size());
  const auto text = orvan::protocol::DiscoveryAnswerText(socket.buffer.data(), count);
  if (text && ethernetReplies.size() < kMaxReplies) {
    ethernetReplies.push_back(socket.sender.address().to_string() + ", " + *text + ", " +
                              socket.address + ", " + socket.name);
  }
  if (closed || !socket.socket.is_open()) return;
  StartReceive(socket);
}

void ResourceLister::OnSearchTimeout() {
  --pending;
  // The receives still posted end with an error now and are not renewed.
  CloseSockets();
}

void ResourceLister::CloseSockets() {
  boost::system::error_code ignored;
  for (const auto& socket : searchSockets) socket->socket.close(ignored);
}

void ResourceLister::Close() {
  closed = true;
  searchTimer.cancel();
  CloseSockets();
}

std::string ResourceLister::Found() const {
  std::string listing;
  for (const auto* list : {&ethernetReplies, &pciNames, &comNames}) {
    for (const auto& entry : *list) listing += entry + "\r\n";
  }
  return listing;
}
