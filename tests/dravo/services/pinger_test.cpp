// The shell's ping across real interfaces: the server runs in the test's namespace and pings
// two peer hosts over their links. A peer answers as its kernel does, or as an echo responder
// there tells it (answering some requests, none, and noting when each arrived).
#include "services/pinger.hpp"
#include "fakes/echo_responder.hpp"
#include "services/running_pingers.hpp"
#include "support/peer_namespaces.hpp"
#include "support/test_support.hpp"

#include <gtest/gtest.h>

#include <unistd.h>

#include <regex>
#include <string>
#include <vector>

namespace {

using orvan::fakes::EchoResponder;

const auto kAll = [](size_t) { return true; };
const auto kNone = [](size_t) { return false; };

// Long enough for any number of echoes here on a loaded machine.
constexpr auto kPingsDone = 20s;

class PingTest : public testing::Test {
protected:
  static void SetUpTestSuite() { WriteCertificate(UseFreshDataFolder(), "ping"); }

  void SetUp() override {
    peers = PeerNamespaces();
    ASSERT_EQ(peers.size(), 2u);
    first = peers[0].links.at(0).peerAddress;
    second = peers[1].links.at(0).peerAddress;
    client = Connected();
  }

  static std::unique_ptr<TlsClient> Connected() {
    auto made = std::make_unique<TlsClient>();
    EXPECT_TRUE(made->Connect());
    EXPECT_TRUE(made->Handshake());
    return made;
  }

  // What the client gets up to the next terminator.
  static std::string Answer(TlsClient& to, const std::string& line) {
    if (!to.Send(line + "\r")) return "(not sent)";
    return to.ReadThrough("~\\", kPingsDone);
  }

  static std::string Reply(const std::string& address, int sequence) {
    return "28 bytes from " + address + ": icmp_seq=" + std::to_string(sequence) +
           ", ttl=64, time=[0-9]+ ms\r\n";
  }

  size_t Running() {
    return running.OnLoop([this] { return running.server->Pingers().Running(); });
  }
  bool WaitNoneRunning(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (Running() != 0) {
      if (std::chrono::steady_clock::now() > deadline) return false;
      std::this_thread::sleep_for(10ms);
    }
    return true;
  }

  std::vector<PeerNamespace> peers;
  std::string first, second;
  RunningServer running;
  std::unique_ptr<TlsClient> client;
};

TEST_F(PingTest, ThreeAnsweredEchoesGiveThreeLinesOneSecondApart) {
  EchoResponder responder(peers[0].path, kAll);
  const std::string answer = Answer(*client, "ping " + first + " --count 3");
  EXPECT_TRUE(std::regex_match(
      answer, std::regex(Reply(first, 1) + Reply(first, 2) + Reply(first, 3) + "~")))
      << answer;

  const auto echoes = responder.Requests();
  ASSERT_EQ(echoes.size(), 3u);
  for (size_t i = 0; i < echoes.size(); ++i) {
    EXPECT_EQ(echoes[i].identifier, getpid() & 0xFFFF);
    EXPECT_EQ(echoes[i].sequence, i + 1);
    // The next echo waits out the second the last one had, answered or not.
    if (i > 0) {
      EXPECT_GE(echoes[i].arrived - echoes[i - 1].arrived, 950ms) << i;
    }
  }
  EXPECT_TRUE(WaitNoneRunning(5s));
}

TEST_F(PingTest, UnansweredEchoes) {
  struct Case {
    const char* name;
    std::string command;
    EchoResponder::Policy answered;
    std::string answer;  // a regular expression
    std::string lastError;
  };
  const std::vector<Case> cases = {
      {"one echo, silent", "ping " + first, kNone, "\\\\", "Request timed out\r\n~"},
      {"the first of two silent", "ping -a " + first + " -c 2",
       [](size_t index) { return index == 1; }, "Request timed out\r\n" + Reply(first, 2) + "~",
       "~"},
      {"the second of two silent", "ping " + first + " -c 2",
       [](size_t index) { return index == 0; }, Reply(first, 1) + "\\\\", "Request timed out\r\n~"},
      {"a count of 0 is one echo", "ping " + first + " -c 0", kNone, "\\\\",
       "Request timed out\r\n~"},
      {"so is the lowest count", "ping " + first + " --count=-2147483648", kNone, "\\\\",
       "Request timed out\r\n~"},
  };
  for (const auto& c : cases) {
    EchoResponder responder(peers[0].path, c.answered);
    const auto started = std::chrono::steady_clock::now();
    const std::string answer = Answer(*client, c.command);
    EXPECT_TRUE(std::regex_match(answer, std::regex(c.answer))) << c.name << ": " << answer;
    // A silent echo is given up only after its second.
    EXPECT_GE(std::chrono::steady_clock::now() - started, 900ms) << c.name;
    EXPECT_EQ(Answer(*client, "te"), c.lastError) << c.name;
    EXPECT_TRUE(WaitNoneRunning(5s)) << c.name;
  }
}

TEST_F(PingTest, AnUnresolvableNameFails) {
  EXPECT_EQ(Answer(*client, "ping no-such-host.invalid -c 3"), "\\");
  EXPECT_EQ(Answer(*client, "te"), "Ping Resolve failed\r\n~");
  EXPECT_TRUE(WaitNoneRunning(5s));
}

TEST_F(PingTest, AClientThatLeavesMidPingEndsIt) {
  EchoResponder responder(peers[0].path, kAll);
  ASSERT_TRUE(client->Send("ping " + first + " -c 100\r"));
  const std::string line = client->ReadThrough("\n", kPingsDone);
  EXPECT_TRUE(std::regex_match(line, std::regex(Reply(first, 1)))) << line;
  client.reset();

  // The next expiry of the echo timer finds the client gone and ends the ping there.
  EXPECT_TRUE(WaitNoneRunning(10s));
  const size_t sent = responder.Requests().size();
  EXPECT_LE(sent, 3u);
  EXPECT_FALSE(responder.WaitForRequests(sent + 1, 1500ms));
  // The server still serves.
  EXPECT_EQ(Answer(*Connected(), "a -c"), "1\r\n~");
}

// Every pinger hears every ICMP message to the host, with one identifier and sequences from 1:
// only a reply from the address it pings is its own.
TEST_F(PingTest, PingsOfTwoAddressesAtOnceTakeOnlyTheirOwnReplies) {
  EchoResponder silent(peers[1].path, kNone);
  auto other = Connected();
  // The first peer answers as its kernel does, which checks the request's checksum.
  ASSERT_TRUE(client->Send("ping " + second + " -c 2\r"));
  ASSERT_TRUE(other->Send("ping " + first + " -c 2\r"));

  std::string answered = other->ReadThrough("~\\", kPingsDone);
  EXPECT_TRUE(std::regex_match(answered, std::regex(Reply(first, 1) + Reply(first, 2) + "~")))
      << answered;
  EXPECT_EQ(client->ReadThrough("~\\", kPingsDone), "Request timed out\r\n\\");
  EXPECT_EQ(Answer(*client, "te"), "Request timed out\r\n~");
  EXPECT_EQ(silent.Requests().size(), 2u);
}

TEST_F(PingTest, AtMostSixteenPingsRunAtOnce) {
  EchoResponder silent(peers[1].path, kNone);
  std::string commands;
  for (size_t i = 0; i <= RunningPingers::kLimit; ++i) commands += "ping " + second + "\r";
  // In one write with the question after them: all are served before any echo times out.
  ASSERT_TRUE(client->Send(commands + "te\r"));
  EXPECT_EQ(client->ReadThrough("~\\"), "\\");
  EXPECT_EQ(client->ReadThrough("~\\"), "too many pings running\r\n~");
  EXPECT_EQ(client->ReadCount(RunningPingers::kLimit, kPingsDone),
            std::string(RunningPingers::kLimit, '\\'));
  EXPECT_TRUE(silent.WaitForRequests(RunningPingers::kLimit, 5s));

  // Ended pings make room.
  EXPECT_TRUE(WaitNoneRunning(5s));
  EXPECT_TRUE(
      std::regex_match(Answer(*client, "ping " + first), std::regex(Reply(first, 1) + "~")));
}

// Teardown ends a ping under way without a word more to its client.
TEST_F(PingTest, StoppingTheServerEndsAPingUnderWay) {
  EchoResponder silent(peers[0].path, kNone);
  ASSERT_TRUE(client->Send("ping " + first + " -c 100\r"));
  ASSERT_TRUE(silent.WaitForRequests(1, 5s));
  running.server->Shutdown();
  EXPECT_EQ(running.Finish(), Server::kShutdown);
  EXPECT_EQ(running.server->Pingers().Running(), 0u);
  EXPECT_TRUE(client->WaitClosed(5s));
}

}  // namespace
