// Sending a UDP client's replies and leaving the muxer on close.
#include "clients/udp_requestor.hpp"

#include "platform/datagram_batch.hpp"

#include <boost/asio/post.hpp>

#include <array>

UdpRequestor::UdpRequestor(boost::asio::io_context& context, RequestorServer& owner,
                           std::weak_ptr<UdpCarrier> from,
                           const boost::asio::ip::udp::endpoint& endpoint)
    : Requestor(context, owner), muxer(std::move(from)), client(endpoint) {}

void UdpRequestor::OnDatagram(const uint8_t* bytes, size_t length) {
  if (!Closed()) Consume(bytes, length);
}

bool UdpRequestor::WriteFront() {
  // On a turn of its own, so that the blocks queued meanwhile (a burst of records fanned out in
  // one pass) leave together.
  boost::asio::post(io, [self = std::static_pointer_cast<UdpRequestor>(shared_from_this())] {
    self->SendQueued();
  });
  return false;  // SendQueued reports what went
}

void UdpRequestor::SendQueued() {
  if (Closed()) return;
  const auto socketOwner = muxer.lock();
  if (!socketOwner || socketOwner->Closed()) {
    Close();
    return;
  }
  std::array<boost::asio::const_buffer, 32> datagrams;
  size_t count = 0;
  for (const auto& block : writeQueue) {
    if (count == datagrams.size()) break;
    datagrams[count++] = boost::asio::buffer(*block);
  }
  auto& socket = socketOwner->Socket();
  boost::system::error_code error;
  size_t sent =
      platform::SendDatagrams(socket.native_handle(), datagrams.data(), count, client, error);
  if (error == boost::asio::error::would_block) {
    // The send buffer is full: go on once it takes more.
    socket.async_wait(boost::asio::ip::udp::socket::wait_write,
                      [self = std::static_pointer_cast<UdpRequestor>(shared_from_this()),
                       socketOwner](const boost::system::error_code&) { self->SendQueued(); });
    return;
  }
  // A datagram that cannot be sent is lost, as datagrams are; the next one still goes.
  if (error) sent = 1;
  OnWritten(sent);
}

void UdpRequestor::Close() {
  Requestor::Close();
  if (const auto socketOwner = muxer.lock()) socketOwner->Forget(client, this);
}
