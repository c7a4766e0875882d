// Sending a UDP client's replies and leaving the muxer on close.
#include "clients/udp_requestor.hpp"

UdpRequestor::UdpRequestor(boost::asio::io_context& context, RequestorServer& owner,
                           std::weak_ptr<UdpCarrier> from,
                           const boost::asio::ip::udp::endpoint& endpoint)
    : Requestor(context, owner), muxer(std::move(from)), client(endpoint) {}

void UdpRequestor::OnDatagram(const uint8_t* bytes, size_t length) {
  if (!Closed()) Consume(bytes, length);
}

bool UdpRequestor::WriteFront() {
  const auto socketOwner = muxer.lock();
  if (!socketOwner || socketOwner->Closed()) {
    Close();
    return false;
  }
  auto block = writeQueue.front();
  // A datagram that cannot be sent is lost, as datagrams are; the next one still goes.
  socketOwner->Socket().async_send_to(
      boost::asio::buffer(*block), client,
      [self = std::static_pointer_cast<UdpRequestor>(shared_from_this()), socketOwner, block](
          const boost::system::error_code&, size_t) { self->OnWritten(); });
  return false;
}

void UdpRequestor::Close() {
  Requestor::Close();
  if (const auto socketOwner = muxer.lock()) socketOwner->Forget(client, this);
}
