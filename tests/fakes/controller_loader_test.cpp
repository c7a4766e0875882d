// The fake controller's firmware side through its core: images whole and acknowledged with
// their checksums checked, the hex session, the burns, and loads that end early.
#include "fakes/controller_core.hpp"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "support/firmware_files.hpp"

namespace {

using orvan::fakes::ControllerCore;
using orvan::fakes::ControllerPeer;
using Replies = std::vector<std::string>;

const std::string kUnlockWhole("\x06\x05$3e7d, $91c8\r", 15);
const std::string kUnlockAcknowledged("\x06\x05$3e7d,$91c8,1\r", 16);

class Peer : public ControllerPeer {
public:
  Peer() : ControllerPeer({false, 23}, 4000) {}
  void Send(const std::string& bytes, bool) override { replies.push_back(bytes); }
  Replies replies;
};

TEST(ControllerLoader, WholeImageIsStagedUntilTheBurnAndDhcpComesBackOn) {
  ControllerCore core;
  auto peer = std::make_shared<Peer>();
  const auto records = SRecordImage("firmware bytes");
  const std::string image = Lines(records, "\r\n", false);  // the end record without its CR
  core.Input(peer, "DH0\r" + kUnlockWhole + image.substr(0, 9));
  core.Input(peer, image.substr(9));
  EXPECT_EQ(peer->replies, (Replies{":", ":"}));
  EXPECT_EQ(core.Firmware().burns, 0u) << "staged, not burned";
  core.Input(peer, "\r\nBN\rDH?\r");
  EXPECT_EQ(peer->replies, (Replies{":", ":", ":", "1\r\n:"}));
  EXPECT_EQ(core.Firmware().image, Lines(records, "\r"));
  EXPECT_EQ(core.Firmware().burns, 1u);
}

TEST(ControllerLoader, BadRecordIsRefusedAndTheRestAreCommands) {
  ControllerCore core;
  auto peer = std::make_shared<Peer>();
  std::string bad = SRecord('1', 0, "ab");
  bad.back() = bad.back() == '0' ? '1' : '0';  // checksum off by one
  core.Input(peer, kUnlockWhole + bad + "\r\nSH\r");
  EXPECT_EQ(peer->replies, (Replies{"?", ":", ":"}));  // the CR after it is an empty command
  // Bytes no S-record holds are refused at once.
  core.Input(peer, kUnlockWhole + std::string("S1\x01", 3) + "SH\r");
  EXPECT_EQ(peer->replies, (Replies{"?", ":", ":", "?", ":"}));
  core.Input(peer, "BN\r");
  EXPECT_EQ(core.Firmware().burns, 0u);
}

TEST(ControllerLoader, AcknowledgedImageAnswersEveryLineAndTheEndAtItsCr) {
  ControllerCore core;
  auto peer = std::make_shared<Peer>();
  const auto records = SRecordImage("x");
  core.Input(peer, kUnlockAcknowledged + records[0] + "\r\n\r");
  core.Input(peer, "\n" + records[1] + "\r\n" + records[2]);
  EXPECT_EQ(peer->replies, (Replies{"\x06", "\x06", "\x06", "\x06"}));
  core.Input(peer, "\rBN $7A41C0B9\r");
  EXPECT_EQ(peer->replies.back(), ":");
  EXPECT_EQ(peer->replies.at(4), "\x06:");
  EXPECT_EQ(core.Firmware().image, Lines(records, "\r"));
}

TEST(ControllerLoader, HexSessionAndTheMonitorsDirectBurn) {
  ControllerCore core;
  auto peer = std::make_shared<Peer>();
  const auto records = HexImage("data");
  std::string bad = records[0];
  bad[3] = bad[3] == '0' ? '1' : '0';
  core.Input(peer, "FUH" + records[0] + "\rRJ1\rFUC\rFUH" + records[0] + "\rFUH" + bad + "\rFUH" +
                       records[1] + "\rRJ0\r");
  EXPECT_EQ(peer->replies, (Replies{"?", ":", ":", ":", "?", ":", ":"}));
  EXPECT_EQ(core.Firmware().hex, records);

  core.SetMonitor(true);
  const auto image = SRecordImage("m", false);
  core.Input(peer, kUnlockWhole + Lines(image, "\r"));
  EXPECT_EQ(core.Firmware().image, Lines(image, "\r"));
}

TEST(ControllerLoader, LoadThatEndsEarlyLeavesTheNextConnectionTakingCommands) {
  ControllerCore core;
  auto first = std::make_shared<Peer>();
  core.Input(first, "RJ1\rFUC\r" + kUnlockWhole + SRecordImage("y")[0].substr(0, 5));
  first.reset();  // the connection dropped mid-image
  auto next = std::make_shared<Peer>();
  core.Input(next, "MG 7\rFUH" + HexImage("z")[0] + "\rBN\r");
  EXPECT_EQ(next->replies, (Replies{"7\r\n:", "?", ":"}));
  EXPECT_EQ(core.Firmware().burns, 0u);
}

}  // namespace
