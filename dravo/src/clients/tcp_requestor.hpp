// A client over TLS on TCP port 23: accepted by the server's listener, handshakes, then reads
// into its shell. A client that does not finish its handshake in time is closed.
#pragma once

#include "clients/requestor.hpp"

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl/context.hpp>
#include <boost/asio/ssl/stream.hpp>

#include <optional>

class TcpRequestor final : public Requestor {
public:
  TcpRequestor(boost::asio::io_context& io, RequestorServer& server);

  void Close() override;
  std::string Protocol() const override { return "tcp"; }
  uint16_t Port() const override { return port; }
  std::string Address() const override { return address; }
  void StartRead() override;

  boost::asio::ip::tcp::socket& Socket() { return socket; }
  void OnAccept(const boost::system::error_code& error);
  void OnHandshake(const boost::system::error_code& error);

private:
  void WriteFront() override;
  bool CanWrite() const override { return handshakeDone; }

  boost::asio::ip::tcp::socket socket;
  // The context the stream was made from; it stays alive while the stream does.
  std::shared_ptr<boost::asio::ssl::context> tlsContext;
  // Made once the client is accepted, so a replaced certificate serves the next client.
  std::optional<boost::asio::ssl::stream<boost::asio::ip::tcp::socket&>> stream;
  uint16_t port = 0;
  std::string address;
  bool handshakeDone = false;
};
