#include "fakes/controller_discovery_front_end.hpp"

#include "protocol/discovery.hpp"

#include <boost/asio/ip/multicast.hpp>
#include <boost/system/system_error.hpp>

#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>

namespace orvan::fakes {

namespace asio = boost::asio;
using asio::ip::udp;

udp::socket JoinDiscoveryGroup(asio::io_context& io, const std::string& interfaceAddress) {
  const auto group = asio::ip::make_address_v4(protocol::kDiscoveryGroup);
  udp::socket socket(io, udp::v4());
  socket.set_option(udp::socket::reuse_address(true));
  // Linux hands a socket the group's datagrams from every interface any socket joined on;
  // this one hears only the interface it joins on itself.
  const int everyInterface = 0;
  if (setsockopt(socket.native_handle(), IPPROTO_IP, IP_MULTICAST_ALL, &everyInterface,
                 sizeof everyInterface) != 0)
    throw boost::system::system_error(errno, boost::system::system_category(), "set_option");
  socket.bind({group, protocol::kDiscoveryPort});
  socket.set_option(
      asio::ip::multicast::join_group(group, asio::ip::make_address_v4(interfaceAddress)));
  return socket;
}

std::unique_ptr<ControllerUdpFrontEnd> MakeDiscoveryFrontEnd(ControllerCore& core,
                                                             asio::io_context& io,
                                                             const std::string& interfaceAddress) {
  return std::make_unique<ControllerUdpFrontEnd>(core, JoinDiscoveryGroup(io, interfaceAddress));
}

}  // namespace orvan::fakes
