// A controller reached by datagrams: every command is one datagram to it, and what it sends
// back (replies, data records, interrupts) arrives on the same socket.
#pragma once

#include "resources/resource.hpp"

#include <boost/asio/ip/udp.hpp>

class UdpResource : public Resource {
public:
  UdpResource(boost::asio::io_context& io, ResourceTable& table, uint32_t id);
  uint32_t Kind() const override { return orvan::protocol::kKindUdp; }
  // Resolves the address (IPv4) and opens the socket; reading starts with the first write.
  void Open(const OpenParameters& parameters) override;
  // Tells the controller to stop its record stream and free this handle, then closes.
  void Release() override;
  bool Matches(const OpenParameters& parameters) const override;
  // "dst(controller:port)"
  std::string Describe() const override;

protected:
  void Close(std::shared_ptr<Resource> self) override;
  void Write(const uint8_t* bytes, size_t length) override;
  void StartRead() override;
  // A lost datagram is the client's timeout to notice; the resource goes on.
  void OnWriteFailed(const boost::system::error_code& error) override;

private:
  void OnReceive(const boost::system::error_code& error, size_t count);

  boost::asio::ip::udp::socket socket;
  boost::asio::ip::udp::resolver resolver;
  boost::asio::ip::udp::endpoint controller;
  boost::asio::ip::udp::endpoint sender;
  bool reading = false;
};
