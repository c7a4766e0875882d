// The server's hardware search across real interfaces: the server runs in the test's namespace,
// two peers stand for the hosts of the network, each joined by two links. Fake controllers in
// the peers answer the multicast query; a client asks with "r -s" and reads the list with "r".
#include "fakes/controller_discovery_front_end.hpp"
#include "fakes/controller_process.hpp"
#include "protocol/discovery.hpp"
#include "services/resource_lister.hpp"
#include "support/peer_namespaces.hpp"
#include "support/temporary_device_root.hpp"
#include "support/test_support.hpp"

#include <gtest/gtest.h>

#include <boost/asio/buffer.hpp>

#include <algorithm>
#include <array>
#include <optional>
#include <string>
#include <vector>

namespace {

namespace asio = boost::asio;
using asio::ip::udp;
using orvan::fakes::ControllerProcess;

// Long enough for the search's window to have closed.
constexpr auto kPastTheWindow = ResourceLister::kSearchTime + 300ms;

// The lines of one shell answer without its terminator.
std::vector<std::string> Lines(std::string answer) {
  std::vector<std::string> lines;
  if (answer.empty() || answer.back() != '~') return {"(no answer: " + answer + ")"};
  answer.pop_back();
  for (size_t start = 0; start < answer.size();) {
    const size_t end = answer.find("\r\n", start);
    lines.push_back(answer.substr(start, end - start));
    if (end == std::string::npos) break;
    start = end + 2;
  }
  return lines;
}

// The line of the answer that reached the server through that link.
std::string Line(const PeerLink& link, const std::string& text) {
  return link.peerAddress + ", " + text + ", " + link.localAddress + ", " + link.localInterface;
}

// A controller stand-in inside a peer, on the discovery group of one of its interfaces: it
// receives the queries one by one and answers with whatever datagrams a test gives it.
class Responder {
public:
  Responder(const PeerNamespace& peer, const std::string& interfaceAddress) {
    InPeer(peer, [&] { socket.emplace(orvan::fakes::JoinDiscoveryGroup(io, interfaceAddress)); });
  }
  // The next query, or nothing within the timeout.
  std::optional<std::string> NextQuery(std::chrono::milliseconds timeout) {
    std::optional<std::string> query;
    socket->async_receive_from(asio::buffer(buffer), asker,
                               [&](const boost::system::error_code& error, size_t count) {
                                 if (!error) query = std::string(buffer.data(), count);
                               });
    io.restart();
    if (io.run_for(timeout) == 0) {
      socket->cancel();
      io.restart();
      io.run();
    }
    return query;
  }
  // To the sender of the last query; paced, so the asker's receive buffer never overflows.
  void Answer(const std::vector<std::string>& datagrams) {
    for (size_t i = 0; i < datagrams.size(); ++i) {
      socket->send_to(asio::buffer(datagrams[i]), asker);
      if (i % 16 == 15) std::this_thread::sleep_for(1ms);
    }
  }

private:
  asio::io_context io;
  std::optional<udp::socket> socket;
  std::array<char, 512> buffer{};
  udp::endpoint asker;
};

class SearchEndToEnd : public testing::Test {
protected:
  static void SetUpTestSuite() { WriteCertificate(UseFreshDataFolder(), "search"); }

  void SetUp() override {
    peers = PeerNamespaces();
    ASSERT_EQ(peers.size(), 2u);
    for (const auto& peer : peers) ASSERT_EQ(peer.links.size(), 2u);
    client = std::make_unique<TlsClient>();
    ASSERT_TRUE(client->Connect());
    ASSERT_TRUE(client->Handshake());
  }

  // The fake controller program inside a peer, answering on the given links' interfaces.
  static std::unique_ptr<ControllerProcess> StartController(const PeerNamespace& peer,
                                                            const std::vector<size_t>& links,
                                                            const std::string& identity) {
    std::vector<std::string> arguments{
        "--address", peer.links[0].peerAddress, "--p1", "23", "--p2", "60007", "--identity",
        identity};
    for (size_t link : links) {
      arguments.push_back("--discovery");
      arguments.push_back(peer.links[link].peerAddress);
    }
    const auto command = InPeerCommand(peer, ORVAN_FAKE_CONTROLLER, arguments);
    return std::make_unique<ControllerProcess>(
        command.front(), std::vector<std::string>(command.begin() + 1, command.end()));
  }

  std::string Shell(const std::string& line) {
    if (!client->Send(line + "\r")) return "";
    return client->ReadThrough("~\\");
  }

  // An empty device tree: the host's own serial ports stay out of the answers.
  TemporaryDeviceRoot devices;
  std::vector<PeerNamespace> peers;
  RunningServer running;
  std::unique_ptr<TlsClient> client;
};

TEST_F(SearchEndToEnd, ListsEachControllerOncePerInterfaceWithItsTextMadeSafe) {
  // The first controller is reached on both links of its host; the second on one only, and its
  // answer holds both shell terminators and a line end.
  const auto first = StartController(peers[0], {0, 1}, "VKT4140 Rev 1.0b");
  const auto second = StartController(peers[1], {0}, "A~B\\C\r\nD");

  ASSERT_EQ(Shell("r -s"), "~");
  std::this_thread::sleep_for(kPastTheWindow);
  auto lines = Lines(Shell("r"));
  std::sort(lines.begin(), lines.end());
  EXPECT_EQ(lines, (std::vector<std::string>{Line(peers[0].links[0], "VKT4140 Rev 1.0b"),
                                             Line(peers[0].links[1], "VKT4140 Rev 1.0b"),
                                             Line(peers[1].links[0], "A?B?C??D")}));
}

TEST_F(SearchEndToEnd, ASearchAskedForWithinTheWindowStartsNothingNew) {
  Responder responder(peers[1], peers[1].links[1].peerAddress);
  // Both requests in one write, so the second surely comes while the first search runs.
  ASSERT_TRUE(client->Send("r -s\rr -s\r"));
  EXPECT_EQ(client->ReadThrough("~\\"), "~");
  EXPECT_EQ(client->ReadThrough("~\\"), "~");

  const auto query = responder.NextQuery(5s);
  ASSERT_TRUE(query);
  const auto& expected = orvan::protocol::DiscoveryQuery();
  EXPECT_EQ(*query, std::string(expected.begin(), expected.end()));
  responder.Answer({"VKT4140 Rev 1.0b\r\n:", ":"});
  EXPECT_FALSE(responder.NextQuery(kPastTheWindow));

  // The results stay until the next search starts.
  const std::string listing = Line(peers[1].links[1], "VKT4140 Rev 1.0b") + "\r\n~";
  EXPECT_EQ(Shell("r"), listing);
  EXPECT_EQ(Shell("r"), listing);
  ASSERT_EQ(Shell("r -s"), "~");
  EXPECT_TRUE(responder.NextQuery(5s));
}

TEST_F(SearchEndToEnd, OneSearchKeepsAtMost256Answers) {
  Responder responder(peers[0], peers[0].links[0].peerAddress);
  ASSERT_EQ(Shell("r -s"), "~");
  ASSERT_TRUE(responder.NextQuery(5s));
  std::vector<std::string> answers;
  for (int i = 0; i < 300; ++i) answers.push_back("unit " + std::to_string(i) + "\r\n:");
  responder.Answer(answers);
  std::this_thread::sleep_for(kPastTheWindow);

  const auto lines = Lines(Shell("r"));
  ASSERT_EQ(lines.size(), ResourceLister::kMaxReplies);
  EXPECT_EQ(lines.front(), Line(peers[0].links[0], "unit 0"));
  EXPECT_EQ(lines.back(), Line(peers[0].links[0], "unit 255"));
}

}  // namespace
