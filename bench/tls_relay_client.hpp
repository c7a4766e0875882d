// A blocking OpenSSL client that sends a controller command and reads to the ':' prompt: the
// reference against which the road through the server is held, both in time and in
// instructions per round trip.
#pragma once

#include <openssl/ssl.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <string>

namespace bench {

class TlsRelayClient {
public:
  TlsRelayClient(const char* address, uint16_t port) {
    context = SSL_CTX_new(TLS_client_method());
    SSL_CTX_set_verify(context, SSL_VERIFY_NONE, nullptr);
    descriptor = socket(AF_INET, SOCK_STREAM, 0);
    const int on = 1;
    setsockopt(descriptor, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    sockaddr_in peer{};
    peer.sin_family = AF_INET;
    peer.sin_port = htons(port);
    inet_pton(AF_INET, address, &peer.sin_addr);
    if (connect(descriptor, reinterpret_cast<sockaddr*>(&peer), sizeof peer) != 0) return;
    tls = SSL_new(context);
    SSL_set_fd(tls, descriptor);
    if (SSL_connect(tls) != 1) {
      SSL_free(tls);
      tls = nullptr;
    }
  }
  ~TlsRelayClient() {
    if (tls) {
      SSL_shutdown(tls);
      SSL_free(tls);
    }
    close(descriptor);
    SSL_CTX_free(context);
  }
  TlsRelayClient(const TlsRelayClient&) = delete;
  TlsRelayClient& operator=(const TlsRelayClient&) = delete;

  bool Ready() const { return tls != nullptr; }

  bool RoundTrip(const std::string& request) {
    if (SSL_write(tls, request.data(), static_cast<int>(request.size())) <= 0) return false;
    char reply[406];
    for (;;) {
      const int count = SSL_read(tls, reply, sizeof reply);
      if (count <= 0) return false;
      if (reply[count - 1] == ':') return true;
    }
  }

private:
  SSL_CTX* context = nullptr;
  SSL* tls = nullptr;
  int descriptor = -1;
};

}  // namespace bench
