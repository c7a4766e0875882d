// A client over UDP port 23, known by its address and port. The muxer delivers its datagrams;
// replies go back through the muxer's socket.
#pragma once

#include "clients/requestor.hpp"

#include <boost/asio/ip/udp.hpp>

class UdpSocketMuxer;

class UdpRequestor final : public Requestor {
public:
  UdpRequestor(boost::asio::io_context& io, Server& server, std::weak_ptr<UdpSocketMuxer> muxer,
               const boost::asio::ip::udp::endpoint& client);

  void Close() override;
  std::string Protocol() const override { return "udp"; }
  uint16_t Port() const override { return client.port(); }
  std::string Address() const override { return client.address().to_string(); }
  void StartRead() override {}  // the muxer delivers

private:
  void WriteFront() override;

  std::weak_ptr<UdpSocketMuxer> muxer;
  boost::asio::ip::udp::endpoint client;
};
