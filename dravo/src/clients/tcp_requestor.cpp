// Accepting, handshaking, reading and writing one TLS client.
#include "clients/tcp_requestor.hpp"

#include "clients/requestor_server.hpp"

#include <boost/asio/post.hpp>

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
    channel.emplace(socket, *tlsContext);
  } catch (const std::exception&) {
    Close();
    return;
  }
  ArmIdleTimer(server.HandshakeTimeout());
  ContinueHandshake();
}

void TcpRequestor::ContinueHandshake() {
  if (Closed()) return;
  const auto step = channel->Handshake();
  switch (step) {
    case TlsChannel::Step::kDone:
      OnHandshake({});
      return;
    case TlsChannel::Step::kWantRead:
    case TlsChannel::Step::kWantWrite:
      WaitFor(step, &TcpRequestor::ContinueHandshake);
      return;
    default:
      OnHandshake(boost::asio::error::connection_aborted);
      return;
  }
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

void TcpRequestor::WaitFor(TlsChannel::Step step, void (TcpRequestor::*next)()) {
  const auto direction = step == TlsChannel::Step::kWantWrite
                             ? boost::asio::ip::tcp::socket::wait_write
                             : boost::asio::ip::tcp::socket::wait_read;
  socket.async_wait(direction, [self = std::static_pointer_cast<TcpRequestor>(shared_from_this()),
                                next](const boost::system::error_code& error) {
    if (self->Closed()) return;
    if (error) {
      self->Close();
      return;
    }
    ((*self).*next)();
  });
}

void TcpRequestor::StartRead() {
  if (Closed() || !channel) return;
  if (channel->HasPending()) {
    // Bytes already taken from the socket: no readiness will announce them.
    boost::asio::post(io, [self = std::static_pointer_cast<TcpRequestor>(shared_from_this())] {
      self->ReadNow();
    });
    return;
  }
  WaitFor(TlsChannel::Step::kWantRead, &TcpRequestor::ReadNow);
}

void TcpRequestor::ReadNow() {
  if (Closed()) return;
  size_t count = 0;
  const auto step = channel->Read(ReceiveBuffer().data(), ReceiveBuffer().size(), count);
  switch (step) {
    case TlsChannel::Step::kDone:
      OnRead({}, count);
      return;
    case TlsChannel::Step::kWantRead:
    case TlsChannel::Step::kWantWrite:
      WaitFor(step, &TcpRequestor::ReadNow);
      return;
    case TlsChannel::Step::kClosed:
      OnRead(boost::asio::error::eof, 0);
      return;
    case TlsChannel::Step::kFailed:
      OnRead(boost::asio::error::connection_aborted, 0);
      return;
  }
}

bool TcpRequestor::WriteNow(const uint8_t* data, size_t length) {
  switch (channel->Write(data, length)) {
    case TlsChannel::Step::kDone:
      return true;
    case TlsChannel::Step::kWantRead:
    case TlsChannel::Step::kWantWrite:
      // The TLS library holds the record; the queued copy is what is written again.
      return false;
    default:
      CloseLater();  // a TLS connection that failed a write is broken
      return true;
  }
}

bool TcpRequestor::WriteFront() {
  const auto& block = *writeQueue.front();
  const auto step = channel->Write(block.data(), block.size());
  switch (step) {
    case TlsChannel::Step::kDone:
      return true;
    case TlsChannel::Step::kWantRead:
    case TlsChannel::Step::kWantWrite:
      WaitFor(step, &TcpRequestor::ContinueWrite);
      return false;
    default:
      CloseLater();
      return false;
  }
}

void TcpRequestor::ContinueWrite() {
  if (WriteFront()) OnWritten();
}

void TcpRequestor::CloseLater() {
  boost::asio::post(io, [self = shared_from_this()] { self->Close(); });
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
