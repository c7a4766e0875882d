// Receiving a datagram whole or not at all. Linux cuts a datagram longer than the buffer
// silently; asked with MSG_TRUNC, a receive counts the datagram's real length instead, so one
// that did not fit shows and is refused (message_size) rather than passing for a shorter one.
// The refused datagram is consumed: the next receive gets the next datagram.
#pragma once

#include <boost/asio/buffer.hpp>
#include <boost/asio/socket_base.hpp>
#include <boost/system/error_code.hpp>

#include <cstddef>
#include <utility>

namespace platform {

// The flags of every datagram receive: the count becomes the datagram's real length.
boost::asio::socket_base::message_flags DatagramReceiveFlags();

// The refusal rule: message_size when the datagram's real length exceeds the buffer's
// capacity, else the receive's own error.
boost::system::error_code CheckDatagramLength(const boost::system::error_code& error, size_t length,
                                              size_t capacity);

// One receive on a non-blocking datagram socket, storing who sent it. The count is the
// datagram's real length; with message_size it exceeds the buffer and the bytes are not whole.
template <class Socket>
size_t ReceiveDatagram(Socket& socket, const boost::asio::mutable_buffer& buffer,
                       typename Socket::endpoint_type& sender, boost::system::error_code& error) {
  const size_t length = socket.receive_from(buffer, sender, DatagramReceiveFlags(), error);
  error = CheckDatagramLength(error, length, buffer.size());
  return length;
}

// The same on a connected socket, which hears only its peer.
template <class Socket>
size_t ReceiveDatagram(Socket& socket, const boost::asio::mutable_buffer& buffer,
                       boost::system::error_code& error) {
  const size_t length = socket.receive(buffer, DatagramReceiveFlags(), error);
  error = CheckDatagramLength(error, length, buffer.size());
  return length;
}

// The asynchronous form: handler(error, length) with the same rule applied.
template <class Socket, class Handler>
void AsyncReceiveDatagram(Socket& socket, const boost::asio::mutable_buffer& buffer,
                          typename Socket::endpoint_type& sender, Handler handler) {
  socket.async_receive_from(buffer, sender, DatagramReceiveFlags(),
                            [handler = std::move(handler), capacity = buffer.size()](
                                const boost::system::error_code& error, size_t length) mutable {
                              handler(CheckDatagramLength(error, length, capacity), length);
                            });
}

}  // namespace platform
