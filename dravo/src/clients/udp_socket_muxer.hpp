// The server's UDP socket on port 23 for one listen address: hands each datagram to the
// requestor of its sender (address and port), making one for a new sender.
#pragma once

#include "clients/udp_carrier.hpp"
#include "protocol/shell_wire.hpp"

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/udp.hpp>

#include <array>
#include <map>
#include <memory>
#include <string>

class RequestorServer;
class UdpRequestor;

class UdpSocketMuxer : public std::enable_shared_from_this<UdpSocketMuxer>, public UdpCarrier {
public:
  static constexpr size_t kMaxDatagram = orvan::protocol::kRequestSize;

  // Binds the listen address, UDP port 23; raises "bind" (or the address's parse error).
  UdpSocketMuxer(boost::asio::io_context& io, const std::string& listenAddress,
                 RequestorServer& server);

  void StartReceive();
  void Close();
  bool Closed() const override { return closed; }
  boost::asio::ip::udp::socket& Socket() override { return socket; }
  void Forget(const boost::asio::ip::udp::endpoint& client, const UdpRequestor* requestor) override;
  size_t ClientCount() const { return clients.size(); }

private:
  void OnReceive(const boost::system::error_code& error, size_t count);

  boost::asio::io_context& io;
  boost::asio::ip::udp::socket socket;
  boost::asio::ip::udp::endpoint sender;
  std::map<boost::asio::ip::udp::endpoint, std::shared_ptr<UdpRequestor>> clients;
  std::string listenAddress;
  // A longer datagram is refused whole by the receive.
  std::array<uint8_t, kMaxDatagram> receiveBuffer{};
  RequestorServer& server;
  bool closed = false;
};
