// The BOOTP listener across a real interface: it listens in the test's namespace while a socket
// on port 68 in the peer broadcasts controllers' requests, over and over until the listen ends.
#include "discovery/no_ip_listener.hpp"
#include "support/bootp_packets.hpp"
#include "support/peer_udp_socket.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;
using bootp_packets::Mac;
using Bytes = PeerUdpSocket::Bytes;

class NoIpListenerTest : public testing::Test {
protected:
  void SetUp() override {
    peers = PeerNamespaces();
    ASSERT_EQ(peers.size(), 1u);
    link = peers[0].links.at(0);
  }

  // Listens for `time` while the peer repeats `requests`, paced so no receive buffer overflows.
  std::vector<std::string> ListenWhileSending(const std::vector<Bytes>& requests,
                                              std::chrono::milliseconds time) {
    PeerUdpSocket controllers(peers[0], link.peerInterface, 68);
    std::atomic<bool> listening{true};
    std::thread sender([&] {
      while (listening) {
        for (std::size_t i = 0; i < requests.size() && listening; ++i) {
          controllers.Broadcast(requests[i], 67);
          if (i % 16 == 15) std::this_thread::sleep_for(1ms);
        }
        std::this_thread::sleep_for(10ms);  // a pause between rounds, not a wait for an event
      }
    });
    const auto lines = std::make_shared<orvan::NoIpListener>(io, time)->Listen();
    listening = false;
    sender.join();
    return lines;
  }

  std::string Line(const std::string& model, int serial, const std::string& mac) {
    return model + ", " + std::to_string(serial) + ", " + mac + ", " + link.localInterface + ", " +
           link.localAddress;
  }

  boost::asio::io_context io;
  std::vector<PeerNamespace> peers;
  PeerLink link;
};

TEST_F(NoIpListenerTest, ListsEachControllerOnceInMacOrder) {
  const std::vector<Bytes> requests{
      bootp_packets::Request({0x02, 0x6D, 0x41, 0x58, 0x00, 0x07}, 0, 1),
      bootp_packets::Request({0x02, 0x6D, 0x41, 0x08, 0x01, 0x02}, 0, 2),
      bootp_packets::Request({0x02, 0x6D, 0x41, 0x09, 0x00, 0x05}, 1, 3, 316),
      bootp_packets::Request({0x02, 0x6D, 0x41, 0x10, 0x00, 0x01}, 0, 4, 301),  // no request
      bootp_packets::Request({0x02, 0x6D, 0x42, 0x10, 0x00, 0x02}, 0, 5),       // another maker
      bootp_packets::Request({0x02, 0x6D, 0x41, 0x10, 0x00, 0x03}, 0, 6, 600),  // cut to 512
  };
  EXPECT_EQ(ListenWhileSending(requests, 1500ms),
            (std::vector<std::string>{
                Line("Orvan E200 Motion Controller", 258, "02:6D:41:08:01:02"),
                Line("Orvan Ethernet Controller", 5, "02:6D:41:09:00:05"),
                Line("Orvan Ethernet Controller", 7, "02:6D:41:58:00:07"),
            }));
}

TEST_F(NoIpListenerTest, KeepsAtMost1024Controllers) {
  std::vector<Bytes> requests;
  for (int i = 0; i < 1100; ++i) {
    requests.push_back(bootp_packets::Request(
        {0x02, 0x6D, 0x41, 0x00, static_cast<std::uint8_t>(i >> 8), static_cast<std::uint8_t>(i)},
        0, static_cast<std::uint32_t>(i)));
  }
  const auto lines = ListenWhileSending(requests, 3000ms);
  EXPECT_EQ(lines.size(), orvan::NoIpListener::kMaxEntries);
}

}  // namespace
