// Discovery across real interfaces: the discovery runs in the test's namespace, two peers
// stand for hosts on its network, each joined by two links. Controller stand-ins in the peers
// answer the multicast query. The first peer answers pings as its kernel does; the second is
// silent (an echo responder there answers nothing and notes each echo that arrives).
#include "discovery/network_addresses.hpp"
#include "fakes/controller_discovery_front_end.hpp"
#include "fakes/echo_responder.hpp"
#include "support/peer_namespaces.hpp"

#include <gtest/gtest.h>

#include <boost/asio/buffer.hpp>
#include <boost/asio/post.hpp>

#include <algorithm>
#include <cstdlib>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace {

namespace asio = boost::asio;
using asio::ip::udp;
using namespace std::chrono_literals;
using orvan::fakes::EchoResponder;

// Generous windows, so stand-ins that a loaded machine wakes late still answer within them.
constexpr auto kWindow = 1500ms;
constexpr auto kLate = kWindow + 1500ms;

// An answer datagram: the text and the three bytes that end every answer.
std::string Answer(const std::string& text) { return text + "\r\n:"; }

// A controller stand-in on the discovery group of one interface of a peer: on the first query
// it waits `delay`, then sends each answer from the source address given with it (the
// interface's own address when empty).
class Responder {
public:
  struct Reply {
    std::string from;
    std::string datagram;
  };

  Responder(const PeerNamespace& peer, const std::string& interfaceAddress,
            std::vector<Reply> replies, std::chrono::milliseconds delay = 0ms)
      : replies(std::move(replies)) {
    InPeer(peer, [&] {
      group.emplace(orvan::fakes::JoinDiscoveryGroup(io, interfaceAddress));
      for (const auto& reply : this->replies) {
        const auto from = reply.from.empty() ? interfaceAddress : reply.from;
        senders.emplace_back(io, udp::endpoint(asio::ip::make_address_v4(from), 0));
      }
    });
    server = std::thread([this, delay] { Serve(delay); });
  }
  ~Responder() {
    // Ends a receive that no query came to, on the thread that runs the socket.
    asio::post(io, [this] { group->cancel(); });
    server.join();
  }

private:
  void Serve(std::chrono::milliseconds delay) {
    std::array<char, 512> buffer{};
    udp::endpoint asker;
    bool queried = false;
    group->async_receive_from(
        asio::buffer(buffer), asker,
        [&](const boost::system::error_code& error, std::size_t) { queried = !error; });
    io.run_for(30s);
    if (!queried) return;
    std::this_thread::sleep_for(delay);  // the lateness under test
    for (std::size_t i = 0; i < replies.size(); ++i) {
      senders[i].send_to(asio::buffer(replies[i].datagram), asker);
      if (i % 16 == 15) std::this_thread::sleep_for(1ms);  // pacing for the asker's buffer
    }
  }

  asio::io_context io;
  std::optional<udp::socket> group;
  std::vector<udp::socket> senders;
  std::vector<Reply> replies;
  std::thread server;
};

class NetworkAddressesTest : public testing::Test {
protected:
  void SetUp() override {
    peers = PeerNamespaces();
    ASSERT_EQ(peers.size(), 2u);
    for (const auto& peer : peers) ASSERT_EQ(peer.links.size(), 2u);
  }

  std::vector<std::string> Discover() {
    std::vector<std::string> lines;
    std::make_shared<orvan::NetworkAddresses>(io, kWindow)->Discover(lines);
    return lines;
  }

  static std::string Listed(const PeerLink& link, const std::string& text, bool answered,
                            const std::string& from = "") {
    const auto address = from.empty() ? link.peerAddress : from;
    return (answered ? address + " -d" : "(" + address + ")") + ", " + text + ", " +
           link.localInterface + ", " + link.localAddress;
  }

  // Further addresses of the silent peer on its first link: 10.99.3.10 and up.
  std::vector<std::string> AddSilentAddresses(int count) {
    std::vector<std::string> addresses;
    for (int i = 0; i < count; ++i) {
      addresses.push_back("10.99.3." + std::to_string(10 + i));
      const auto command = "ip -n " + peers[1].name + " addr replace " + addresses.back() +
                           "/24 dev " + peers[1].links[0].peerInterface;
      EXPECT_EQ(std::system(command.c_str()), 0) << command;
    }
    return addresses;
  }

  asio::io_context io;
  std::vector<PeerNamespace> peers;
};

TEST_F(NetworkAddressesTest, ListsEachAnswerPerInterfaceAndMarksTheSilentOnes) {
  EchoResponder silent(peers[1].path, [](std::size_t) { return false; });
  const PeerLink& first = peers[0].links[0];
  const PeerLink& second = peers[0].links[1];
  const PeerLink& quiet = peers[1].links[0];
  Responder onFirst(peers[0], first.peerAddress, {{"", Answer("VKT4140 Rev 1.0b")}});
  Responder onSecond(peers[0], second.peerAddress, {{"", Answer("VKT4140 Rev 1.0b")}});
  Responder unpinged(peers[1], quiet.peerAddress,
                     {{"", Answer("A~B\\C\x01"
                                  "D")}});
  Responder late(peers[1], peers[1].links[1].peerAddress, {{"", Answer("late")}}, kLate);

  auto lines = Discover();
  std::sort(lines.begin(), lines.end());
  EXPECT_EQ(lines, (std::vector<std::string>{Listed(quiet, "A?B?C?D", false),
                                             Listed(first, "VKT4140 Rev 1.0b", true),
                                             Listed(second, "VKT4140 Rev 1.0b", true)}));
  ASSERT_TRUE(silent.WaitForRequests(1, 5s));
  EXPECT_EQ(silent.Requests().size(), 1u);
}

TEST_F(NetworkAddressesTest, PingsEachSilentSenderOnceAndAllAtOnce) {
  EchoResponder silent(peers[1].path, [](std::size_t) { return false; });
  constexpr int kSenders = 20;
  const auto addresses = AddSilentAddresses(kSenders);
  std::vector<Responder::Reply> replies;
  for (int round = 0; round < 2; ++round) {
    for (const auto& address : addresses) replies.push_back({address, Answer("E")});
  }
  const PeerLink& quiet = peers[1].links[0];
  Responder many(peers[1], quiet.peerAddress, replies);

  const auto started = std::chrono::steady_clock::now();
  auto lines = Discover();
  const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(
      std::chrono::steady_clock::now() - started);

  std::vector<std::string> expected;
  for (const auto& address : addresses) {
    for (int round = 0; round < 2; ++round) expected.push_back(Listed(quiet, "E", false, address));
  }
  std::sort(lines.begin(), lines.end());
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(lines, expected);
  // One after the other, the pings alone would take 20 s (40 s with a ping per answer).
  EXPECT_LT(took.count(), std::chrono::milliseconds(kWindow + 8s).count());
  ASSERT_TRUE(silent.WaitForRequests(kSenders, 5s));
  EXPECT_EQ(silent.Requests().size(), static_cast<std::size_t>(kSenders));
}

TEST_F(NetworkAddressesTest, KeepsAtMost256Answers) {
  const PeerLink& first = peers[0].links[0];
  Responder chatty(peers[0], first.peerAddress,
                   std::vector<Responder::Reply>(300, {"", Answer("VKT4140 Rev 1.0b")}));
  const auto lines = Discover();
  EXPECT_EQ(lines, std::vector<std::string>(orvan::NetworkAddresses::kMaxReplies,
                                            Listed(first, "VKT4140 Rev 1.0b", true)));
}

}  // namespace
