// Datagrams over loopback into an 8-byte buffer: one that fits arrives whole, one that does
// not is refused and consumed, so the next receive gets the next datagram.
#include <gtest/gtest.h>

#include <boost/asio/error.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/udp.hpp>

#include <array>
#include <string>

#include "platform/datagram_receive.hpp"

namespace {

namespace asio = boost::asio;
using asio::ip::udp;

constexpr size_t kCapacity = 8;

struct DatagramCase {
  size_t length;
  bool refused;
};
const DatagramCase kCases[] = {{0, false}, {1, false}, {8, false}, {9, true}, {1500, true}};

struct Pair {
  asio::io_context io;
  udp::socket receiver{io, udp::endpoint(asio::ip::make_address_v4("127.0.0.1"), 0)};
  udp::socket sender{io, udp::endpoint(asio::ip::make_address_v4("127.0.0.1"), 0)};
  std::array<char, kCapacity> buffer{};

  Pair() { receiver.non_blocking(true); }
  // The datagram of the case, then "next".
  void Send(size_t length) {
    const std::string bytes(length, 'x');
    sender.send_to(asio::buffer(bytes), receiver.local_endpoint());
    sender.send_to(asio::buffer(std::string("next")), receiver.local_endpoint());
    receiver.wait(udp::socket::wait_read);
  }
  std::string Received(size_t length) const { return std::string(buffer.data(), length); }
};

// The receive of the case's datagram, then of the one after it; at the end the socket is empty.
template <class Receive>
void WalkCases(Pair& pair, Receive receive, bool emptyAtEnd = true) {
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.length);
    pair.Send(c.length);
    boost::system::error_code error;
    const size_t length = receive(error);
    EXPECT_EQ(length, c.length);
    if (c.refused) {
      EXPECT_EQ(error, asio::error::message_size);
    } else {
      EXPECT_FALSE(error) << error.message();
      EXPECT_EQ(pair.Received(length), std::string(c.length, 'x'));
    }
    EXPECT_EQ(receive(error), 4u);
    EXPECT_FALSE(error) << error.message();
    EXPECT_EQ(pair.Received(4), "next");
  }
  if (!emptyAtEnd) return;
  boost::system::error_code error;
  receive(error);
  EXPECT_EQ(error, asio::error::would_block);
}

TEST(DatagramReceive, FromAnySender) {
  Pair pair;
  WalkCases(pair, [&](boost::system::error_code& error) {
    udp::endpoint from;
    const size_t length =
        platform::ReceiveDatagram(pair.receiver, asio::buffer(pair.buffer), from, error);
    if (error != asio::error::would_block) {
      EXPECT_EQ(from, pair.sender.local_endpoint());
    }
    return length;
  });
}

TEST(DatagramReceive, OnAConnectedSocket) {
  Pair pair;
  pair.receiver.connect(pair.sender.local_endpoint());
  WalkCases(pair, [&](boost::system::error_code& error) {
    return platform::ReceiveDatagram(pair.receiver, asio::buffer(pair.buffer), error);
  });
}

TEST(DatagramReceive, Asynchronously) {
  Pair pair;
  WalkCases(
      pair,
      [&](boost::system::error_code& error) {
        size_t length = 0;
        bool called = false;
        udp::endpoint from;
        platform::AsyncReceiveDatagram(pair.receiver, asio::buffer(pair.buffer), from,
                                       [&](const boost::system::error_code& got, size_t count) {
                                         error = got;
                                         length = count;
                                         called = true;
                                       });
        pair.io.restart();
        pair.io.run();
        EXPECT_TRUE(called);
        EXPECT_EQ(from, pair.sender.local_endpoint());
        return length;
      },
      false);
}

}  // namespace
