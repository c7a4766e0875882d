// The TCP transport of a resource: resolve, connect, then one read always pending.
#include "resources/tcp_resource.hpp"

#include <boost/asio/connect.hpp>
#include <boost/asio/write.hpp>

#include <sstream>

namespace asio = boost::asio;
using asio::ip::tcp;

TcpResource::TcpResource(asio::io_context& context, ResourceTable& table, uint32_t resourceId)
    : Resource(context, table, resourceId), socket(context), resolver(context) {}

bool TcpResource::Matches(const OpenParameters& parameters) const {
  return parameters.kind == orvan::protocol::kKindTcp && Resource::Matches(parameters);
}

void TcpResource::Open(const OpenParameters& parameters) {
  Resource::Open(parameters);
  ResolveForOpen(resolver, parameters.port, [this](const tcp::endpoint& endpoint) {
    socket.async_connect(
        endpoint, [self = shared_from_this(), this](const boost::system::error_code& connected) {
          OnConnect(connected);
        });
  });
}

void TcpResource::OnConnect(boost::system::error_code error) {
  if (!error && released) error = asio::error::operation_aborted;  // torn down while connecting
  if (!error) socket.set_option(tcp::no_delay(true), error);
  if (!error) local = socket.local_endpoint(error);
  if (!error) remote = socket.remote_endpoint(error);
  if (error) {
    boost::system::error_code ignored;
    socket.close(ignored);
    ReportOpened(error);
    return;
  }
  StartRead();
  ReportOpened(error);
}

std::string TcpResource::Describe() const {
  std::ostringstream text;
  text << "src(" << local.address().to_string() << ":" << local.port() << ") dst("
       << remote.address().to_string() << ":" << remote.port() << ")";
  return text.str();
}

void TcpResource::Close(std::shared_ptr<Resource>) {
  boost::system::error_code ignored;
  resolver.cancel();
  if (socket.is_open()) socket.close(ignored);
}

void TcpResource::Write(const uint8_t* bytes, size_t length) {
  asio::async_write(socket, asio::buffer(bytes, length),
                    [self = shared_from_this(), this](const boost::system::error_code& error,
                                                      size_t count) { OnWrite(error, count); });
}

void TcpResource::StartRead() {
  static constexpr uint8_t kLf = 0x0A;
  QueueWrite(&kLf, 1);
  socket.async_read_some(asio::buffer(readBuffer),
                         [self = shared_from_this(), this](const boost::system::error_code& error,
                                                           size_t count) { OnRead(error, count); });
}
