// Servers that find each other by mDNS across a cable: this program's server on one host and
// the server program on a peer host, each with its own bus, daemon and host name, and the
// daemon's own tools publishing and browsing beside them.
#include <gtest/gtest.h>

#include <boost/property_tree/ptree.hpp>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "dravo.hpp"
#include "settings/config_store.hpp"
#include "settings/publish_settings.hpp"
#include "support/mdns_hosts.hpp"
#include "support/test_support.hpp"

namespace {

using namespace std::chrono_literals;

// One shell command on a fresh connection; its answer through "~" or "\", or "" when the
// server cannot be reached (or is slow: callers ask again until their deadline).
std::string Ask(const std::string& address, const std::string& command) {
  TlsClient client;
  if (!client.Connect(address, 2s) || !client.Handshake(5s) || !client.Send(command + "\r"))
    return "";
  return client.ReadThrough("~\\", 5s);
}

// Polls until `done` holds or 60 s have passed (daemons probe names for seconds on a busy
// machine); the last value seen, for the failure message.
bool Eventually(const std::function<bool(std::string&)>& done, std::string& last) {
  const auto deadline = std::chrono::steady_clock::now() + 60s;
  while (std::chrono::steady_clock::now() < deadline) {
    if (done(last)) return true;
    std::this_thread::sleep_for(100ms);
  }
  return false;
}

void WriteSettings(const std::string& serverFolder, bool publish, const std::string& name = "") {
  boost::property_tree::ptree tree;
  tree.put(ConfigStore::kServerPublish, publish);
  if (!name.empty()) tree.put(ConfigStore::kServerName, name);
  std::filesystem::create_directories(serverFolder);
  std::ofstream(serverFolder + "/dravo.xml") << ConfigStore::SerializeSettings(tree);
}

class MdnsRoadTest : public testing::Test {
protected:
  static void SetUpTestSuite() {
    const auto peers = PeerNamespaces();
    ASSERT_EQ(peers.size(), 1u) << "run with one peer namespace";
    ASSERT_TRUE(MdnsHost::TakeHostName("orvan-a"));
    const auto& link = peers[0].links[0];
    peerAddress = link.peerAddress;
    // Two cables: the daemons see each other's services once on each.
    const auto& second = peers[0].links[1];
    local =
        std::make_unique<MdnsHost>("orvan-a", link.localInterface + "," + second.localInterface);
    peer = std::make_unique<MdnsHost>("orvan-b", link.peerInterface + "," + second.peerInterface,
                                      &peers[0]);
    firstInterface = link.localInterface;
    secondInterface = second.localInterface;
    ASSERT_TRUE(local->WaitReady()) << local->Failure();
    ASSERT_TRUE(peer->WaitReady()) << peer->Failure();
    // This program's servers talk to the local host's daemon.
    setenv("DBUS_SYSTEM_BUS_ADDRESS", local->BusAddress().c_str(), 1);

    // The peer's server program publishes under its host's default name.
    const std::string data = peer->Folder() + "/data";
    WriteSettings(data + "/Orvan/dravo", true);
    WriteCertificate(data + "/Orvan/dravo", "orvan-b");
    peer->Start({DRAVO_SERVICE_PATH}, {"ORVAN_PROGRAM_DATA=" + data});
  }
  static void TearDownTestSuite() {
    peer.reset();
    local.reset();
  }

  // A server with its own data folder publishing (or not) as the settings file says.
  void StartServer(bool publish, const std::string& name = "") {
    const std::string folder = UseFreshDataFolder();
    WriteCertificate(folder, "orvan-a");
    WriteSettings(folder, publish, name);
    ASSERT_EQ(dravo.Start(""), 0);
    ASSERT_TRUE(dravo.WaitServing(60s)) << dravo.Failure();
  }

  // Polls the server at `address` with `command` until its answer satisfies `wanted`.
  static void ExpectAnswer(const std::string& address, const std::string& command,
                           const std::function<bool(const std::string&)>& wanted) {
    std::string last;
    EXPECT_TRUE(Eventually(
        [&](std::string& answer) {
          answer = Ask(address, command);
          return wanted(answer);
        },
        last))
        << command << " at " << address << " last answered \"" << last << "\"";
  }
  static bool Has(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
  }
  // What the local daemon's own browser sees of the service type, one line per report (its
  // names escaped: a blank is "\032").
  static std::string Browse() {
    return local->Run({"avahi-browse", "-r", "-t", "-p", "_dravo._tcp"});
  }

  static std::unique_ptr<MdnsHost> local, peer;
  static std::string peerAddress;
  static std::string firstInterface, secondInterface;
  Dravo dravo;
};

std::unique_ptr<MdnsHost> MdnsRoadTest::local, MdnsRoadTest::peer;
std::string MdnsRoadTest::peerAddress;
std::string MdnsRoadTest::firstInterface, MdnsRoadTest::secondInterface;

size_t Count(const std::string& text, const std::string& part) {
  size_t count = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
  return count;
}

TEST_F(MdnsRoadTest, TwoServersListAndFindEachOtherByName) {
  PublishSettings settings;
  LoadPublishSettings(settings);  // the default name comes from this host's name
  EXPECT_EQ(settings.name, "orvan-a dravo");
  StartServer(true);
  ExpectAnswer("127.0.0.1", "serverstatus",
               [](const std::string& answer) { return answer == "orvan-a dravo, true~"; });
  ExpectAnswer("127.0.0.1", "servers", [](const std::string& answer) {
    return Has(answer, "orvan-b dravo\n") && !Has(answer, "orvan-a dravo");
  });
  ExpectAnswer("127.0.0.1", "serverinfo --name orvan-b dravo",
               [](const std::string& answer) { return answer == "orvan-b.local, 23~"; });
  // The peer's server, reached across the cable since it publishes, sees this one.
  ExpectAnswer(peerAddress, "servers", [](const std::string& answer) {
    return Has(answer, "orvan-a dravo\n") && !Has(answer, "orvan-b dravo");
  });
  ExpectAnswer(peerAddress, "serverinfo --name orvan-a dravo",
               [](const std::string& answer) { return answer == "orvan-a.local, 23~"; });
  ExpectAnswer(peerAddress, "serverstatus",
               [](const std::string& answer) { return answer == "orvan-b dravo, true~"; });
}

TEST_F(MdnsRoadTest, AfterTheDaemonReturnsTheServerBrowsesAndIsAnnouncedAgain) {
  StartServer(true);
  ExpectAnswer("127.0.0.1", "servers",
               [](const std::string& answer) { return Has(answer, "orvan-b dravo\n"); });
  ASSERT_TRUE(local->RestartDaemon());
  std::string last;
  EXPECT_TRUE(Eventually(
      [](std::string& seen) {
        seen = Browse();
        return Has(seen, "=;" + firstInterface + ";IPv4;orvan-a\\032dravo;") &&
               Has(seen, "orvan-b\\032dravo");
      },
      last))
      << last;
  ExpectAnswer("127.0.0.1", "servers",
               [](const std::string& answer) { return Has(answer, "orvan-b dravo\n"); });
  ExpectAnswer(peerAddress, "servers",
               [](const std::string& answer) { return Has(answer, "orvan-a dravo\n"); });
  ExpectAnswer("127.0.0.1", "serverstatus",
               [](const std::string& answer) { return answer == "orvan-a dravo, true~"; });
}

// Last: it takes the second cable down.
TEST_F(MdnsRoadTest, APeerSeenOnTwoCablesIsOneServerUntilItsLastReportGoes) {
  StartServer(false);
  std::string last;
  ASSERT_TRUE(Eventually(
      [](std::string& seen) {
        seen = Browse();
        return Count(seen, "=;" + firstInterface + ";IPv4;orvan-b\\032dravo;") == 1 &&
               Count(seen, "=;" + secondInterface + ";IPv4;orvan-b\\032dravo;") == 1;
      },
      last))
      << last;
  ExpectAnswer("127.0.0.1", "servers",
               [](const std::string& answer) { return Count(answer, "orvan-b dravo\n") == 1; });
  // One cable goes: its report goes, the server stays listed.
  local->Run({"ip", "link", "set", secondInterface, "down"});
  EXPECT_TRUE(Eventually(
      [](std::string& seen) {
        seen = Browse();
        return Count(seen, "orvan-b\\032dravo") > 0 && Count(seen, secondInterface) == 0;
      },
      last))
      << last;
  ExpectAnswer("127.0.0.1", "servers",
               [](const std::string& answer) { return answer == "orvan-b dravo\n~"; });
  ExpectAnswer("127.0.0.1", "serverinfo --name orvan-b dravo",
               [](const std::string& answer) { return answer == "orvan-b.local, 23~"; });
}

TEST_F(MdnsRoadTest, ForeignPeersAreListedFoundAndCannotBreakAnAnswer) {
  StartServer(false);
  const pid_t here = local->Start({"avahi-publish", "-s", "lab~1\\x", "_dravo._tcp", "2323"});
  const pid_t there = peer->Start({"avahi-publish", "-s", "yard", "_dravo._tcp", "2424"});
  ExpectAnswer("127.0.0.1", "servers", [](const std::string& answer) {
    return Has(answer, "lab?1?x\n") && Has(answer, "yard\n") && answer.back() == '~' &&
           answer.find('~') == answer.size() - 1;
  });
  ExpectAnswer("127.0.0.1", "serverinfo --name lab?1?x",
               [](const std::string& answer) { return answer == "orvan-a.local, 2323~"; });
  ExpectAnswer("127.0.0.1", "serverinfo --name yard",
               [](const std::string& answer) { return answer == "orvan-b.local, 2424~"; });
  // Its goodbye takes a peer off the list.
  peer->Stop(there);
  ExpectAnswer("127.0.0.1", "servers", [](const std::string& answer) {
    return Has(answer, "lab?1?x\n") && !Has(answer, "yard");
  });
  local->Stop(here);
  ExpectAnswer("127.0.0.1", "servers",
               [](const std::string& answer) { return !answer.empty() && !Has(answer, "lab"); });
}

TEST_F(MdnsRoadTest, ANameAnotherProgramHoldsLeavesTheServerUnpublished) {
  const pid_t holder = local->Start({"avahi-publish", "-s", "taken", "_dravo._tcp", "2424"});
  std::string last;
  ASSERT_TRUE(Eventually(
      [](std::string& seen) {
        seen = Browse();
        return Has(seen, ";taken;_dravo._tcp;local;orvan-a.local;");
      },
      last))
      << last;
  StartServer(true, "taken");
  ExpectAnswer("127.0.0.1", "serverstatus",
               [](const std::string& answer) { return answer == "taken, false~"; });
  EXPECT_TRUE(dravo.Running()) << dravo.Failure();
  local->Stop(holder);
}

TEST_F(MdnsRoadTest, PublishAnnouncesAndRemoveWithdraws) {
  StartServer(false);
  ExpectAnswer("127.0.0.1", "serverstatus",
               [](const std::string& answer) { return answer == "orvan-a dravo, false~"; });
  // Each change restarts the server, which drops the connection.
  Ask("127.0.0.1", "publish --name shop floor --port 23");
  std::string last;
  EXPECT_TRUE(Eventually(
      [](std::string& seen) {
        seen = Browse();
        return Has(seen, ";shop\\032floor;_dravo._tcp;local;orvan-a.local;");
      },
      last))
      << last;
  ExpectAnswer("127.0.0.1", "serverstatus",
               [](const std::string& answer) { return answer == "shop floor, true~"; });
  ExpectAnswer(peerAddress, "servers",
               [](const std::string& answer) { return Has(answer, "shop floor\n"); });

  Ask("127.0.0.1", "publish --remove --name shop floor --port 23");
  EXPECT_TRUE(Eventually(
      [](std::string& seen) {
        seen = Browse();
        return Has(seen, "orvan-b\\032dravo") && !Has(seen, "shop\\032floor");
      },
      last))
      << last;
  ExpectAnswer("127.0.0.1", "serverstatus",
               [](const std::string& answer) { return answer == "shop floor, false~"; });
  EXPECT_TRUE(dravo.Running()) << dravo.Failure();
  ExpectAnswer(peerAddress, "servers",
               [](const std::string& answer) { return !Has(answer, "shop floor"); });
}

}  // namespace
