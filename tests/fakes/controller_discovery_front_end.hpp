// Lets the fake controller answer the discovery query: a UDP front end on the discovery group
// and port, joined on one interface only, so a controller on two interfaces answers once on
// each. Answers go back to the asker as datagrams, like every UDP reply of the controller.
#pragma once

#include "fakes/controller_udp_front_end.hpp"

#include <boost/asio/io_context.hpp>

#include <memory>
#include <string>

namespace orvan::fakes {

// A socket on the discovery group and port that hears the group on the interface with that
// IPv4 address only. Throws when the group cannot be joined there.
boost::asio::ip::udp::socket JoinDiscoveryGroup(boost::asio::io_context& io,
                                                const std::string& interfaceAddress);

// The front end on such a socket.
std::unique_ptr<ControllerUdpFrontEnd> MakeDiscoveryFrontEnd(ControllerCore& core,
                                                             boost::asio::io_context& io,
                                                             const std::string& interfaceAddress);

}  // namespace orvan::fakes
