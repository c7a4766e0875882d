// Accepting, handshaking, reading and writing one TLS client.
#include "clients/tcp_requestor.hpp"

#include "clients/requestor_server.hpp"

#include <boost/asio/write.hpp>

TcpRequestor::TcpRequestor(boost::asio::io_context& context, RequestorServer& owner)
    : Requestor(context, owner), socket(context) {}

void TcpRequestor::OnAccept(const boost::system::error_code& error) {
  // The listener is ready for the next client whatever became of this one.
  server.ContinueAccept(this, error);
  if (error) {
    Close();
    return;
  }
  if (Closed()) return;
  boost::system::error_code failure;
  socket.set_option(boost::asio::ip::tcp::no_delay(true), failure);
  boost::asio::ip::tcp::endpoint remote;
  if (!failure) remote = socket.remote_endpoint(failure);
  if (failure) {
    Close();  // e.g. reset before we got to it: this client ends, the server serves on
    return;
  }
  port = remote.port();
  address = remote.address().to_string();
  // The deadline covers the wait for the first bytes and for a place among the handshakes.
  ArmIdleTimer(server.HandshakeTimeout());
  // A client speaks first in TLS: one that stays silent never takes a handshake's place.
  socket.async_wait(boost::asio::ip::tcp::socket::wait_read,
                    [self = std::static_pointer_cast<TcpRequestor>(shared_from_this())](
                        const boost::system::error_code& result) { self->OnFirstBytes(result); });
}

void TcpRequestor::OnFirstBytes(const boost::system::error_code& error) {
  if (Closed()) return;
  if (error) {
    Close();
    return;
  }
  server.AwaitHandshake(std::static_pointer_cast<TcpRequestor>(shared_from_this()));
}

void TcpRequestor::StartHandshake() {
  if (Closed()) return;
  try {
    tlsContext = server.TlsContext();
    stream.emplace(socket, *tlsContext);
  } catch (const std::exception&) {
    Close();
    return;
  }
  ArmIdleTimer(server.HandshakeTimeout());
  stream->async_handshake(
      boost::asio::ssl::stream_base::server,
      [self = std::static_pointer_cast<TcpRequestor>(shared_from_this())](
          const boost::system::error_code& result) { self->OnHandshake(result); });
}

void TcpRequestor::OnHandshake(const boost::system::error_code& error) {
  server.EndHandshake(this);
  if (Closed()) return;
  if (error) {
    Close();
    return;
  }
  handshakeDone = true;
  ArmIdleTimer(std::chrono::milliseconds(IdleTimeout()));
  StartRead();
  WriteNext();
}

void TcpRequestor::StartRead() {
  if (Closed() || !stream) return;
  stream->async_read_some(
      boost::asio::buffer(ReceiveBuffer()),
      [self = shared_from_this()](const boost::system::error_code& error, size_t count) {
        self->OnRead(error, count);
      });
}

void TcpRequestor::WriteFront() {
  auto block = writeQueue.front();
  boost::asio::async_write(*stream, boost::asio::buffer(*block),
                           [self = std::static_pointer_cast<TcpRequestor>(shared_from_this()),
                            block](const boost::system::error_code& error, size_t) {
                             if (error) {
                               self->Close();  // a TLS stream that failed a write is broken
                               return;
                             }
                             self->OnWritten();
                           });
}

void TcpRequestor::Close() {
  Requestor::Close();
  if (!handshakeDone) server.EndHandshake(this);
  if (socket.is_open()) {
    boost::system::error_code ignored;
    socket.shutdown(boost::asio::ip::tcp::socket::shutdown_both, ignored);
    socket.close(ignored);
  }
}
