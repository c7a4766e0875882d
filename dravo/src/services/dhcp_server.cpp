#include "services/dhcp_server.hpp"

#include "platform/datagram_receive.hpp"
#include "protocol/bootp_text.hpp"
#include "services/dhcp_socket.hpp"
#include "settings/config_store.hpp"

#include <boost/asio/buffer.hpp>
#include <boost/asio/error.hpp>

#include <sys/socket.h>

#include <algorithm>
#include <exception>

namespace asio = boost::asio;
namespace protocol = orvan::protocol;
using asio::ip::udp;

namespace {

// Broadcasts reach a socket bound to 0.0.0.0, never one bound to a unicast address: each
// adapter's sockets are tied to it by device instead. Sending sockets are tied the same way, so
// a broadcast leaves through the adapter it is meant for.
bool BindToDevice(udp::socket& socket, const std::string& device) {
  return setsockopt(socket.native_handle(), SOL_SOCKET, SO_BINDTODEVICE, device.c_str(),
                    static_cast<socklen_t>(device.size())) == 0;
}

// Opens the socket and binds it; false, with the socket closed, when any step fails.
bool SetUp(udp::socket& socket, const std::string& device, const asio::ip::address_v4& address,
           std::uint16_t port, bool broadcast) {
  boost::system::error_code error;
  socket.open(udp::v4(), error);
  if (!error) socket.set_option(asio::socket_base::reuse_address(true), error);
  if (!error && broadcast) socket.set_option(asio::socket_base::broadcast(true), error);
  if (!error && !BindToDevice(socket, device)) error = asio::error::invalid_argument;
  if (!error) socket.bind(udp::endpoint(address, port), error);
  if (!error) return true;
  socket.close(error);
  return false;
}

udp::endpoint Broadcast(std::uint16_t port) {
  return udp::endpoint(asio::ip::address_v4::broadcast(), port);
}

}  // namespace

DhcpServer::DhcpServer(asio::io_context& eventLoop, InterfaceLister interfaces)
    : io(eventLoop),
      listInterfaces(std::move(interfaces)),
      listenTimer(eventLoop),
      probeTimer(eventLoop) {}

DhcpServer::~DhcpServer() = default;

void DhcpServer::Start() {
  Load();
  int stored = ConfigStore::kDhcpTimeoutDefault;
  try {
    ConfigStore store;
    stored = store.Tree().get<int>(ConfigStore::kDhcpTimeout, ConfigStore::kDhcpTimeoutDefault);
  } catch (const std::exception&) {
    // Settings that cannot be read leave the default: listen.
  }
  if (stored < 0) Listen(-1);
}

void DhcpServer::Listen(int milliseconds) {
  if (closed) return;
  if (milliseconds == 0) {
    listenTimeout = 0;
    Save();
    ++listenGeneration;
    listenTimer.cancel();
    CloseSockets(listenSockets);
    return;
  }
  if (milliseconds > 0) {
    const unsigned generation = ++listenGeneration;
    listenTimer.expires_after(std::chrono::milliseconds(milliseconds));
    listenTimer.async_wait(
        [self = shared_from_this(), generation](const boost::system::error_code& error) {
          self->OnListenTimeout(error, generation);
        });
  } else if (listenTimeout > 0) {
    ++listenGeneration;
    listenTimer.cancel();
  }
  listenTimeout = milliseconds;
  Save();
  ProbeForeignServers();
  if (listenSockets.empty()) OpenSockets(protocol::kBootpServerPort, listenSockets);
}

void DhcpServer::OnListenTimeout(const boost::system::error_code& error, unsigned generation) {
  if (error || closed || generation != listenGeneration) return;
  // Not saved: the file keeps the timed listen's length.
  listenTimeout = 0;
  CloseSockets(listenSockets);
}

std::string DhcpServer::ListRequests() {
  std::string listing = table.List();
  if (closed || listenTimeout == 0) return listing;
  std::vector<platform::HostInterface> fresh;
  if (!listInterfaces || !listInterfaces(fresh)) return listing;
  const auto& known = table.Adapters();
  const bool changed =
      fresh.size() != known.size() ||
      std::any_of(fresh.begin(), fresh.end(), [&](const platform::HostInterface& now) {
        return std::none_of(known.begin(), known.end(), [&](const platform::HostInterface& was) {
          return was.address == now.address;
        });
      });
  if (changed) {
    // Listen again on the adapters there are now, for the full time again.
    const int timeout = listenTimeout;
    Listen(0);
    Listen(timeout);
  }
  return listing;
}

void DhcpServer::SetRemember(bool on) {
  table.SetRemember(on);
  Save();
}

void DhcpServer::Assign(const std::string& mac, const std::string& ip) {
  const auto outcome = table.Assign(mac, ip);
  SendReply(outcome.replies);
  Save();
}

void DhcpServer::Save() {
  try {
    ConfigStore store;
    table.SaveTo(store.Modify(), listenTimeout);
  } catch (const std::exception&) {
    // The assigner reports nothing; the settings keep what they had.
  }
}

void DhcpServer::Load() {
  try {
    ConfigStore store;
    table.LoadFrom(store.Tree());
  } catch (const std::exception&) {
  }
}

void DhcpServer::Close() {
  closed = true;
  listenTimeout = 0;
  ++listenGeneration;
  listenTimer.cancel();
  probeTimer.cancel();
  CloseSockets(listenSockets);
  CloseSockets(probeSockets);
  table.EndProbe();
}

void DhcpServer::ProbeForeignServers() {
  if (!probeSockets.empty()) return;  // one is under way
  std::vector<platform::HostInterface> fresh = table.Adapters();
  if (listInterfaces) listInterfaces(fresh);
  table.StartProbe(std::move(fresh));
  OpenSockets(protocol::kBootpClientPort, probeSockets);
  if (probeSockets.empty()) {
    table.EndProbe();  // no answer could be heard
    return;
  }
  probeTimer.expires_after(kProbeTime);
  probeTimer.async_wait([self = shared_from_this()](const boost::system::error_code& error) {
    self->OnProbeTimeout(error);
  });
  for (const auto& adapter : table.Adapters()) SendProbe(adapter);
}

void DhcpServer::SendProbe(const platform::HostInterface& adapter) {
  boost::system::error_code error;
  const auto address = asio::ip::make_address_v4(adapter.address, error);
  if (error) return;
  auto socket = std::make_shared<udp::socket>(io);
  if (!SetUp(*socket, adapter.name, address, protocol::kBootpClientPort, true)) return;
  auto datagram = std::make_shared<protocol::BootpPacket>(protocol::ProbeDatagram(adapter.mac));
  socket->async_send_to(asio::buffer(*datagram), Broadcast(protocol::kBootpServerPort),
                        [socket, datagram](const boost::system::error_code&, std::size_t) {});
}

void DhcpServer::OnProbeTimeout(const boost::system::error_code& error) {
  if (error) return;
  CloseSockets(probeSockets);
  table.EndProbe();
}

void DhcpServer::OpenSockets(std::uint16_t port, SocketList& list) {
  for (const auto& adapter : table.Adapters()) {
    auto socket = std::make_shared<DhcpSocket>(io, adapter.name, adapter.address, port);
    // An adapter whose socket cannot be set up is left out without a word.
    if (!SetUp(socket->socket, adapter.name, asio::ip::address_v4::any(), port, false)) continue;
    list.push_back(socket);
    StartReceive(socket);
  }
}

void DhcpServer::StartReceive(const std::shared_ptr<DhcpSocket>& socket) {
  platform::AsyncReceiveDatagram(socket->socket, asio::buffer(socket->buffer), socket->sender,
                                 [self = shared_from_this(), socket](
                                     const boost::system::error_code& error, std::size_t count) {
                                   self->OnReceive(error, count, socket);
                                 });
}

void DhcpServer::OnReceive(const boost::system::error_code& error, std::size_t count,
                           const std::shared_ptr<DhcpSocket>& socket) {
  if (closed || !socket->socket.is_open()) return;
  if (error && error != asio::error::message_size) return;  // closed, or broken: this one ends
  if (!error) {
    const auto outcome = table.OnDatagram(socket->buffer.data(), count, socket->port,
                                          socket->adapterName, socket->adapterAddress);
    if (outcome.probeAnswered) return;  // its adapter has its answer: it closes with the probe
    SendReply(outcome.replies);
  }
  StartReceive(socket);
}

void DhcpServer::SendReply(const std::vector<DhcpReply>& candidates) {
  for (const auto& reply : candidates) {
    boost::system::error_code error;
    const auto address = asio::ip::make_address_v4(reply.adapterAddress, error);
    if (error) continue;
    auto socket = std::make_shared<udp::socket>(io);
    if (!SetUp(*socket, reply.adapterName, address, protocol::kBootpServerPort, true)) continue;
    // The snapshot lives with the send: the record may change or go meanwhile.
    auto datagram = std::make_shared<protocol::BootpPacket>(reply.packet);
    socket->async_send_to(asio::buffer(*datagram), Broadcast(protocol::kBootpClientPort),
                          [socket, datagram](const boost::system::error_code&, std::size_t) {});
    return;
  }
}

void DhcpServer::CloseSockets(SocketList& list) {
  boost::system::error_code ignored;
  for (const auto& socket : list) socket->socket.close(ignored);
  list.clear();
}
