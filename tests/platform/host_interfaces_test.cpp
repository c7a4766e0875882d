// Runs in a network namespace of its own whose interfaces the test makes: veth pairs and a tun
// device, some up, some down, with IPv4, IPv6 and loopback addresses. The host's own
// interfaces are never looked at.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "platform/host_interfaces.hpp"

namespace {

using platform::HostInterface;
using Mac = std::array<std::uint8_t, 6>;

void Ip(const std::string& arguments) {
  const std::string command = "ip " + arguments;
  ASSERT_EQ(std::system(command.c_str()), 0) << command;
}

class HostInterfaces : public testing::Test {
protected:
  static void SetUpTestSuite() {
    // Two addresses of different networks: the first one added counts.
    Ip("link add first type veth peer name ipv6only");
    Ip("link set first address 02:11:22:33:44:55");
    Ip("addr add 10.0.0.5/8 dev first");
    Ip("addr add 192.168.1.2/24 dev first");
    Ip("link set first up");
    Ip("addr add fd00::1/64 dev ipv6only");
    Ip("link set ipv6only up");
    // Up, but its first IPv4 address is the loopback address.
    Ip("link add looped type veth peer name down");
    Ip("addr add 127.0.0.1/8 dev looped");
    Ip("addr add 10.5.0.1/24 dev looped");
    Ip("link set looped up");
    Ip("addr add 10.6.0.1/24 dev down");
    // No hardware address at all.
    Ip("tuntap add tunnel mode tun");
    Ip("addr add 10.2.0.1/24 dev tunnel");
    Ip("link set tunnel up");
  }
};

TEST_F(HostInterfaces, ListsEachUsableInterfaceOnceInTheSystemsOrder) {
  std::vector<HostInterface> interfaces(1);  // what a previous listing left
  ASSERT_TRUE(platform::ListHostInterfaces(interfaces));
  ASSERT_EQ(interfaces.size(), 2u);

  EXPECT_EQ(interfaces[0].name, "first");
  EXPECT_EQ(interfaces[0].address, "10.0.0.5");
  EXPECT_EQ(interfaces[0].netmask, "255.0.0.0");
  EXPECT_EQ(interfaces[0].mac, (Mac{0x02, 0x11, 0x22, 0x33, 0x44, 0x55}));
  EXPECT_FALSE(interfaces[0].dhcpEnabled);

  EXPECT_EQ(interfaces[1].name, "tunnel");
  EXPECT_EQ(interfaces[1].address, "10.2.0.1");
  EXPECT_EQ(interfaces[1].netmask, "255.255.255.0");
  EXPECT_EQ(interfaces[1].mac, Mac{});

  // Listing again rebuilds the list instead of adding to it.
  ASSERT_TRUE(platform::ListHostInterfaces(interfaces));
  EXPECT_EQ(interfaces.size(), 2u);
}

}  // namespace
