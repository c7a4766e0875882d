// TLS straight over a client's non-blocking socket: each call does what it can at once and says
// what it waits for, so the owner waits on the socket itself. One record read and one write per
// round trip, with no second buffer between TLS and the socket.
#pragma once

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl/context.hpp>

#include <openssl/ssl.h>

#include <cstddef>
#include <cstdint>

class TlsChannel {
public:
  enum class Step { kDone, kWantRead, kWantWrite, kClosed, kFailed };

  // Server role; throws when the TLS library cannot make the connection's state.
  TlsChannel(boost::asio::ip::tcp::socket& socket, boost::asio::ssl::context& context);
  ~TlsChannel();
  TlsChannel(const TlsChannel&) = delete;
  TlsChannel& operator=(const TlsChannel&) = delete;

  Step Handshake();
  // Up to `capacity` bytes of one record into `into`; `count` is what arrived.
  Step Read(uint8_t* into, size_t capacity, size_t& count);
  // All `length` bytes, or a wait after which the same bytes must be written again.
  Step Write(const uint8_t* data, size_t length);
  // Bytes already taken from the socket that a read returns without waiting.
  bool HasPending() const { return SSL_has_pending(tls) == 1; }

private:
  Step Outcome(int result);

  SSL* tls = nullptr;
};
