// A controller reached over a TCP connection to its command port.
#pragma once

#include "resources/resource.hpp"

#include <boost/asio/ip/tcp.hpp>

class TcpResource : public Resource {
public:
  TcpResource(boost::asio::io_context& io, ResourceTable& table, uint32_t id);
  uint32_t Kind() const override { return orvan::protocol::kKindTcp; }
  // Resolves the address (IPv4), connects to the first result and starts reading.
  void Open(const OpenParameters& parameters) override;
  bool Matches(const OpenParameters& parameters) const override;
  // "src(local:port) dst(remote:port)"
  std::string Describe() const override;

protected:
  void Close(std::shared_ptr<Resource> self) override;
  void Write(const uint8_t* bytes, size_t length) override;
  // Every read is preceded by one LF to the controller.
  void StartRead() override;

private:
  void OnConnect(boost::system::error_code error);

  boost::asio::ip::tcp::socket socket;
  boost::asio::ip::tcp::resolver resolver;
  // Kept from the connect, so a listing never asks a socket that has gone.
  boost::asio::ip::tcp::endpoint local, remote;
};
