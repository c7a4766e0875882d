// A client over TLS on TCP port 23: accepted by the server's listener, handshakes, then reads
// into its shell. Until its first bytes arrive and the server gives it a place among the
// bounded handshakes it holds only its socket. A client that does not get that far in time, or
// does not finish its handshake in time, is closed.
#pragma once

#include "clients/requestor.hpp"
#include "clients/tls_channel.hpp"

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl/context.hpp>

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
  // Called by the server once this client has its place among the handshakes in progress.
  void StartHandshake();
  void OnHandshake(const boost::system::error_code& error);

private:
  void OnFirstBytes(const boost::system::error_code& error);
  void ContinueHandshake();
  void ReadNow();
  void ContinueWrite();
  // Waits until the socket can do what the TLS step asked for, then runs `next`; a failed
  // wait closes the client.
  void WaitFor(TlsChannel::Step step, void (TcpRequestor::*next)());
  bool WriteFront() override;
  bool WriteNow(const uint8_t* data, size_t length) override;
  bool CanWrite() const override { return handshakeDone; }
  bool CanHold() const override { return true; }
  // A write that failed inside the shell's call: the close waits for that call to return.
  void CloseLater();

  boost::asio::ip::tcp::socket socket;
  // The context the channel was made from; it stays alive while the channel does.
  std::shared_ptr<boost::asio::ssl::context> tlsContext;
  // Made when the handshake starts: a connection that never speaks costs no TLS state, and a
  // replaced certificate serves the next client.
  std::optional<TlsChannel> channel;
  uint16_t port = 0;
  std::string address;
  bool handshakeDone = false;
};
