// recvmmsg and sendmmsg with MSG_DONTWAIT, and the receive buffer at net.core.rmem_max.
#include "platform/datagram_batch.hpp"

#include <sys/socket.h>

#include <boost/asio/error.hpp>

#include <array>
#include <cerrno>
#include <climits>
#include <cstring>
#include <fstream>

namespace platform {

namespace {

// Enough for a burst of records, small enough to live on the stack.
constexpr size_t kMaxBatch = 64;

boost::system::error_code LastError() { return {errno, boost::system::system_category()}; }

}  // namespace

size_t ReceiveDatagrams(int socket, DatagramSlot* slots, size_t count,
                        boost::system::error_code& error) {
  error.clear();
  if (count > kMaxBatch) count = kMaxBatch;
  std::array<mmsghdr, kMaxBatch> headers{};
  std::array<iovec, kMaxBatch> pieces{};
  for (size_t i = 0; i < count; ++i) {
    pieces[i] = {slots[i].buffer.data(), slots[i].buffer.size()};
    auto& header = headers[i].msg_hdr;
    header.msg_name = slots[i].sender.data();
    header.msg_namelen = static_cast<socklen_t>(slots[i].sender.capacity());
    header.msg_iov = &pieces[i];
    header.msg_iovlen = 1;
  }
  int received;
  do {
    // MSG_TRUNC: each length is the datagram's own, so one cut short shows.
    received = recvmmsg(socket, headers.data(), static_cast<unsigned>(count),
                        MSG_DONTWAIT | MSG_TRUNC, nullptr);
  } while (received < 0 && errno == EINTR);
  if (received < 0) {
    error = (errno == EAGAIN || errno == EWOULDBLOCK)
                ? boost::system::error_code(boost::asio::error::would_block)
                : LastError();
    return 0;
  }
  for (int i = 0; i < received; ++i) {
    slots[i].length = headers[i].msg_len;
    slots[i].sender.resize(headers[i].msg_hdr.msg_namelen);
  }
  return static_cast<size_t>(received);
}

size_t SendDatagrams(int socket, const boost::asio::const_buffer* datagrams, size_t count,
                     const boost::asio::ip::udp::endpoint& destination,
                     boost::system::error_code& error) {
  error.clear();
  if (count > kMaxBatch) count = kMaxBatch;
  std::array<mmsghdr, kMaxBatch> headers{};
  std::array<iovec, kMaxBatch> pieces{};
  for (size_t i = 0; i < count; ++i) {
    pieces[i] = {const_cast<void*>(datagrams[i].data()), datagrams[i].size()};
    auto& header = headers[i].msg_hdr;
    header.msg_name = const_cast<sockaddr*>(destination.data());
    header.msg_namelen = static_cast<socklen_t>(destination.size());
    header.msg_iov = &pieces[i];
    header.msg_iovlen = 1;
  }
  int sent;
  do {
    sent = sendmmsg(socket, headers.data(), static_cast<unsigned>(count), MSG_DONTWAIT);
  } while (sent < 0 && errno == EINTR);
  if (sent < 0) {
    error = (errno == EAGAIN || errno == EWOULDBLOCK)
                ? boost::system::error_code(boost::asio::error::would_block)
                : LastError();
    return 0;
  }
  return static_cast<size_t>(sent);
}

boost::system::error_code WidenReceiveBuffer(int socket) {
  long largest = 0;
  std::ifstream limit("/proc/sys/net/core/rmem_max");
  if (!(limit >> largest) || largest <= 0) return boost::asio::error::operation_not_supported;
  const int size = largest > INT_MAX ? INT_MAX : static_cast<int>(largest);
  if (setsockopt(socket, SOL_SOCKET, SO_RCVBUF, &size, sizeof size) != 0) return LastError();
  return {};
}

}  // namespace platform
