// Many datagrams per call over loopback: a receive takes every waiting datagram in order with
// its sender and real length, a send delivers a queue in order, and the receive buffer grows
// to the system's limit.
#include <gtest/gtest.h>

#include <sys/socket.h>

#include <boost/asio/error.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/udp.hpp>

#include <array>
#include <fstream>
#include <string>
#include <vector>

#include "platform/datagram_batch.hpp"

namespace {

namespace asio = boost::asio;
using asio::ip::udp;

struct Sockets {
  asio::io_context io;
  udp::socket receiver{io, udp::endpoint(asio::ip::make_address_v4("127.0.0.1"), 0)};
  udp::socket sender{io, udp::endpoint(asio::ip::make_address_v4("127.0.0.1"), 0)};
  std::array<std::array<char, 8>, 4> buffers{};
  std::array<platform::DatagramSlot, 4> slots{};

  Sockets() {
    for (size_t i = 0; i < slots.size(); ++i) slots[i].buffer = asio::buffer(buffers[i]);
  }
  size_t Receive(boost::system::error_code& error) {
    return platform::ReceiveDatagrams(receiver.native_handle(), slots.data(), slots.size(), error);
  }
};

TEST(DatagramBatch, ReceiveTakesWhatWaitsInOrderWithSendersAndRealLengths) {
  Sockets s;
  boost::system::error_code error;
  EXPECT_EQ(s.Receive(error), 0u);
  EXPECT_EQ(error, asio::error::would_block);

  // Six waiting, four places: the first call fills them all, the second takes the rest.
  const std::vector<std::string> sent = {"a", "", "12345678", std::string(20, 'x'), "e", "f"};
  for (const auto& bytes : sent) s.sender.send_to(asio::buffer(bytes), s.receiver.local_endpoint());
  s.receiver.wait(udp::socket::wait_read);
  ASSERT_EQ(s.Receive(error), 4u);
  EXPECT_FALSE(error) << error.message();
  for (size_t i = 0; i < 4; ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(s.slots[i].length, sent[i].size());  // 20: more than the place holds
    EXPECT_EQ(s.slots[i].sender, s.sender.local_endpoint());
    if (sent[i].size() <= 8)
      EXPECT_EQ(std::string(s.buffers[i].data(), s.slots[i].length), sent[i]);
  }
  ASSERT_EQ(s.Receive(error), 2u);
  EXPECT_EQ(std::string(s.buffers[0].data(), s.slots[0].length), "e");
  EXPECT_EQ(std::string(s.buffers[1].data(), s.slots[1].length), "f");
  EXPECT_EQ(s.Receive(error), 0u);
  EXPECT_EQ(error, asio::error::would_block);
}

TEST(DatagramBatch, SendDeliversAQueueInOrder) {
  Sockets s;
  std::vector<std::string> queue;
  for (int i = 0; i < 40; ++i) queue.push_back("datagram " + std::to_string(i));
  std::vector<asio::const_buffer> datagrams;
  for (const auto& bytes : queue) datagrams.push_back(asio::buffer(bytes));
  boost::system::error_code error;
  const size_t sent = platform::SendDatagrams(s.sender.native_handle(), datagrams.data(),
                                              datagrams.size(), s.receiver.local_endpoint(), error);
  EXPECT_FALSE(error) << error.message();
  ASSERT_EQ(sent, queue.size());
  std::array<char, 64> bytes{};
  for (const auto& expected : queue) {
    udp::endpoint from;
    const size_t length = s.receiver.receive_from(asio::buffer(bytes), from);
    EXPECT_EQ(std::string(bytes.data(), length), expected);
    EXPECT_EQ(from, s.sender.local_endpoint());
  }
}

TEST(DatagramBatch, SendToNowhereFailsWithoutSending) {
  Sockets s;
  const std::string bytes = "x";
  const asio::const_buffer datagram = asio::buffer(bytes);
  boost::system::error_code error;
  EXPECT_EQ(
      platform::SendDatagrams(s.sender.native_handle(), &datagram, 1,
                              udp::endpoint(asio::ip::make_address_v4("127.0.0.1"), 0), error),
      0u);
  EXPECT_TRUE(error);
}

TEST(DatagramBatch, ReceiveBufferGrowsToTheSystemLimit) {
  long limit = 0;
  std::ifstream("/proc/sys/net/core/rmem_max") >> limit;
  ASSERT_GT(limit, 0);
  Sockets s;
  EXPECT_FALSE(platform::WidenReceiveBuffer(s.receiver.native_handle()));
  int size = 0;
  socklen_t length = sizeof size;
  ASSERT_EQ(getsockopt(s.receiver.native_handle(), SOL_SOCKET, SO_RCVBUF, &size, &length), 0);
  EXPECT_GE(size, limit);  // the kernel reports twice what it was asked, for its bookkeeping
}

}  // namespace
