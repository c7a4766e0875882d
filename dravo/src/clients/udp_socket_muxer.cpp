// Receiving on the server's UDP port and dispatching datagrams to their clients.
#include "clients/udp_socket_muxer.hpp"

#include "clients/requestor_server.hpp"
#include "clients/udp_requestor.hpp"
#include "platform/datagram_receive.hpp"
#include "platform/port_sharing.hpp"

#include <boost/system/system_error.hpp>

UdpSocketMuxer::UdpSocketMuxer(boost::asio::io_context& context, const std::string& address,
                               RequestorServer& owner)
    : io(context), socket(context), listenAddress(address), server(owner) {
  const boost::asio::ip::udp::endpoint endpoint(boost::asio::ip::make_address_v4(address),
                                                orvan::protocol::kServerPort);
  boost::system::error_code error;
  socket.open(endpoint.protocol(), error);
  if (error) throw boost::system::system_error(error, "open");
  socket.bind(endpoint, error);
  if (error)
    throw boost::system::system_error(
        error, "bind " + address + " port " + std::to_string(orvan::protocol::kServerPort));
  // Bound alone; shared afterwards only with the server's probe of a new listen address.
  if (const auto shared = platform::SharePort(socket.native_handle()))
    throw boost::system::system_error(shared.value(), boost::system::system_category(),
                                      "set_option");
}

void UdpSocketMuxer::StartReceive() {
  if (closed) return;
  platform::AsyncReceiveDatagram(
      socket, boost::asio::buffer(receiveBuffer), sender,
      [self = shared_from_this()](const boost::system::error_code& error, size_t count) {
        self->OnReceive(error, count);
      });
}

void UdpSocketMuxer::OnReceive(const boost::system::error_code& error, size_t count) {
  if (closed || !socket.is_open()) return;
  if (error) {
    StartReceive();  // that datagram (or one too long for a request) is lost; the others come
    return;
  }
  auto& requestor = clients[sender];
  if (!requestor) {
    requestor = std::make_shared<UdpRequestor>(io, server, weak_from_this(), sender);
    server.AddRequestor(requestor);
  }
  const auto client = requestor;  // the entry may go while the shell runs (quit)
  client->OnDatagram(receiveBuffer.data(), count);
  StartReceive();
}

void UdpSocketMuxer::Forget(const boost::asio::ip::udp::endpoint& client,
                            const UdpRequestor* requestor) {
  const auto entry = clients.find(client);
  if (entry != clients.end() && entry->second.get() == requestor) clients.erase(entry);
}

void UdpSocketMuxer::Close() {
  closed = true;
  boost::system::error_code ignored;
  socket.shutdown(boost::asio::ip::udp::socket::shutdown_both, ignored);
  socket.close(ignored);
  clients.clear();
}
