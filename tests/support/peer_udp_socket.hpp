// A UDP socket inside a peer namespace, tied to one of its interfaces and bound to 0.0.0.0 on
// a port, as a controller's would be: it broadcasts what a test gives it and hands over what
// arrives, each datagram with its sender, waiting at most a deadline.
#pragma once

#include "support/peer_namespaces.hpp"

#include <boost/asio/buffer.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/udp.hpp>

#include <sys/socket.h>

#include <array>
#include <chrono>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

class PeerUdpSocket {
public:
  using Bytes = std::vector<std::uint8_t>;

  PeerUdpSocket(const PeerNamespace& peer, const std::string& device, std::uint16_t port) {
    InPeer(peer, [&] {
      socket.emplace(io);
      socket->open(boost::asio::ip::udp::v4());
      socket->set_option(boost::asio::socket_base::reuse_address(true));
      socket->set_option(boost::asio::socket_base::broadcast(true));
      if (setsockopt(socket->native_handle(), SOL_SOCKET, SO_BINDTODEVICE, device.c_str(),
                     static_cast<socklen_t>(device.size())) != 0)
        throw std::runtime_error("SO_BINDTODEVICE");
      socket->bind({boost::asio::ip::address_v4::any(), port});
    });
  }

  void Broadcast(const Bytes& datagram, std::uint16_t port) {
    socket->send_to(boost::asio::buffer(datagram),
                    {boost::asio::ip::address_v4::broadcast(), port});
  }

  // The next datagram within the timeout, or none.
  std::optional<Bytes> Next(std::chrono::milliseconds timeout) {
    std::optional<Bytes> received;
    socket->async_receive_from(boost::asio::buffer(buffer), sender,
                               [&](const boost::system::error_code& error, std::size_t count) {
                                 if (!error)
                                   received = Bytes(buffer.begin(), buffer.begin() + count);
                               });
    io.restart();
    if (io.run_for(timeout) == 0) {
      socket->cancel();
      io.restart();
      io.run();
    }
    return received;
  }

  boost::asio::ip::udp::endpoint sender;  // of the last datagram

private:
  boost::asio::io_context io;
  std::optional<boost::asio::ip::udp::socket> socket;
  std::array<std::uint8_t, 1500> buffer{};
};
