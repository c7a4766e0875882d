// A client over UDP port 23, known by its address and port. The muxer delivers its datagrams;
// replies go back through the muxer's socket.
#pragma once

#include "clients/requestor.hpp"
#include "clients/udp_carrier.hpp"

#include <boost/asio/ip/udp.hpp>

class UdpRequestor final : public Requestor {
public:
  UdpRequestor(boost::asio::io_context& io, RequestorServer& server,
               std::weak_ptr<UdpCarrier> muxer, const boost::asio::ip::udp::endpoint& client);

  void Close() override;
  std::string Protocol() const override { return "udp"; }
  uint16_t Port() const override { return client.port(); }
  std::string Address() const override { return client.address().to_string(); }
  void StartRead() override {}  // the muxer delivers
  // One datagram from the client, handed over by the muxer.
  void OnDatagram(const uint8_t* bytes, size_t length);

private:
  bool WriteFront() override;
  // Sends what is queued by then, many datagrams per system call.
  void SendQueued();

  std::weak_ptr<UdpCarrier> muxer;
  boost::asio::ip::udp::endpoint client;
};
