// One adapter's socket of the IP assigner, on port 67 (controllers' requests) or 68 (answers
// to the probe), with its receive buffer. Shared with each pending receive, so the buffer
// outlives a close.
#pragma once

#include "protocol/bootp.hpp"

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/udp.hpp>

#include <cstdint>
#include <string>
#include <utility>

struct DhcpSocket {
  DhcpSocket(boost::asio::io_context& io, std::string name, std::string address,
             std::uint16_t localPort)
      : socket(io),
        adapterName(std::move(name)),
        adapterAddress(std::move(address)),
        port(localPort) {}

  boost::asio::ip::udp::socket socket;
  orvan::protocol::BootpPacket buffer{};
  std::string adapterName;
  std::string adapterAddress;
  std::uint16_t port;
  boost::asio::ip::udp::endpoint sender;
};
