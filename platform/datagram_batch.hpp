// Moving many datagrams per system call: every datagram waiting on a socket in one receive
// (recvmmsg), a queue of datagrams for one destination in one send (sendmmsg), and a receive
// buffer as large as the system lets a process ask. Both calls never block.
#pragma once

#include <boost/asio/buffer.hpp>
#include <boost/asio/ip/udp.hpp>
#include <boost/system/error_code.hpp>

#include <cstddef>

namespace platform {

// One place for a received datagram. `length` is the datagram's real length: above the
// buffer's size, the datagram did not fit and its bytes are not whole.
struct DatagramSlot {
  boost::asio::mutable_buffer buffer;
  boost::asio::ip::udp::endpoint sender;
  size_t length = 0;
};

// Fills up to `count` slots with the datagrams already waiting, in arrival order. Returns how
// many; 0 with would_block when none waits.
size_t ReceiveDatagrams(int socket, DatagramSlot* slots, size_t count,
                        boost::system::error_code& error);

// Sends the datagrams, in order, to one destination. Returns how many went; an error is
// reported only when the first did not (would_block: the socket's send buffer is full).
size_t SendDatagrams(int socket, const boost::asio::const_buffer* datagrams, size_t count,
                     const boost::asio::ip::udp::endpoint& destination,
                     boost::system::error_code& error);

// Asks the socket's receive buffer at the system's limit (net.core.rmem_max), so a burst
// waits in the kernel instead of being dropped. Returns the error of the request, if any.
boost::system::error_code WidenReceiveBuffer(int socket);

}  // namespace platform
