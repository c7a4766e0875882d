// The utility call's address list against the real server's search: a fake controller in a
// peer namespace answers the search over the peer's link, and the server pings it; a
// controller that stops answering echoes is listed in brackets. The device tree is the test's
// own and holds one serial port, which is listed and never pinged.
#include <gtest/gtest.h>

#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "fakes/controller_process.hpp"
#include "pelko.h"
#include "support/peer_namespaces.hpp"
#include "support/temporary_device_root.hpp"
#include "support/test_support.hpp"

namespace {

using orvan::fakes::ControllerProcess;

class UtilitySearchRoad : public testing::Test {
protected:
  static void SetUpTestSuite() { WriteCertificate(UseFreshDataFolder(), "utility search"); }

  void SetUp() override {
    ASSERT_EQ(peers.size(), 1u);
    ASSERT_EQ(peers[0].links.size(), 1u);
  }
  void TearDown() override {
    // The peer answers echoes again for whatever runs next in it.
    if (!peers.empty()) InPeer(peers[0], [] { IgnoreEchoes("0"); });
  }

  static void IgnoreEchoes(const char* on) {
    std::ofstream("/proc/sys/net/ipv4/icmp_echo_ignore_all") << on;
  }

  std::unique_ptr<ControllerProcess> StartController() {
    const PeerLink& link = peers[0].links[0];
    const auto command =
        InPeerCommand(peers[0], ORVAN_FAKE_CONTROLLER,
                      {"--address", link.peerAddress, "--p1", "23", "--p2", "60007", "--identity",
                       "VKT4140 Rev 1.0b", "--discovery", link.peerAddress});
    return std::make_unique<ControllerProcess>(
        command.front(), std::vector<std::string>(command.begin() + 1, command.end()));
  }

  static std::string List() {
    char text[1024];
    uint32_t length = sizeof text;
    const int32_t code = OrvUtility(nullptr, 259, text, &length);
    return code == 0 ? std::string(text) : "(code " + std::to_string(code) + ")";
  }

  TemporaryDeviceRoot devices;
  std::vector<PeerNamespace> peers = PeerNamespaces();
  RunningServer running;
};

TEST_F(UtilitySearchRoad, ControllerIsBracketedOnceItStopsAnsweringPings) {
  devices.Add("ttyS2");
  const auto controller = StartController();
  const PeerLink& link = peers[0].links[0];
  // The server's line after the controller's address: its answer, then where it was heard.
  const std::string rest =
      ", VKT4140 Rev 1.0b, " + link.localAddress + ", " + link.localInterface + "\n";
  EXPECT_EQ(List(), link.peerAddress + rest + "/dev/ttyS2\n");

  InPeer(peers[0], [] { IgnoreEchoes("1"); });
  EXPECT_EQ(List(), "(" + link.peerAddress + ")" + rest + "/dev/ttyS2\n");
}

}  // namespace
