// What a UDP client needs of the muxer its datagrams arrive through: the socket its replies
// leave by, and leaving the muxer's map when it closes.
#pragma once

#include <boost/asio/ip/udp.hpp>

class UdpRequestor;

class UdpCarrier {
public:
  virtual ~UdpCarrier() = default;

  virtual bool Closed() const = 0;
  virtual boost::asio::ip::udp::socket& Socket() = 0;
  // Drops the sender's entry if it still names this requestor, so its next datagram starts afresh.
  virtual void Forget(const boost::asio::ip::udp::endpoint& client,
                      const UdpRequestor* requestor) = 0;
};
