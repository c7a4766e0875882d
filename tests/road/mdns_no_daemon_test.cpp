// A machine whose system bus runs without its mDNS daemon: the server starts and serves, finds
// nobody and says it is not published. (The bus address is read once per process, so this is a
// program of its own.)
#include <gtest/gtest.h>

#include <boost/property_tree/ptree.hpp>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "dravo.hpp"
#include "settings/config_store.hpp"
#include "support/mdns_hosts.hpp"
#include "support/test_support.hpp"

namespace {

using namespace std::chrono_literals;

std::string Ask(const std::string& command) {
  TlsClient client;
  if (!client.Connect("127.0.0.1", 10s) || !client.Handshake(10s) || !client.Send(command + "\r"))
    return "";
  return client.ReadThrough("~\\", 5s);
}

TEST(MdnsNoDaemonTest, TheServerServesUnpublishedAndFindsNobody) {
  const auto peers = PeerNamespaces();
  ASSERT_EQ(peers.size(), 1u) << "run with one peer namespace";
  MdnsHost busOnly("orvan-c", peers[0].links[0].localInterface, nullptr, false);
  ASSERT_TRUE(busOnly.WaitReady()) << busOnly.Failure();
  setenv("DBUS_SYSTEM_BUS_ADDRESS", busOnly.BusAddress().c_str(), 1);

  const std::string folder = UseFreshDataFolder();
  WriteCertificate(folder, "orvan-c");
  boost::property_tree::ptree tree;
  tree.put(ConfigStore::kServerPublish, true);
  tree.put(ConfigStore::kServerName, "lab");
  std::ofstream(folder + "/dravo.xml") << ConfigStore::SerializeSettings(tree);

  Dravo dravo;
  ASSERT_EQ(dravo.Start(""), 0);
  const auto begun = std::chrono::steady_clock::now();
  ASSERT_TRUE(dravo.WaitServing(60s)) << dravo.Failure();
  // A daemon that is not there is known at once: publishing does not wait for it.
  EXPECT_LT(std::chrono::steady_clock::now() - begun, 5s);
  EXPECT_EQ(Ask("serverstatus"), "lab, false~");
  EXPECT_EQ(Ask("servers"), "~");
  EXPECT_EQ(Ask("serverinfo --name lab"), "none~");
  EXPECT_TRUE(dravo.Running()) << dravo.Failure();
  dravo.Stop();
}

}  // namespace
