// The UDP transport of a resource: one datagram per write; every datagram waiting is taken at
// each wake-up, only datagrams from the controller's own address count, and a data record is
// fanned out as one block shared by all its subscribers.
#include "resources/udp_resource.hpp"

#include <boost/asio/error.hpp>

#include <sstream>

#include "protocol/controller_datagram.hpp"

#include <algorithm>
#include <cstring>

namespace asio = boost::asio;
using asio::ip::udp;

UdpResource::UdpResource(asio::io_context& context, ResourceTable& table, uint32_t resourceId)
    : Resource(context, table, resourceId), socket(context), resolver(context) {
  for (size_t i = 0; i < kBatch; ++i) batch[i].buffer = asio::buffer(batchBuffers[i]);
}

bool UdpResource::Matches(const OpenParameters& parameters) const {
  return parameters.kind == orvan::protocol::kKindUdp && Resource::Matches(parameters);
}

void UdpResource::Open(const OpenParameters& parameters) {
  Resource::Open(parameters);
  ResolveForOpen(resolver, parameters.port, [this](const udp::endpoint& endpoint) {
    controller = endpoint;
    boost::system::error_code opened;
    socket.open(udp::v4(), opened);
    // A controller streams records faster than one wake-up of the server may take them; a
    // smaller buffer drops the excess. A refusal leaves the system's default, which still works.
    if (!opened) platform::WidenReceiveBuffer(socket.native_handle());
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
  if (draining) {
    readAgain = true;
    return;
  }
  if (waitingToRead) return;
  waitingToRead = true;
  socket.async_wait(udp::socket::wait_read,
                    [self = shared_from_this(), this](const boost::system::error_code& error) {
                      waitingToRead = false;
                      OnReadable(error);
                    });
}

void UdpResource::OnReadable(const boost::system::error_code& error) {
  if (error) {
    OnRead(error, 0);  // closed or broken: the base ends the resource
    return;
  }
  // One thread runs the loop, so nothing is taken off the socket's readiness between the last
  // empty receive here and the wait that follows it.
  draining = true;
  for (;;) {
    boost::system::error_code received;
    const size_t count =
        platform::ReceiveDatagrams(socket.native_handle(), batch.data(), batch.size(), received);
    if (received == asio::error::would_block) break;
    if (received) {
      draining = false;
      OnRead(received, 0);
      return;
    }
    for (size_t i = 0; i < count; ++i) {
      if (!Take(batch[i])) {
        draining = false;
        return;
      }
    }
    if (count < batch.size()) break;  // the socket was emptied
  }
  draining = false;
  StartRead();
}

bool UdpResource::Take(const platform::DatagramSlot& slot) {
  if (released || failed) return false;
  // A datagram too long for the buffer is no failure of the transport: it is dropped whole.
  // Only the controller speaks here.
  if (slot.length > slot.buffer.size() || slot.sender.address() != controller.address())
    return true;
  controller = slot.sender;  // the controller may answer from another port: follow it
  const auto* bytes = static_cast<const uint8_t*>(slot.buffer.data());
  if (orvan::protocol::ClassifyDatagram(bytes, slot.length) ==
      orvan::protocol::DatagramKind::Record) {
    FanOutRecord(bytes, slot.length);
    recordsSeen = true;
    return true;
  }
  // Interrupts and text take the base's road, through the read buffer.
  std::memcpy(readBuffer.data(), bytes, slot.length);
  readAgain = false;
  OnRead({}, slot.length);
  return readAgain;
}

void UdpResource::FanOutRecord(const uint8_t* bytes, size_t length) {
  auto& subscribers = RecordSubscribers();
  if (subscribers.empty()) return;
  const auto block = std::make_shared<const std::vector<uint8_t>>(bytes, bytes + length);
  // A subscriber that cannot take it is closed on the way, which must not disturb the walk.
  std::array<std::shared_ptr<ResourceClient>, 16> few;
  std::vector<std::shared_ptr<ResourceClient>> many;
  size_t live = 0;
  for (auto entry = subscribers.begin(); entry != subscribers.end();) {
    auto client = entry->lock();
    if (!client) {
      entry = subscribers.erase(entry);
      continue;
    }
    ++entry;
    if (live < few.size()) {
      few[live] = std::move(client);
    } else {
      many.push_back(std::move(client));
    }
    ++live;
  }
  for (size_t i = 0; i < live; ++i) {
    const auto& client = i < few.size() ? few[i] : many[i - few.size()];
    if (!client->Closed()) client->DeliverShared(block);
  }
}
