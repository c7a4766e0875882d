// The server list kept from browse events, the answer-safe names, and a server without a
// system bus: it starts, serves, finds nothing and reports that it could not publish.
#include <gtest/gtest.h>

#include <array>
#include <string>
#include <vector>

#include "support/test_support.hpp"
#include "zeroconf/answer_text.hpp"
#include "zeroconf/service_publisher.hpp"
#include "zeroconf/service_watcher.hpp"

namespace {

using Service = Zeroconf::ServiceWatcher::Service;

Service Make(const std::string& name, const std::string& address = "10.0.0.5", int port = 23,
             std::vector<std::string> text = {}) {
  Service service;
  service.instanceName = name;
  service.hostName = name + "-host.local";
  service.serviceName = "_dravo._tcp";
  service.port = port;
  service.ipAddress = address;
  service.textAttributes = std::move(text);
  return service;
}

TEST(AnswerSafeText, TerminatorsAndControlBytesBecomeQuestionMarks) {
  struct Case {
    std::string in, out;
  };
  const std::array<Case, 5> cases{{{"lab dravo", "lab dravo"},
                                   {"a~b\\c", "a?b?c"},
                                   {std::string("x\r\ny\x1b", 5) + "c\x7f", "x??y?c?"},
                                   {std::string("n\0m", 3), "n?m"},
                                   {"Büro", "Büro"}}};
  for (const auto& entry : cases) EXPECT_EQ(AnswerSafeText(entry.in), entry.out) << entry.in;
}

class WatcherTest : public testing::Test {
protected:
  WatcherTest() {
    watcher.added.connect(
        [this](const Service& s) { events.push_back("added " + s.instanceName); });
    watcher.updated.connect(
        [this](const Service& s) { events.push_back("updated " + s.instanceName); });
    watcher.removed.connect(
        [this](const Service& s) { events.push_back("removed " + s.instanceName); });
  }
  std::vector<std::string> Names() const {
    std::vector<std::string> names;
    for (const auto& service : watcher.Services()) names.push_back(service.instanceName);
    return names;
  }
  Zeroconf::ServiceWatcher watcher{"_dravo", "_tcp"};  // never started: events come from the test
  std::vector<std::string> events;
};

TEST_F(WatcherTest, ListsNewestFirstAndMergesByExactName) {
  watcher.OnAdded(Make("a"));
  watcher.OnAdded(Make("b"));
  watcher.OnAdded(Make("A"));  // names are case-sensitive
  EXPECT_EQ(Names(), (std::vector<std::string>{"A", "b", "a"}));
  // The same host, port and address again changes nothing and tells nobody.
  watcher.OnAdded(Make("b"));
  watcher.OnUpdated(Make("b"));
  EXPECT_EQ(events, (std::vector<std::string>{"added a", "added b", "added A"}));
  // Another port replaces the record in its place.
  watcher.OnAdded(Make("a", "10.0.0.5", 2323));
  EXPECT_EQ(Names(), (std::vector<std::string>{"A", "b", "a"}));
  EXPECT_EQ(watcher.Lookup("a"), "a-host.local, 2323");
  EXPECT_EQ(events.back(), "updated a");
}

TEST_F(WatcherTest, StoppedOrAddresslessUpdatesAndRemovalsTakeServersOut) {
  watcher.OnAdded(Make("a"));
  watcher.OnAdded(Make("b"));
  watcher.OnAdded(Make("c"));
  watcher.OnUpdated(Make("a", "10.0.0.5", 23, {"running=false", "x=1"}));
  watcher.OnUpdated(Make("b", ""));
  watcher.OnRemoved(Make("nobody"));
  EXPECT_EQ(Names(), (std::vector<std::string>{"c"}));
  // Only the first attribute says whether a server stopped.
  watcher.OnUpdated(Make("c", "10.0.0.6", 23, {"x=1", "running=false"}));
  EXPECT_EQ(Names(), (std::vector<std::string>{"c"}));
  watcher.OnRemoved(Make("c"));
  EXPECT_TRUE(Names().empty());
  EXPECT_EQ(events.back(), "removed c");
  // An update for a server not listed adds it.
  watcher.OnUpdated(Make("d"));
  EXPECT_EQ(Names(), (std::vector<std::string>{"d"}));
}

TEST_F(WatcherTest, LookupComparesNamesAsAnswersShowThem) {
  EXPECT_EQ(watcher.Lookup("lab"), "none");
  Service odd = Make("lab~1");
  odd.hostName = "h\\st.local";
  watcher.OnAdded(odd);
  EXPECT_EQ(watcher.Lookup("lab?1"), "h?st.local, 23");
  EXPECT_EQ(watcher.Lookup("lab~1"), "h?st.local, 23");
  EXPECT_EQ(watcher.Lookup("lab"), "none");
  EXPECT_EQ(watcher.Lookup("lab-1"), "none");
}

TEST(ServicePublisherTest, WithoutABusPublishingFailsAtOnceAsAServerError) {
  ServicePublisher publisher("", "_dravo", "_tcp");
  std::vector<std::pair<int, std::string>> errors;
  publisher.error.connect(
      [&](int code, const std::string& text) { errors.emplace_back(code, text); });
  const auto begun = std::chrono::steady_clock::now();
  publisher.Publish("lab", 23);
  EXPECT_LT(std::chrono::steady_clock::now() - begun, ServicePublisher::kRegisterWait);
  EXPECT_FALSE(publisher.Published());
  EXPECT_EQ(publisher.FullName(), "lab._dravo._tcp.local");
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_EQ(errors[0],
            std::make_pair(1004, std::string("Publish was not successful: Server Error")));
}

// The test runner points the system bus at a socket that does not exist.
TEST(ServerWithoutBus, StartsServesAndAnswersTheServerCommands) {
  WriteCertificate(UseFreshDataFolder(), "lab");
  PublishSettings settings;
  settings.publish = true;
  settings.name = "lab~\\one";
  settings.port = 23;
  RunningServer running(settings);
  TlsClient client;
  ASSERT_TRUE(client.Connect());
  ASSERT_TRUE(client.Handshake());
  ASSERT_TRUE(client.Send("serverstatus\rservers\rserverinfo --name lab\r"));
  EXPECT_EQ(client.ReadThrough("~"), "lab??one, false~");
  EXPECT_EQ(client.ReadThrough("~"), "~");
  EXPECT_EQ(client.ReadThrough("~"), "none~");
  // Withdrawing restarts the core; nothing raised out of its run.
  ASSERT_TRUE(client.Send("publish --remove --name lab --port 23\r"));
  EXPECT_EQ(running.Finish(), Server::kRestart) << running.failure;
  EXPECT_FALSE(running.settings.publish);
}

}  // namespace
