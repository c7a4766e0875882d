// The TLS library driven over the socket's descriptor in non-blocking mode.
#include "clients/tls_channel.hpp"

#include <openssl/bio.h>
#include <openssl/err.h>
#include <sys/socket.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <stdexcept>

namespace {

int Descriptor(BIO* bio) { return static_cast<int>(reinterpret_cast<intptr_t>(BIO_get_data(bio))); }

bool WouldBlock() { return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR; }

// The TLS library's own socket BIO writes with write(): a peer that has gone would raise
// SIGPIPE and end the whole server. These send with MSG_NOSIGNAL instead.
int SocketWrite(BIO* bio, const char* data, size_t length, size_t* written) {
  BIO_clear_retry_flags(bio);
  const ssize_t sent = ::send(Descriptor(bio), data, length, MSG_NOSIGNAL);
  if (sent >= 0) {
    *written = static_cast<size_t>(sent);
    return 1;
  }
  if (WouldBlock()) BIO_set_retry_write(bio);
  return 0;
}

int SocketRead(BIO* bio, char* into, size_t capacity, size_t* got) {
  BIO_clear_retry_flags(bio);
  const ssize_t received = ::recv(Descriptor(bio), into, capacity, 0);
  if (received > 0) {
    *got = static_cast<size_t>(received);
    return 1;
  }
  if (received < 0 && WouldBlock()) BIO_set_retry_read(bio);
  return 0;  // end of stream or a failure: no retry
}

long SocketControl(BIO*, int command, long, void*) { return command == BIO_CTRL_FLUSH ? 1 : 0; }

const BIO_METHOD* SocketMethod() {
  static BIO_METHOD* const method = [] {
    BIO_METHOD* made = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "client socket");
    if (made) {
      BIO_meth_set_write_ex(made, SocketWrite);
      BIO_meth_set_read_ex(made, SocketRead);
      BIO_meth_set_ctrl(made, SocketControl);
    }
    return made;
  }();
  return method;
}

// The error queue must be empty before a call for SSL_get_error to be right; clearing an
// empty queue still costs, so only a queue that holds something is cleared.
void ClearStaleErrors() {
  if (ERR_peek_error() != 0) ERR_clear_error();
}

}  // namespace

TlsChannel::TlsChannel(boost::asio::ip::tcp::socket& socket, boost::asio::ssl::context& context) {
  socket.non_blocking(true);
  const BIO_METHOD* method = SocketMethod();
  tls = SSL_new(context.native_handle());
  BIO* carrier = method ? BIO_new(method) : nullptr;
  if (!tls || !carrier) {
    BIO_free(carrier);
    SSL_free(tls);
    ERR_clear_error();
    throw std::runtime_error("tls");
  }
  BIO_set_data(carrier, reinterpret_cast<void*>(static_cast<intptr_t>(socket.native_handle())));
  BIO_set_init(carrier, 1);
  SSL_set_bio(tls, carrier, carrier);  // one reference, for both directions
  SSL_set_accept_state(tls);
  // One read takes whatever the socket holds, not a record header and then its body.
  SSL_set_read_ahead(tls, 1);
  // A write retried after a wait comes from the queued copy, not the caller's buffer.
  SSL_set_mode(tls, SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
}

// The descriptor stays the socket's: the BIO only borrows it.
TlsChannel::~TlsChannel() { SSL_free(tls); }

TlsChannel::Step TlsChannel::Handshake() {
  ClearStaleErrors();
  return Outcome(SSL_do_handshake(tls));
}

TlsChannel::Step TlsChannel::Read(uint8_t* into, size_t capacity, size_t& count) {
  count = 0;
  ClearStaleErrors();
  const int result = SSL_read(tls, into, static_cast<int>(capacity > INT_MAX ? INT_MAX : capacity));
  if (result > 0) {
    count = static_cast<size_t>(result);
    return Step::kDone;
  }
  return Outcome(result);
}

TlsChannel::Step TlsChannel::Write(const uint8_t* data, size_t length) {
  if (length == 0) return Step::kDone;
  ClearStaleErrors();
  // Blocks are bounded far below INT_MAX by the write backlog; without partial writes a
  // success means every byte went.
  return Outcome(SSL_write(tls, data, static_cast<int>(length > INT_MAX ? INT_MAX : length)));
}

TlsChannel::Step TlsChannel::Outcome(int result) {
  if (result > 0) return Step::kDone;
  switch (SSL_get_error(tls, result)) {
    case SSL_ERROR_WANT_READ:
      return Step::kWantRead;
    case SSL_ERROR_WANT_WRITE:
      return Step::kWantWrite;
    case SSL_ERROR_ZERO_RETURN:
      return Step::kClosed;
    default:
      // Leave nothing behind for the next connection's calls on this thread.
      ERR_clear_error();
      return Step::kFailed;
  }
}
