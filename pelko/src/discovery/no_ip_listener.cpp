#include "discovery/no_ip_listener.hpp"

#include "platform/datagram_receive.hpp"
#include "platform/host_interfaces.hpp"
#include "protocol/bootp.hpp"
#include "protocol/bootp_text.hpp"
#include "protocol/controller_model.hpp"

#include <boost/asio/buffer.hpp>
#include <boost/asio/error.hpp>

#include <sys/socket.h>

#include <algorithm>

namespace orvan {

namespace asio = boost::asio;
using asio::ip::udp;

namespace {

// Broadcasts reach only a socket bound to 0.0.0.0: each interface's socket is tied to its
// device instead of being bound to its address.
bool BindToDevice(udp::socket& socket, const std::string& device) {
  return setsockopt(socket.native_handle(), SOL_SOCKET, SO_BINDTODEVICE, device.c_str(),
                    static_cast<socklen_t>(device.size())) == 0;
}

}  // namespace

NoIpListener::NoIpListener(asio::io_context& context, std::chrono::milliseconds time)
    : io(context), listenTime(time), listenTimer(context) {}

NoIpListener::~NoIpListener() {
  listenTimer.cancel();
  CloseSockets();
}

std::vector<std::string> NoIpListener::Listen() {
  result.clear();
  std::vector<platform::HostInterface> interfaces;
  if (!platform::ListHostInterfaces(interfaces)) return result;
  entries.clear();
  listenTimer.expires_after(listenTime);
  ++pending;
  listenTimer.async_wait([self = shared_from_this()](const boost::system::error_code&) {
    --self->pending;
    self->CloseSockets();
    self->sockets.clear();
  });
  for (const auto& interface : interfaces) {
    asio::ip::make_address_v4(interface.address);  // raises for an address that does not parse
    auto socket = std::make_shared<BootpSocket>(io, interface.name, interface.address);
    socket->socket.open(udp::v4());
    socket->socket.set_option(asio::socket_base::reuse_address(true));
    if (!BindToDevice(socket->socket, interface.name)) continue;
    boost::system::error_code error;
    socket->socket.bind(udp::endpoint(asio::ip::address_v4::any(), protocol::kBootpServerPort),
                        error);
    if (error) continue;
    sockets.push_back(socket);
    StartReceive(socket);
  }
  while (!(sockets.empty() && pending == 0)) {
    if (io.stopped()) io.restart();
    io.run_one();
  }
  for (const auto& entry : entries) result.push_back(entry.second);
  return result;
}

void NoIpListener::StartReceive(const std::shared_ptr<BootpSocket>& socket) {
  ++pending;
  platform::AsyncReceiveDatagram(socket->socket, asio::buffer(socket->buffer), socket->sender,
                                 [self = shared_from_this(), socket](
                                     const boost::system::error_code& error, std::size_t count) {
                                   self->OnReceive(error, count, socket);
                                 });
}

void NoIpListener::OnReceive(const boost::system::error_code& error, std::size_t count,
                             const std::shared_ptr<BootpSocket>& socket) {
  --pending;
  if (error && error != asio::error::message_size) return;
  // A datagram cut to the buffer is longer than any request: its count says so.
  const auto& bytes = socket->buffer;
  if (!error && (count == kShortRequest || count == kLongRequest)) {
    protocol::MacAddress mac{};
    std::copy_n(bytes.begin() + protocol::kBootpChaddr, mac.size(), mac.begin());
    const std::uint32_t key = (std::uint32_t{mac[3]} << 16) | (std::uint32_t{mac[4]} << 8) | mac[5];
    if (protocol::HasControllerPrefix(mac) && entries.count(key) == 0 &&
        entries.size() < kMaxEntries) {
      const unsigned serial = (unsigned{mac[4]} << 8) | mac[5];
      entries.emplace(key, protocol::BootpModelName(mac[3]) + ", " + std::to_string(serial) + ", " +
                               protocol::FormatMacAddress(mac) + ", " + socket->name + ", " +
                               socket->address);
    }
  }
  if (!socket->socket.is_open()) return;
  StartReceive(socket);
}

void NoIpListener::CloseSockets() {
  boost::system::error_code ignored;
  for (const auto& socket : sockets) socket->socket.close(ignored);
}

}  // namespace orvan
