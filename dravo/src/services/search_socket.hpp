// One interface's part of a hardware search: a UDP socket whose multicast query leaves through
// that interface, and where the controllers' answers to it arrive.
#pragma once

#include "protocol/discovery.hpp"

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/udp.hpp>

#include <array>
#include <cstdint>
#include <string>
#include <utility>

struct SearchSocket {
  SearchSocket(boost::asio::io_context& io, std::string interfaceName, std::string interfaceAddress)
      : socket(io), name(std::move(interfaceName)), address(std::move(interfaceAddress)) {}

  boost::asio::ip::udp::socket socket;
  std::array<std::uint8_t, orvan::protocol::kDiscoveryAnswerSize> buffer{};
  std::string name;
  std::string address;
  boost::asio::ip::udp::endpoint sender;  // of the last answer received
};
