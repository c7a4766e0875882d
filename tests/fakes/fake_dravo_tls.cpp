#include "fakes/fake_dravo_tls.hpp"

#include "fakes/self_signed_certificate.hpp"
#include "protocol/shell_wire.hpp"

#include <boost/asio/ssl/stream.hpp>
#include <boost/asio/write.hpp>

#include <openssl/ssl.h>

#include <array>
#include <deque>

namespace orvan::fakes {

namespace asio = boost::asio;
namespace ssl = asio::ssl;
using asio::ip::tcp;

namespace {

void UseSelfSignedCertificate(ssl::context& context) {
  const auto made = MakeSelfSignedCertificate("fake dravo", 86400);
  SSL_CTX_use_certificate(context.native_handle(), made.certificate.get());
  SSL_CTX_use_PrivateKey(context.native_handle(), made.key.get());
  // As the real server: no tickets, so no record without data waits on the client's socket.
  SSL_CTX_set_num_tickets(context.native_handle(), 0);
}

}  // namespace

class FakeDravoTlsSide::Client : public std::enable_shared_from_this<Client> {
public:
  Client(tcp::socket socket, ssl::context& context, const Reader& reader,
         const std::atomic<bool>& stopReading)
      : state(std::make_shared<FakeDravoSession>()),
        reader(reader),
        stopReading(stopReading),
        stream(std::move(socket), context) {}

  void Start() {
    std::weak_ptr<Client> weak = shared_from_this();
    state->send = [weak](const std::string& bytes) {
      if (auto self = weak.lock()) self->Write(bytes);
    };
    state->close = [weak] {
      if (auto self = weak.lock()) self->Close();
    };
    stream.async_handshake(ssl::stream_base::server,
                           [self = shared_from_this()](const boost::system::error_code& error) {
                             if (!error) self->DoRead();
                           });
  }

  void Close() {
    boost::system::error_code ignored;
    stream.next_layer().shutdown(tcp::socket::shutdown_both, ignored);
    stream.next_layer().close(ignored);
  }

  bool IsOpen() const { return stream.next_layer().is_open(); }

private:
  void DoRead() {
    stream.async_read_some(asio::buffer(buffer), [self = shared_from_this()](
                                                     const boost::system::error_code& error,
                                                     size_t count) { self->OnRead(error, count); });
  }

  void OnRead(const boost::system::error_code& error, size_t count) {
    if (error) return Close();
    reader(state, std::string(buffer.data(), count));
    if (!stopReading && IsOpen()) DoRead();
  }

  void Write(const std::string& bytes) {
    if (!IsOpen()) return;
    queue.push_back(bytes);
    if (queue.size() == 1) DoWrite();
  }

  void DoWrite() {
    asio::async_write(stream, asio::buffer(queue.front()),
                      [self = shared_from_this()](const boost::system::error_code& error, size_t) {
                        if (error || self->queue.empty()) return;
                        self->queue.pop_front();
                        if (!self->queue.empty()) self->DoWrite();
                      });
  }

  const std::shared_ptr<FakeDravoSession> state;
  const Reader reader;
  const std::atomic<bool>& stopReading;
  ssl::stream<tcp::socket> stream;
  std::array<char, protocol::kRequestSize> buffer{};
  std::deque<std::string> queue;
};

FakeDravoTlsSide::FakeDravoTlsSide(asio::io_context& io, const tcp::endpoint& at, Reader reader,
                                   std::function<void()> accepted,
                                   const std::atomic<bool>& stopReading)
    : context(ssl::context::tls_server),
      acceptor(io),
      reader(std::move(reader)),
      accepted(std::move(accepted)),
      stopReading(stopReading) {
  UseSelfSignedCertificate(context);
  acceptor.open(tcp::v4());
  acceptor.set_option(tcp::acceptor::reuse_address(true));
  acceptor.bind(at);
  acceptor.listen();
}

FakeDravoTlsSide::~FakeDravoTlsSide() = default;

void FakeDravoTlsSide::Start() { Accept(); }

void FakeDravoTlsSide::Accept() {
  acceptor.async_accept([this](const boost::system::error_code& error, tcp::socket socket) {
    if (error) return;
    auto client = std::make_shared<Client>(std::move(socket), context, reader, stopReading);
    clients.push_back(client);
    client->Start();
    accepted();
    Accept();
  });
}

void FakeDravoTlsSide::DropClients() {
  for (auto& client : clients) client->Close();
}

void FakeDravoTlsSide::Close() {
  boost::system::error_code ignored;
  acceptor.close(ignored);
  DropClients();
  clients.clear();
}

size_t FakeDravoTlsSide::OpenClients() const {
  size_t count = 0;
  for (const auto& client : clients) count += client->IsOpen();
  return count;
}

}  // namespace orvan::fakes
