// The UDP transport of a resource: one datagram per write, one datagram per read, and only
// datagrams from the controller's own address count.
#include "resources/udp_resource.hpp"

#include <boost/asio/error.hpp>

#include <sstream>

#include "platform/datagram_receive.hpp"

namespace asio = boost::asio;
using asio::ip::udp;

UdpResource::UdpResource(asio::io_context& context, ResourceTable& table, uint32_t resourceId)
    : Resource(context, table, resourceId), socket(context), resolver(context) {}

bool UdpResource::Matches(const OpenParameters& parameters) const {
  return parameters.kind == orvan::protocol::kKindUdp && Resource::Matches(parameters);
}

void UdpResource::Open(const OpenParameters& parameters) {
  Resource::Open(parameters);
  ResolveForOpen(resolver, parameters.port, [this](const udp::endpoint& endpoint) {
    controller = endpoint;
    boost::system::error_code opened;
    socket.open(udp::v4(), opened);
    ReportOpened(opened);
  });
}

std::string UdpResource::Describe() const {
  std::ostringstream text;
  text << "dst(" << controller.address().to_string() << ":" << controller.port() << ")";
  return text.str();
}

void UdpResource::Release() {
  if (socket.is_open() && !released) {
    static const std::string kWithRecords = "DR0;IHS=>-1\r", kWithout = "IHS=>-1\r";
    const std::string& farewell = recordsSeen ? kWithRecords : kWithout;
    socket.async_send_to(asio::buffer(farewell), controller,
                         [self = shared_from_this(), this](const boost::system::error_code&,
                                                           size_t) { Close(self); });
  }
  Resource::Release();
}

void UdpResource::Close(std::shared_ptr<Resource>) {
  boost::system::error_code ignored;
  resolver.cancel();
  if (socket.is_open()) socket.close(ignored);
}

void UdpResource::Write(const uint8_t* bytes, size_t length) {
  socket.async_send_to(asio::buffer(bytes, length), controller,
                       [self = shared_from_this(), this](const boost::system::error_code& error,
                                                         size_t count) { OnWrite(error, count); });
  // The socket has its local port once the first datagram is on its way.
  if (!reading) {
    reading = true;
    StartRead();
  }
}

void UdpResource::OnWriteFailed(const boost::system::error_code&) { WriteNext(); }

void UdpResource::StartRead() {
  platform::AsyncReceiveDatagram(
      socket, asio::buffer(readBuffer), sender,
      [self = shared_from_this(), this](const boost::system::error_code& error, size_t count) {
        OnReceive(error, count);
      });
}

void UdpResource::OnReceive(const boost::system::error_code& error, size_t count) {
  // A datagram too long for the buffer is no failure of the transport: it is dropped whole.
  const bool oversized = error == asio::error::message_size;
  if ((!error || oversized) && !released && !failed) {
    // Only the controller speaks here.
    if (oversized || sender.address() != controller.address()) {
      StartRead();
      return;
    }
    controller = sender;  // the controller may answer from another port: follow it
  }
  OnRead(oversized ? boost::system::error_code() : error, count);
}
