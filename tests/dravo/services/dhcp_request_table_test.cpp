// The IP assigner's core on datagrams given by hand: what it records, answers byte for byte,
// lists, forgets, refuses and keeps in the settings tree, on a clock the tests move.
#include "services/dhcp_request_table.hpp"

#include "protocol/bootp.hpp"
#include "protocol/bootp_text.hpp"
#include "settings/config_store.hpp"
#include "support/bootp_packets.hpp"

#include <gtest/gtest.h>

#include <boost/property_tree/ptree.hpp>

#include <stdexcept>
#include <string>
#include <vector>

namespace {

namespace protocol = orvan::protocol;
using protocol::BootpPacket;
using protocol::MacAddress;

constexpr MacAddress kDhcpController{0x02, 0x6D, 0x41, 0x60, 0x00, 0x2A};
constexpr MacAddress kBootpController{0x02, 0x6D, 0x41, 0x08, 0x01, 0x02};
constexpr std::uint32_t kXid = 0x11223344;

std::vector<std::uint8_t> Request(const MacAddress& mac, std::uint8_t type,
                                  std::uint32_t xid = kXid, std::size_t length = 300) {
  return bootp_packets::Request(mac, type, xid, length);
}

// A reply as sent from eth0 (10.99.1.1/24).
BootpPacket ExpectedReply(const MacAddress& mac, std::uint8_t type,
                          const std::vector<std::uint8_t>& ip, std::uint32_t xid = kXid) {
  const auto bytes = bootp_packets::Reply(
      mac, type, xid, std::uint32_t{ip[0]} << 24 | ip[1] << 16 | ip[2] << 8 | ip[3], 0x0A630101,
      0xFFFFFF00);
  BootpPacket packet;
  std::copy(bytes.begin(), bytes.end(), packet.begin());
  return packet;
}

platform::HostInterface Adapter(const std::string& name, const std::string& address) {
  platform::HostInterface adapter;
  adapter.name = name;
  adapter.address = address;
  adapter.netmask = "255.255.255.0";
  adapter.mac = {0x52, 0x54, 0x00, 0x00, 0x00, 0x01};
  return adapter;
}

class DhcpRequestTableTest : public testing::Test {
protected:
  DhcpRequestTableTest() : table([this] { return now; }) {
    table.StartProbe({Adapter("eth0", "10.99.1.1"), Adapter("eth1", "10.99.2.1")});
    table.EndProbe();
  }

  DhcpOutcome Receive(const std::vector<std::uint8_t>& bytes, std::uint16_t port = 67,
                      const std::string& adapter = "eth0",
                      const std::string& address = "10.99.1.1") {
    return table.OnDatagram(bytes.data(), bytes.size(), port, adapter, address);
  }
  void Advance(int seconds) { now += std::chrono::seconds(seconds); }

  DhcpRequest::Time now{std::chrono::seconds(1700000000)};
  DhcpRequestTable table;
};

TEST_F(DhcpRequestTableTest, AnUnassignedDiscoverIsListedAndNotAnswered) {
  EXPECT_TRUE(Receive(Request(kDhcpController, 1)).replies.empty());
  EXPECT_EQ(table.List(),
            "Orvan Ethernet Controller, 42, 02:6D:41:60:00:2A, eth0, 10.99.1.1, 0.0.0.0\r\n");
}

TEST_F(DhcpRequestTableTest, AnAssignedControllerGetsAnOfferAtOnceThenAnAcknowledge) {
  Receive(Request(kDhcpController, 1));
  const auto offer = table.Assign("02:6d:41:60:00:2a", "10.99.1.50");
  ASSERT_EQ(offer.replies.size(), 1u);
  EXPECT_EQ(offer.replies[0].adapterName, "eth0");
  EXPECT_EQ(offer.replies[0].adapterAddress, "10.99.1.1");
  EXPECT_EQ(offer.replies[0].packet, ExpectedReply(kDhcpController, 2, {10, 99, 1, 50}));

  const auto again = Receive(Request(kDhcpController, 1, 0x55667788));
  ASSERT_EQ(again.replies.size(), 1u);
  EXPECT_EQ(again.replies[0].packet,
            ExpectedReply(kDhcpController, 2, {10, 99, 1, 50}, 0x55667788));
  const auto ack = Receive(Request(kDhcpController, 3, 0x55667788));
  ASSERT_EQ(ack.replies.size(), 1u);
  EXPECT_EQ(ack.replies[0].packet, ExpectedReply(kDhcpController, 5, {10, 99, 1, 50}, 0x55667788));
  EXPECT_EQ(table.List(),
            "Orvan Ethernet Controller, 42, 02:6D:41:60:00:2A, eth0, 10.99.1.1, 10.99.1.50\r\n");
}

TEST_F(DhcpRequestTableTest, APlainBootpControllerGetsOneReplyWithNothingAfterTheCookie) {
  Receive(Request(kBootpController, 0));
  const auto reply = table.Assign("02-6D-41-08-01-02", "10.99.1.60");
  ASSERT_EQ(reply.replies.size(), 1u);
  EXPECT_EQ(reply.replies[0].packet, ExpectedReply(kBootpController, 0, {10, 99, 1, 60}));
  // Without remembering, such an assignment serves that one reply.
  EXPECT_TRUE(table.Requests().empty());
  EXPECT_TRUE(Receive(Request(kBootpController, 0)).replies.empty());
}

TEST_F(DhcpRequestTableTest, ARepliedBootpRecordKeepsItsServerForTheNextReply) {
  table.SetRemember(true);
  Receive(Request(kBootpController, 0));
  table.Assign("02:6D:41:08:01:02", "10.99.1.60");
  const auto second = Receive(Request(kBootpController, 0));
  ASSERT_EQ(second.replies.size(), 1u);
  EXPECT_EQ(second.replies[0].packet, ExpectedReply(kBootpController, 0, {10, 99, 1, 60}));
  EXPECT_EQ(table.List(),
            "Orvan E200 Motion Controller, 258, 02:6D:41:08:01:02, eth0, 10.99.1.1, "
            "10.99.1.60\r\n");
}

TEST_F(DhcpRequestTableTest, RequestsOfOtherMakersAndReleasesGetNoReply) {
  EXPECT_TRUE(Receive(Request({0x02, 0x6D, 0x42, 0x60, 0x00, 0x2A}, 1)).replies.empty());
  EXPECT_TRUE(table.Requests().empty());

  table.SetRemember(true);
  table.Assign("02:6D:41:60:00:2B", "10.99.1.50");
  Receive(Request(kDhcpController, 1));
  Advance(50);
  EXPECT_TRUE(Receive(Request(kDhcpController, 7)).replies.empty());
  EXPECT_TRUE(Receive(Request({0x02, 0x6D, 0x41, 0x60, 0x00, 0x2B}, 7)).replies.empty());
  // The release still counts as being seen: the record lives 61 s from it.
  Advance(50);
  EXPECT_EQ(table.List(),
            "Orvan Ethernet Controller, 42, 02:6D:41:60:00:2A, eth0, 10.99.1.1, 0.0.0.0\r\n"
            "Orvan Ethernet Controller, 43, 02:6D:41:60:00:2B, eth0, 10.99.1.1, 10.99.1.50\r\n");
}

TEST_F(DhcpRequestTableTest, OnlyPort67HearsRequestsAndOnlyPort68HearsTheProbesAnswers) {
  table.SetRemember(true);
  Receive(Request(kBootpController, 0));
  const auto sent = table.Assign("02:6D:41:08:01:02", "10.99.1.60");
  ASSERT_EQ(sent.replies.size(), 1u);
  const auto before = table.Requests().begin()->second.image;
  // The server's own reply comes back to its port-68 socket: it is no request to answer.
  const std::vector<std::uint8_t> echo(sent.replies[0].packet.begin(),
                                       sent.replies[0].packet.end());
  Advance(1);
  const auto looped = Receive(echo, 68);
  EXPECT_TRUE(looped.replies.empty());
  EXPECT_FALSE(looped.probeAnswered);
  EXPECT_EQ(table.Requests().begin()->second.image, before);
  EXPECT_EQ(*table.Requests().begin()->second.lastSeen, now - std::chrono::seconds(1));

  // An offer answering the probe counts on port 68 only, and only while the probe runs.
  auto offer = Request({0x52, 0x54, 0x00, 0x00, 0x00, 0x01}, 2, protocol::kProbeXid);
  offer[0] = 2;
  EXPECT_FALSE(Receive(offer, 68).probeAnswered);
  table.StartProbe(table.Adapters());
  EXPECT_FALSE(Receive(offer, 67).probeAnswered);
  EXPECT_FALSE(table.Adapters()[0].dhcpEnabled);
  EXPECT_TRUE(Receive(offer, 68).probeAnswered);
  EXPECT_TRUE(table.Adapters()[0].dhcpEnabled);
  EXPECT_FALSE(table.Adapters()[1].dhcpEnabled);
}

TEST_F(DhcpRequestTableTest, DatagramsOutsideThePacketsLengthsAreNotRead) {
  for (const std::size_t length : {0, 28, 242, 327, 1500}) {
    EXPECT_TRUE(Receive(Request(kDhcpController, 1, kXid, length)).replies.empty());
    EXPECT_TRUE(table.Requests().empty()) << length;
  }
  for (const std::size_t length : {243, 326}) {
    Receive(Request(kDhcpController, 1, kXid, length));
    EXPECT_EQ(table.Requests().size(), 1u) << length;
    table.SetRemember(false);
  }
}

TEST_F(DhcpRequestTableTest,
       WhereAForeignServerAnsweredDeferringModelsAreNeitherAnsweredNorListed) {
  const MacAddress deferring{0x02, 0x6D, 0x41, 0x20, 0x00, 0x01};
  const MacAddress staying{0x02, 0x6D, 0x41, 0x10, 0x00, 0x02};
  table.SetRemember(true);
  table.StartProbe(table.Adapters());
  auto offer = Request({0x52, 0x54, 0x00, 0x00, 0x00, 0x01}, 2, protocol::kProbeXid);
  ASSERT_TRUE(Receive(offer, 68).probeAnswered);
  table.EndProbe();

  Receive(Request(deferring, 0));
  Receive(Request(staying, 0));
  EXPECT_EQ(table.List(),
            "Orvan E300 Motion Controller, 2, 02:6D:41:10:00:02, eth0, 10.99.1.1, "
            "0.0.0.0\r\n");
  EXPECT_TRUE(table.Assign("02:6D:41:20:00:01", "10.99.1.70").replies.empty());
  EXPECT_EQ(table.Assign("02:6D:41:10:00:02", "10.99.1.71").replies.size(), 1u);
  EXPECT_TRUE(Receive(Request(deferring, 0)).replies.empty());
  // The same model on the other adapter is answered.
  const auto other = Receive(Request(deferring, 0), 67, "eth1", "10.99.2.1");
  ASSERT_EQ(other.replies.size(), 1u);
  EXPECT_EQ(other.replies[0].adapterName, "eth1");
}

TEST_F(DhcpRequestTableTest, RequestsExpireByModelUnlessAssignedAndRemembered) {
  const struct {
    MacAddress mac;
    int age;
    bool assigned;
    bool remember;
    bool kept;
  } cases[] = {
      {kBootpController, 5, false, false, true},   {kBootpController, 6, false, false, false},
      {kDhcpController, 60, false, false, true},   {kDhcpController, 61, false, false, false},
      {kDhcpController, 61, true, false, false},   {kDhcpController, 600, true, true, true},
      {kBootpController, 600, false, true, false},
  };
  for (const auto& c : cases) {
    table.SetRemember(false);
    table.SetRemember(c.remember);
    Receive(Request(c.mac, c.mac == kBootpController ? 0 : 1));
    if (c.assigned) {
      const auto text = protocol::FormatMacAddress(c.mac);
      table.Assign(text, "10.99.1.80");
    }
    Advance(c.age);
    table.ExpireRequests();
    EXPECT_EQ(table.Requests().size(), c.kept ? 1u : 0u)
        << int(c.mac[3]) << " after " << c.age << " s";
  }
}

TEST_F(DhcpRequestTableTest, ClearingAllKeepsRecentControllersListedWithoutAnAddress) {
  table.SetRemember(true);
  Receive(Request(kDhcpController, 1));
  table.Assign("02:6D:41:60:00:2A", "10.99.1.50");
  table.Assign("02:6D:41:60:00:2B", "10.99.1.51");  // never seen: goes once cleared
  table.Assign("", "");
  EXPECT_EQ(table.List(),
            "Orvan Ethernet Controller, 42, 02:6D:41:60:00:2A, eth0, 10.99.1.1, 0.0.0.0\r\n");
  EXPECT_TRUE(Receive(Request(kDhcpController, 1)).replies.empty());
  // Clearing one controller: an empty address.
  table.Assign("02:6D:41:60:00:2A", "10.99.1.50");
  table.Assign("02:6D:41:60:00:2A", "");
  EXPECT_EQ(table.Requests().begin()->second.Assigned(), 0u);
}

TEST_F(DhcpRequestTableTest, TextsThatDoNotParseChangeNothing) {
  table.SetRemember(true);
  table.Assign("02:6D:41:60:00:2A", "10.99.1.50");
  const auto before = table.Requests();
  const struct {
    const char* mac;
    const char* ip;
    const char* error;
  } cases[] = {{"02:6D:41:60:00", "10.99.1.9", "invalid MAC address: 02:6D:41:60:00"},
               {"02:6D:41:60:00:2A", "10.99.1.x", "invalid IP address: 10.99.1.x"},
               {"02:6D:41:60:00:2A", "10,99,1,9", "invalid IP address: 10,99,1,9"}};
  for (const auto& c : cases) {
    try {
      table.Assign(c.mac, c.ip);
      ADD_FAILURE() << c.mac << " " << c.ip << " was taken";
    } catch (const std::invalid_argument& error) {
      EXPECT_EQ(std::string(error.what()), c.error);
    }
    ASSERT_EQ(table.Requests().size(), 1u);
    EXPECT_EQ(table.Requests().begin()->second.image, before.begin()->second.image);
  }
}

TEST_F(DhcpRequestTableTest, AFullListGivesUpItsOldestUnassignedRequestNeverAnAssignedOne) {
  table.SetRemember(true);
  auto mac = [](int i) {
    return MacAddress{
        0x02, 0x6D, 0x41, 0x60, static_cast<std::uint8_t>(i >> 8), static_cast<std::uint8_t>(i)};
  };
  const auto limit = static_cast<int>(DhcpRequestTable::kMaxRequests);
  for (int i = 0; i < limit; ++i) {
    if (i == 1) Advance(1);  // controller 0 asked longest ago
    Receive(Request(mac(i), 1));
  }
  table.Assign(protocol::FormatMacAddress(mac(0)), "10.99.1.50");  // and now holds an address
  ASSERT_EQ(table.Requests().size(), DhcpRequestTable::kMaxRequests);

  Advance(1);
  Receive(Request(mac(limit), 1));
  EXPECT_EQ(table.Requests().size(), DhcpRequestTable::kMaxRequests);
  EXPECT_EQ(table.Requests().count(0x600000), 1u);  // assigned: stays
  EXPECT_EQ(table.Requests().count(0x600001), 0u);  // the oldest unassigned one went
  EXPECT_EQ(table.Requests().count(0x600000 + limit), 1u);

  // Full of assigned controllers: a newcomer is not taken, and assigning one more fails.
  for (int i = 1; i <= limit; ++i) {
    if (i != 1) table.Assign(protocol::FormatMacAddress(mac(i)), "10.99.1.51");
  }
  const auto held = table.Requests().size();
  Receive(Request(mac(limit + 1), 1));
  EXPECT_EQ(table.Requests().size(), held);
  EXPECT_EQ(table.Requests().count(0x600000 + limit + 1), 0u);
  EXPECT_THROW(table.Assign(protocol::FormatMacAddress(mac(limit + 2)), "10.99.1.52"),
               std::length_error);
}

TEST_F(DhcpRequestTableTest, RememberingAndItsAssignmentsGoIntoTheSettingsAndComeBack) {
  boost::property_tree::ptree root;
  root.put("dhcp.assign.mac", "stale");
  root.put(ConfigStore::kServerName, "kept");
  table.SaveTo(root, 5000);
  EXPECT_EQ(root.get<int>(ConfigStore::kDhcpTimeout), 5000);
  EXPECT_FALSE(root.get<bool>(ConfigStore::kDhcpRemember));
  EXPECT_EQ(root.get_child(ConfigStore::kDhcp).count("assign"), 0u);
  EXPECT_EQ(root.get<std::string>(ConfigStore::kServerName), "kept");

  table.SetRemember(true);
  table.Assign("02:6D:41:60:00:2A", "10.99.1.50");
  table.Assign("02:6d:41:08:01:02", "10.99.1.60");
  table.Assign("02:6D:41:60:00:2B", "");
  table.SaveTo(root, -1);
  const auto& section = root.get_child(ConfigStore::kDhcp);
  EXPECT_EQ(section.count("timeout"), 1u);
  EXPECT_EQ(section.count("assign"), 2u);
  EXPECT_EQ(root.get<std::string>("dhcp.assign.mac"), "02:6D:41:08:01:02");
  EXPECT_EQ(root.get<std::string>("dhcp.assign.ip"), "10.99.1.60");

  DhcpRequestTable restarted([this] { return now; });
  restarted.LoadFrom(root);
  EXPECT_TRUE(restarted.Remember());
  ASSERT_EQ(restarted.Requests().size(), 2u);
  EXPECT_EQ(restarted.Requests().at(0x60002A).Assigned(), 0x0A630132u);
  EXPECT_FALSE(restarted.Requests().at(0x60002A).lastSeen);

  // A file of before remembering was stored reads as off; broken entries are skipped.
  boost::property_tree::ptree old;
  old.put(ConfigStore::kDhcpTimeout, -1);
  boost::property_tree::ptree broken;
  broken.put("mac", "02:6D:41");
  broken.put("ip", "10.99.1.9");
  old.get_child(ConfigStore::kDhcp).add_child("assign", broken);
  DhcpRequestTable fromOld([this] { return now; });
  fromOld.LoadFrom(old);
  EXPECT_FALSE(fromOld.Remember());
  EXPECT_TRUE(fromOld.Requests().empty());
}

}  // namespace
