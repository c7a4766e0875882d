// The IP assigner on its event loop, with adapters the test chooses (loopback stands for one):
// listening and its end, what the settings file keeps across a restart, the start-up rule,
// teardown during a probe, and listening again when the host's adapters change.
#include "services/dhcp_server.hpp"

#include "settings/config_store.hpp"
#include "support/test_support.hpp"

#include <gtest/gtest.h>

#include <boost/asio/io_context.hpp>

#include <memory>
#include <string>
#include <vector>

namespace {

platform::HostInterface Loopback(const std::string& address = "127.0.0.1") {
  platform::HostInterface adapter;
  adapter.name = "lo";
  adapter.address = address;
  adapter.netmask = "255.0.0.0";
  return adapter;
}

class DhcpServerTest : public testing::Test {
protected:
  void SetUp() override { UseFreshDataFolder(); }

  std::shared_ptr<DhcpServer> Make() {
    return std::make_shared<DhcpServer>(io, [this](std::vector<platform::HostInterface>& list) {
      list = adapters;
      return true;
    });
  }
  static boost::property_tree::ptree Stored() {
    ConfigStore store;
    return store.Tree();
  }
  // Runs the loop until the condition holds or the deadline passes.
  template <typename Condition>
  bool RunUntil(Condition condition, std::chrono::milliseconds limit = 5s) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!condition() && std::chrono::steady_clock::now() < deadline) {
      io.restart();
      io.run_one_for(50ms);
    }
    return condition();
  }

  boost::asio::io_context io;
  std::vector<platform::HostInterface> adapters{Loopback()};
};

TEST_F(DhcpServerTest, ATimedListenEndsWithItsTimerAndTheFileKeepsItsLength) {
  auto server = Make();
  server->Listen(200);
  EXPECT_EQ(server->ListeningSockets(), 1u);
  EXPECT_EQ(server->ProbeSockets(), 1u);
  EXPECT_EQ(server->ListenTimeout(), 200);
  ASSERT_TRUE(RunUntil([&] { return server->ListeningSockets() == 0; }));
  EXPECT_EQ(server->ListenTimeout(), 0);
  EXPECT_EQ(Stored().get<int>(ConfigStore::kDhcpTimeout), 200);

  server->Listen(-1);
  EXPECT_EQ(server->ListeningSockets(), 1u);
  server->Listen(0);
  EXPECT_EQ(server->ListeningSockets(), 0u);
  EXPECT_EQ(Stored().get<int>(ConfigStore::kDhcpTimeout), 0);
  server->Close();
}

TEST_F(DhcpServerTest, StartListensUnlessTheStoredTimeIsZeroOrMore) {
  const struct {
    const char* stored;  // nullptr: no such key
    bool listens;
  } cases[] = {
      {nullptr, true}, {"-1", true}, {"not a number", true}, {"0", false}, {"5000", false}};
  for (const auto& c : cases) {
    UseFreshDataFolder();
    if (c.stored) {
      ConfigStore store;
      store.Modify().put(ConfigStore::kDhcpTimeout, std::string(c.stored));
    }
    auto server = Make();
    server->Start();
    EXPECT_EQ(server->ListeningSockets(), c.listens ? 1u : 0u) << (c.stored ? c.stored : "absent");
    if (c.listens) {
      EXPECT_EQ(Stored().get<int>(ConfigStore::kDhcpTimeout), -1);
    }
    server->Close();
  }
}

TEST_F(DhcpServerTest, ClosingDuringAProbeEndsItAtOnce) {
  auto server = Make();
  server->Listen(-1);
  ASSERT_EQ(server->ProbeSockets(), 1u);
  server->Close();
  EXPECT_EQ(server->ProbeSockets(), 0u);
  EXPECT_EQ(server->ListeningSockets(), 0u);
  // Nothing waits out the probe's time: the loop runs out of work well before it.
  io.restart();
  io.run_for(DhcpServer::kProbeTime / 2);
  EXPECT_TRUE(io.stopped());
  EXPECT_EQ(server.use_count(), 1);
  server->Listen(-1);
  EXPECT_EQ(server->ListeningSockets(), 0u);  // closed for good
}

TEST_F(DhcpServerTest, RememberedAssignmentsAndTheSwitchSurviveARestart) {
  auto first = Make();
  first->Start();
  first->SetRemember(true);
  first->Assign("02:6D:41:60:00:2A", "10.99.1.50");
  EXPECT_THROW(first->Assign("02:6D:41:60:00:2A", "nowhere"), std::invalid_argument);
  first->Close();

  auto second = Make();
  second->Start();  // listens, and so saves at once: the assignment must stay
  EXPECT_TRUE(second->Remember());
  ASSERT_EQ(second->Table().Requests().count(0x60002A), 1u);
  EXPECT_EQ(second->Table().Requests().at(0x60002A).Assigned(), 0x0A630132u);
  EXPECT_EQ(Stored().get<std::string>("dhcp.assign.ip"), "10.99.1.50");

  // Switching it off forgets them, in the file too.
  second->SetRemember(false);
  EXPECT_TRUE(second->Table().Requests().empty());
  EXPECT_FALSE(Stored().get<bool>(ConfigStore::kDhcpRemember));
  EXPECT_EQ(Stored().get_child(ConfigStore::kDhcp).count("assign"), 0u);
  second->Close();
}

TEST_F(DhcpServerTest, AListingAfterTheAdaptersChangedListensOnTheNewOnes) {
  auto server = Make();
  server->Listen(-1);
  ASSERT_EQ(server->ListeningSockets(), 1u);
  EXPECT_EQ(server->ListRequests(), "");
  EXPECT_EQ(server->ListeningSockets(), 1u);
  // Let the probe end, so the next listen takes the adapters afresh.
  ASSERT_TRUE(RunUntil([&] { return server->ProbeSockets() == 0; }, DhcpServer::kProbeTime + 5s));

  adapters.push_back(Loopback("127.0.0.2"));
  EXPECT_EQ(server->ListRequests(), "");
  EXPECT_EQ(server->ListeningSockets(), 2u);
  EXPECT_EQ(server->ListenTimeout(), -1);
  server->Close();
}

}  // namespace
