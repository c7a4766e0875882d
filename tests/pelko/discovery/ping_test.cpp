// The library's ping across real interfaces: the first peer answers as its kernel does, the
// second is silent (an echo responder there that answers nothing and notes what arrived). Each
// case runs once with the ICMP datagram socket allowed in this namespace and once without, when
// the raw socket stands in.
#include "discovery/ping.hpp"
#include "fakes/echo_responder.hpp"
#include "support/peer_namespaces.hpp"

#include <gtest/gtest.h>

#include <unistd.h>

#include <fstream>
#include <string>

namespace {

using namespace std::chrono_literals;
using orvan::fakes::EchoResponder;

constexpr const char* kPingGroups = "/proc/sys/net/ipv4/ping_group_range";

void WritePingGroups(const std::string& range) { std::ofstream(kPingGroups) << range << "\n"; }

// Whether this namespace lets every group open ICMP datagram sockets.
class PingTest : public testing::TestWithParam<bool> {
protected:
  void SetUp() override {
    peers = PeerNamespaces();
    ASSERT_EQ(peers.size(), 2u);
    WritePingGroups(GetParam() ? "0 2147483647" : "1 0");
  }
  void TearDown() override { WritePingGroups("1 0"); }

  // One echo through the asynchronous object, reporting which socket it used.
  int Echo(const std::string& address, bool& datagram) {
    int status = -1;
    auto echo = std::make_shared<orvan::IcmpEcho>(io);
    echo->Start(address, std::chrono::steady_clock::now() + orvan::IcmpEcho::kTimeout,
                [&](int outcome) { status = outcome; });
    while (status < 0) io.run_one();
    datagram = echo->UsesDatagramSocket();
    return status;
  }

  boost::asio::io_context io;
  std::vector<PeerNamespace> peers;
};

TEST_P(PingTest, AnAnsweringHostAnswersThroughTheSocketTheSystemAllows) {
  bool datagram = !GetParam();
  EXPECT_EQ(Echo(peers[0].links[0].peerAddress, datagram), orvan::kPingAnswered);
  EXPECT_EQ(datagram, GetParam());
  EXPECT_EQ(orvan::Ping(io, peers[0].links[0].peerAddress), orvan::kPingAnswered);
}

TEST_P(PingTest, ASilentHostTimesOutAfterOneEcho) {
  EchoResponder silent(peers[1].path, [](std::size_t) { return false; });
  const auto started = std::chrono::steady_clock::now();
  EXPECT_EQ(orvan::Ping(io, peers[1].links[0].peerAddress), orvan::kPingTimedOut);
  EXPECT_GE(std::chrono::steady_clock::now() - started, orvan::IcmpEcho::kTimeout);
  ASSERT_TRUE(silent.WaitForRequests(1, 5s));
  const auto requests = silent.Requests();
  ASSERT_EQ(requests.size(), 1u);
  // The server's pinger uses the process id: a raw echo of the library never does.
  if (!GetParam()) {
    EXPECT_EQ(requests[0].identifier, orvan::RawEchoIdentifier());
    EXPECT_NE(requests[0].identifier, static_cast<std::uint16_t>(getpid() & 0xFFFF));
  }
}

INSTANTIATE_TEST_SUITE_P(Sockets, PingTest, testing::Bool(),
                         [](const auto& info) { return info.param ? "Datagram" : "Raw"; });

}  // namespace
