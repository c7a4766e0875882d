// The flag and the length rule of datagram receives.
#include "platform/datagram_receive.hpp"

#include <sys/socket.h>

#include <boost/asio/error.hpp>

namespace platform {

boost::asio::socket_base::message_flags DatagramReceiveFlags() { return MSG_TRUNC; }

boost::system::error_code CheckDatagramLength(const boost::system::error_code& error, size_t length,
                                              size_t capacity) {
  if (!error && length > capacity) return boost::asio::error::message_size;
  return error;
}

}  // namespace platform
