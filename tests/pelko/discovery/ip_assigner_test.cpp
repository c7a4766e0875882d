// Direct IP assignment across a real interface: the assignment runs in the test's namespace and
// a socket on port 68 in the peer stands for the controller waiting for its address.
#include "discovery/ip_assigner.hpp"
#include "core/orvan_error.hpp"
#include "support/peer_udp_socket.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using namespace std::chrono_literals;
using Bytes = PeerUdpSocket::Bytes;

// The controller's reply written out field by field: 300 bytes, op 2, Ethernet, the fixed xid,
// the address, the MAC, the magic cookie, zeros elsewhere (no options, no end option).
Bytes AssignmentFor(const std::array<std::uint8_t, 6>& mac,
                    const std::array<std::uint8_t, 4>& address) {
  Bytes bytes(300, 0);
  bytes[0] = 2, bytes[1] = 1, bytes[2] = 6;
  bytes[4] = 0x4C, bytes[5] = 0x20, bytes[6] = 0x14, bytes[7] = 0x21;
  for (int i = 0; i < 4; ++i) bytes[16 + i] = address[i];
  for (int i = 0; i < 6; ++i) bytes[28 + i] = mac[i];
  bytes[236] = 0x63, bytes[237] = 0x82, bytes[238] = 0x53, bytes[239] = 0x63;
  return bytes;
}

class IpAssignerTest : public testing::Test {
protected:
  void SetUp() override {
    peers = PeerNamespaces();
    ASSERT_EQ(peers.size(), 1u);
    ASSERT_EQ(peers[0].links.size(), 2u);
    link = peers[0].links[0];
    controller = std::make_unique<PeerUdpSocket>(peers[0], link.peerInterface, 68);
    other = std::make_unique<PeerUdpSocket>(peers[0], peers[0].links[1].peerInterface, 68);
  }

  void Assign(const std::string& mac, const std::string& ip) {
    std::make_shared<orvan::IpAssigner>(io)->Assign(mac, ip);
  }

  boost::asio::io_context io;
  std::vector<PeerNamespace> peers;
  PeerLink link;
  std::unique_ptr<PeerUdpSocket> controller;
  std::unique_ptr<PeerUdpSocket> other;  // on the peer's second link
};

TEST_F(IpAssignerTest, EachInterfaceBroadcastsOneCopyFromItsOwnAddress) {
  const Bytes expected = AssignmentFor({0x02, 0x6D, 0x41, 0x08, 0x00, 0x2A}, {10, 99, 2, 50});
  Assign("02:6D:41:08:00:2A", "10.99.2.50");
  for (auto [socket, from] : {std::pair{controller.get(), link.localAddress},
                              std::pair{other.get(), peers[0].links[1].localAddress}}) {
    const auto received = socket->Next(5s);
    ASSERT_TRUE(received) << from;
    EXPECT_EQ(*received, expected);
    // A copy sent through the wrong interface would leave the other link without one.
    EXPECT_EQ(socket->sender.address().to_string(), from);
  }
}

TEST_F(IpAssignerTest, EitherSpellingBroadcastsTheSamePacketFromTheInterfaceAddress) {
  const Bytes expected = AssignmentFor({0x02, 0x6D, 0x41, 0x01, 0x02, 0x03}, {192, 168, 1, 10});
  const std::pair<const char*, const char*> spellings[] = {
      {"2:6d:41:1:2:3", "192.168.1.10"},
      {"02-6D-41-01-02-03", "192,168,1,10"},
      {"02:6D:41:01:02:03", "0300.0xA8.1.012"},
  };
  for (const auto& [mac, ip] : spellings) {
    Assign(mac, ip);
    const auto received = controller->Next(5s);
    ASSERT_TRUE(received) << mac << " " << ip;
    EXPECT_EQ(*received, expected) << mac << " " << ip;
    EXPECT_EQ(controller->sender.address().to_string(), link.localAddress);
    EXPECT_NE(controller->sender.port(), 67);
  }
}

TEST_F(IpAssignerTest, TextThatDoesNotReadSendsNothingAndFails) {
  const std::pair<const char*, const char*> refused[] = {
      {"02:6D:41:01:02", "192.168.1.10"},  // five bytes
      {"02:6D:41:01:02:0G", "192.168.1.10"},
      {"", "192.168.1.10"},
      {"02:6D:41:01:02:03", "192.168.1"},
      {"02:6D:41:01:02:03", "192.168.1.ten"},
      {"02:6D:41:01:02:03", ""},
  };
  for (const auto& [mac, ip] : refused) {
    try {
      Assign(mac, ip);
      ADD_FAILURE() << "accepted " << mac << " " << ip;
    } catch (const orvan::OrvanError& error) {
      EXPECT_EQ(error.Code(), -10002) << mac << " " << ip;
    }
  }
  // What arrives first is the one assignment that was valid: the refused ones sent nothing.
  Assign("02:6D:41:01:02:04", "10.0.0.9");
  const auto received = controller->Next(5s);
  ASSERT_TRUE(received);
  EXPECT_EQ(*received, AssignmentFor({0x02, 0x6D, 0x41, 0x01, 0x02, 0x04}, {10, 0, 0, 9}));
}

}  // namespace
