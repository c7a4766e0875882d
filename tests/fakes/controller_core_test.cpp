// The controller core as any front end drives it, with no socket: input in arbitrary pieces,
// replies to the peer that asked, pushes to the peers that subscribed, and the peer's end.
#include "fakes/controller_core.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace {

using orvan::fakes::ControllerCore;
using orvan::fakes::ControllerPeer;

// Keeps every write the core makes to it.
class RecordingPeer : public ControllerPeer {
public:
  explicit RecordingPeer(bool messagesByDefault = false)
      : ControllerPeer({false, 23}, 4000, messagesByDefault) {}
  void Send(const std::string& bytes, bool close) override {
    writes.push_back(bytes);
    closed = closed || close;
  }
  void Release() override { ++released; }
  // The clock is the test's: delayed work waits here until it runs it.
  void After(std::chrono::milliseconds delay, std::function<void()> work) override {
    delays.push_back(delay);
    later.push_back(std::move(work));
  }
  void RunLater() {
    auto work = std::move(later);
    later.clear();
    for (auto& step : work) step();
  }
  std::vector<std::chrono::milliseconds> delays;
  std::vector<std::function<void()>> later;
  std::vector<std::string> writes;
  bool closed = false;
  int released = 0;
};

TEST(ControllerCore, AnswersWholeCommandsHoweverTheInputIsCut) {
  ControllerCore core;
  auto peer = std::make_shared<RecordingPeer>();
  core.Input(peer, "MG \"a");
  EXPECT_TRUE(peer->writes.empty());  // no CR yet
  core.Input(peer, "b\"\r\nSH;");
  core.Input(peer, "NOPE\rTC1\r");
  EXPECT_EQ(peer->writes,
            (std::vector<std::string>{"ab\r\n:", ":", "?", "1 Unrecognized command\r\n:"}));
  EXPECT_EQ(core.CommandsOn({false, 23}),
            (std::vector<std::string>{"MG \"ab\"", "SH", "NOPE", "TC1"}));
  ASSERT_EQ(core.Received().size(), 3u);
  EXPECT_EQ(core.Received()[1].peerPort, 4000);
  EXPECT_EQ(core.ReceivedBytes({false, 23}), "MG \"ab\"\r\nSH;NOPE\rTC1\r");
}

TEST(ControllerCore, DownloadTakesEveryByteToItsBackslashAcrossInputs) {
  orvan::fakes::FakeIdentity identity;
  identity.capabilities = "UC 2";  // lines are acknowledged when the download asks
  ControllerCore core(identity);
  auto peer = std::make_shared<RecordingPeer>();
  core.Input(peer, "DL,1\rA=1;B\r");  // ';' is program text while the download runs
  core.Input(peer, "C=2\r\\TC1\r");
  EXPECT_EQ(peer->writes, (std::vector<std::string>{"\x06", "\x06", "\x06", ":", "0\r\n:"}));
  EXPECT_EQ(core.Program(), "A=1;B\rC=2\r");
}

TEST(ControllerCore, PushesReachSubscribersAndMessagesFallBackToAttachedPeers) {
  ControllerCore core;
  auto line = std::make_shared<RecordingPeer>(true);  // takes messages nobody asked for
  auto other = std::make_shared<RecordingPeer>(false);
  core.Attach(line);
  core.Attach(other);
  EXPECT_EQ(core.Connections(), 2u);
  core.PushMessage("A");
  EXPECT_EQ(line->writes, std::vector<std::string>{"\xC1"});
  EXPECT_TRUE(other->writes.empty());

  auto subscriber = std::make_shared<RecordingPeer>();
  core.Input(subscriber, "CFI\rDR,_WH\rEI,,_WH\r");
  core.PushMessage("B");
  core.PushRecord();
  core.PushInterrupt("\x0A");
  EXPECT_EQ(subscriber->writes,
            (std::vector<std::string>{":", ":", ":", "\xC2", ControllerCore::MakeRecord(64),
                                      std::string("\x01\x0A\x00", 3)}));
  EXPECT_EQ(line->writes.size(), 1u);  // the subscriber took the message

  subscriber.reset();  // a peer that is gone gets nothing, and messages fall back again
  core.PushMessage("C");
  EXPECT_EQ(line->writes.back(), "\xC3");
}

TEST(ControllerCore, ClosingScriptEndsTheInputAndReleaseReachesThePeer) {
  ControllerCore core;
  core.Script("XQ", {"12", true});
  auto peer = std::make_shared<RecordingPeer>();
  core.Input(peer, "XQ\rSH\r");
  EXPECT_EQ(peer->writes, std::vector<std::string>{"12"});
  EXPECT_TRUE(peer->closed);
  EXPECT_EQ(core.CommandsOn({false, 23}), std::vector<std::string>{"XQ"});

  auto sender = std::make_shared<RecordingPeer>();
  core.Input(sender, "IHS=>-1\r");
  EXPECT_EQ(sender->writes, std::vector<std::string>{":"});
  EXPECT_EQ(sender->released, 1);
}

TEST(ControllerCore, DelayedReplyHoldsTheLaterCommandsUntilItIsOut) {
  ControllerCore core;
  orvan::fakes::FakeReply slow;
  slow.bytes = "late\r\n:";
  slow.once = true;
  slow.delay = std::chrono::milliseconds(300);
  core.Script("MG 1", slow);
  auto peer = std::make_shared<RecordingPeer>();
  core.Input(peer, "MG 1\rMG \"a\"\r");
  core.Input(peer, "MG \"b\"\r");
  EXPECT_TRUE(peer->writes.empty());
  EXPECT_EQ(peer->delays, std::vector<std::chrono::milliseconds>{slow.delay});
  EXPECT_EQ(core.CommandsOn({false, 23}), std::vector<std::string>{"MG 1"});

  peer->RunLater();
  EXPECT_EQ(peer->writes, (std::vector<std::string>{"late\r\n:", "a\r\n:", "b\r\n:"}));
  core.Input(peer, "MG 1\r");  // the script was for once
  EXPECT_EQ(peer->writes.back(), "1\r\n:");
}

}  // namespace
