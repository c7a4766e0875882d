// The direct Ethernet connection against the fake controller at 127.0.0.2 (TCP 23, UDP 23 and
// 60007, in a namespace of its own): channel choice, stream set-up, routing of messages,
// records and interrupts, and the whole road through the C interface.
#include "network/network_device.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "core/orvan_error.hpp"
#include "core/orvan_options.hpp"
#include "fakes/error_code.hpp"
#include "fakes/fake_controller.hpp"
#include "identify/description.hpp"
#include "pelko.h"

namespace {

using namespace orvan;
using orvan::fakes::CodeOf;
using std::chrono::milliseconds;
using std::chrono::steady_clock;

constexpr uint16_t kCommandPort = 23;
constexpr uint16_t kUnsolicitedPort = 60007;
const fakes::FakeChannel kTcpCommands{false, kCommandPort};
const fakes::FakeChannel kUdpCommands{true, kCommandPort};
const fakes::FakeChannel kUdpUnsolicited{true, kUnsolicitedPort};
const fakes::FakeChannel kTcpUnsolicited{false, kUnsolicitedPort};

fakes::FakeControllerSettings Settings() {
  fakes::FakeControllerSettings settings;
  settings.address = "127.0.0.2";
  settings.commandPort = kCommandPort;
  settings.unsolicitedPort = kUnsolicitedPort;
  return settings;
}

class NetworkDeviceTest : public ::testing::Test {
protected:
  NetworkDeviceTest() : controller(Settings()) {}

  void SetUp() override {
    controller.Start();
    options->address = "127.0.0.2";
    options->timeout = 1000;
    options->subscribeMG = options->subscribeDR = options->subscribeEI = true;
  }

  std::shared_ptr<NetworkDevice> OpenDevice() {
    auto device = std::make_shared<NetworkDevice>(io);
    device->Open(options);
    return device;
  }

  boost::asio::io_context io;
  fakes::FakeController controller;
  std::shared_ptr<OrvanOptions> options = std::make_shared<OrvanOptions>();
};

TEST_F(NetworkDeviceTest, DefaultsOpenTcpCommandsAndUdpStreams) {
  auto device = OpenDevice();
  EXPECT_TRUE(device->IsOpen());
  EXPECT_EQ(device->BusType(), kBusTcp);
  ASSERT_TRUE(device->UnsolicitedChannel());
  EXPECT_EQ(device->UnsolicitedChannel()->BusType(), kBusUdp);
  // One description, the command channel's, identified while opening.
  ASSERT_TRUE(device->description);
  EXPECT_EQ(device->description, device->CommandChannel()->description);
  // Identified through that channel, so the pacing it finds reaches the channel that writes.
  EXPECT_EQ(&device->DescribedDevice(), device->CommandChannel().get());
  EXPECT_TRUE(device->description->identified);
  EXPECT_EQ(device->description->identity, "VKT4140 Rev 1.0b");
  EXPECT_EQ(device->description->serialNumber, "1234");
  EXPECT_EQ(device->description->address, "127.0.0.2");

  const auto commands = controller.CommandsOn(kTcpCommands);
  ASSERT_GE(commands.size(), 2u);
  EXPECT_EQ(commands[0], "EO0");
  EXPECT_EQ(commands[1], "CW1");
  EXPECT_TRUE(std::find(commands.begin(), commands.end(), "\x12\x16") != commands.end());
  // This model has no interrupts: they are not asked for.
  EXPECT_EQ(controller.CommandsOn(kUdpUnsolicited),
            (std::vector<std::string>{"", "CFI", "DR,_WH"}));

  EXPECT_EQ(device->Command("MG \"ok\"", true, -1, true), "ok");
  device->Close();
  EXPECT_FALSE(device->IsOpen());
  EXPECT_FALSE(device->description->identified);
  EXPECT_TRUE(controller.WaitForCommand("IHS=>-1"));
}

TEST_F(NetworkDeviceTest, ReceivesMessagesRecordsAndInterrupts) {
  // A model with interrupts: the set-up asks for them too.
  fakes::FakeIdentity identity;
  identity.identity = "VKTA240 Rev 2.1a";
  controller.SetIdentity(identity);
  auto device = OpenDevice();
  EXPECT_EQ(device->description->interruptsSupported, 1);
  EXPECT_EQ(controller.CommandsOn(kUdpUnsolicited),
            (std::vector<std::string>{"", "CFI", "DR,_WH", "EI,,_WH"}));
  auto record = std::make_shared<OrvDataRecord>();
  device->SetRecordBuffer(record);

  controller.SendMessage("hello");
  std::array<char, 32> text{};
  EXPECT_EQ(device->Message(text.data(), text.size(), 1000), 5u);
  EXPECT_EQ(std::string(text.data(), 5), "hello");

  controller.SendRecord();
  EXPECT_EQ(device->Record(true, 1000), 1);
  EXPECT_EQ(std::memcmp(record->bytes, fakes::FakeController::MakeRecord(64).data(), 64), 0);

  controller.SendInterrupt("\x31\x32");
  EXPECT_EQ(device->Interrupt(1000), 0x31);
  EXPECT_EQ(device->Interrupt(0), 0x32);
  EXPECT_EQ(device->Interrupt(0), 0);
}

TEST_F(NetworkDeviceTest, CommandReadsKeepTheUnsolicitedChannelFlowing) {
  auto device = OpenDevice();
  auto record = std::make_shared<OrvDataRecord>();
  device->SetRecordBuffer(record);
  controller.SetRecord(fakes::FakeController::MakeRecord(80));
  controller.SendRecord();
  controller.SendMessage("m");
  // Nothing waits on the command side, whatever the other channel holds.
  EXPECT_EQ(device->BytesAvailable(), 0);

  device->Command("SH", true, -1, true);
  EXPECT_EQ(std::memcmp(record->bytes, fakes::FakeController::MakeRecord(80).data(), 80), 0);
  std::array<char, 8> text{};
  EXPECT_EQ(device->Message(text.data(), text.size(), 0), 1u);
  EXPECT_EQ(text[0], 'm');
  EXPECT_EQ(device->Record(true, 0), 1);
}

TEST_F(NetworkDeviceTest, MessagesSetAsideOnTheCommandSideAreDelivered) {
  auto device = OpenDevice();
  // Bit-7 bytes inside a reply stay with the TCP channel; bytes after a binary reply stay
  // with the composite's own queue. Message hands out both, then the UDP channel's.
  controller.Script("SH", {"\xC8\xC9\r\n:"});
  controller.Script("QR", {fakes::FakeController::MakeRecord(32) + ":" + "\xC1"});
  EXPECT_EQ(device->Command("SH", true, -1, true), "");
  EXPECT_EQ(device->Command("QR", true, -1, true), fakes::FakeController::MakeRecord(32));
  controller.SendMessage("Z");
  std::array<char, 16> text{};
  EXPECT_EQ(device->Message(text.data(), text.size(), 1000), 4u);
  EXPECT_EQ(std::string(text.data(), 4), "AHIZ");
}

TEST_F(NetworkDeviceTest, BytesAvailableCountsTheCommandSide) {
  auto device = OpenDevice();
  controller.SendTcp(kCommandPort, "?");
  for (int i = 0; i < 100 && device->BytesAvailable() == 0; ++i) {
    std::this_thread::sleep_for(milliseconds(5));
  }
  EXPECT_EQ(device->BytesAvailable(), 1);
  EXPECT_THROW(device->ReadChunk(0, true), OrvanError);
}

TEST_F(NetworkDeviceTest, ChannelKindsFollowTheOptions) {
  struct Case {
    int32_t command;
    int32_t unsolicited;
    int32_t busType;
    bool secondChannel;
  };
  const std::array<Case, 4> cases{{
      {kChannelTcp, kChannelNone, kBusTcp, false},
      {kChannelUdp, kChannelUdp, kBusUdp, true},
      {kChannelTcp, kChannelTcp, kBusTcp, true},
      {kChannelUdp, kChannelNone, kBusUdp, false},
  }};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.command * 10 + c.unsolicited);
    controller.ClearLog();
    options->commandType = c.command;
    options->unsolicitedType = c.unsolicited;
    auto device = OpenDevice();
    EXPECT_EQ(device->BusType(), c.busType);
    EXPECT_EQ(device->UnsolicitedChannel() != nullptr, c.secondChannel);
    EXPECT_EQ(device->Command("MG \"x\"", true, -1, true), "x");
    const auto& commandSide = c.command == kChannelTcp ? kTcpCommands : kUdpCommands;
    EXPECT_FALSE(controller.CommandsOn(commandSide).empty());
    if (c.unsolicited == kChannelTcp) {
      // Records and interrupts come only as datagrams: a TCP stream asks for messages alone.
      EXPECT_EQ(controller.CommandsOn(kTcpUnsolicited), std::vector<std::string>{"CFI"});
    }
    device->Close();
  }
}

TEST_F(NetworkDeviceTest, WithoutSecondChannelTheCommandChannelServesEverything) {
  options->unsolicitedType = kChannelNone;
  auto device = OpenDevice();
  auto record = std::make_shared<OrvDataRecord>();
  device->SetRecordBuffer(record);
  EXPECT_EQ(CodeOf([&] { device->Record(true, 100); }), -1109);
  EXPECT_EQ(CodeOf([&] { device->Interrupt(100); }), -1109);
  EXPECT_EQ(device->Record(false, -1), 0);
  EXPECT_EQ(std::memcmp(record->bytes, fakes::FakeController::MakeRecord(64).data(), 64), 0);

  controller.SendMessage("tcp");
  std::array<char, 8> text{};
  EXPECT_EQ(device->Message(text.data(), text.size(), 1000), 3u);
  EXPECT_EQ(std::string(text.data(), 3), "tcp");
}

TEST_F(NetworkDeviceTest, UnsolicitedChannelThatCannotOpenIsDropped) {
  controller.Script("", {"", false, false, true, kUnsolicitedPort});
  options->timeout = 300;
  auto device = OpenDevice();
  EXPECT_TRUE(device->IsOpen());
  EXPECT_EQ(device->UnsolicitedChannel(), nullptr);
  EXPECT_EQ(device->Command("MG \"alone\"", true, -1, true), "alone");
}

TEST_F(NetworkDeviceTest, CommandChannelFailuresEndTheOpen) {
  options->commandPort = 24;  // nothing listens there
  auto device = std::make_shared<NetworkDevice>(io);
  EXPECT_EQ(CodeOf([&] { device->Open(options); }), -1101);
  EXPECT_FALSE(device->IsOpen());

  options->commandPort = kCommandPort;
  options->commandType = kChannelUdp;
  options->timeout = 200;
  controller.Script("", {"", false, false, true, kCommandPort});
  EXPECT_EQ(CodeOf([&] { device->Open(options); }), -1100);
}

// A controller that takes the connection and never answers is no open connection; one that
// answers anything at all, a refusal or the monitor's prompt, still opens.
TEST_F(NetworkDeviceTest, OpenFailsOnlyWhenTheControllerNeverAnswers) {
  options->timeout = 300;
  const struct {
    const char* answer;
    int32_t code;
  } cases[] = {{"", -1101}, {"?", 0}, {">", 0}, {"partial", 0}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.answer);
    controller.Script("EO0", {c.answer, false, true});
    const size_t connections = controller.TcpConnections();
    auto device = std::make_shared<NetworkDevice>(io);
    std::string message;
    const auto start = steady_clock::now();
    EXPECT_EQ(CodeOf([&] { device->Open(options); }, &message), c.code);
    EXPECT_LT(steady_clock::now() - start, milliseconds(1500));
    EXPECT_EQ(device->IsOpen(), c.code == 0);
    if (c.code != 0) {
      EXPECT_EQ(message, "the controller did not answer");
    }
    EXPECT_EQ(controller.TcpConnections(), connections + 1);
    device->Close();
  }
}

TEST_F(NetworkDeviceTest, ControllerThatStopsAnsweringEndsInATimeout) {
  auto device = OpenDevice();
  options->timeout = 300;
  controller.Script("XQ", {"", false, true});
  auto start = steady_clock::now();
  EXPECT_EQ(CodeOf([&] { device->Command("XQ", true, -1, true); }), -1100);
  EXPECT_LT(steady_clock::now() - start, milliseconds(3000));
  controller.CloseConnections();
  EXPECT_EQ(CodeOf([&] { device->Command("TP", true, -1, true); }), -1103);
}

TEST(NetworkDeviceHandle, OpensAnEthernetControllerThroughTheCInterface) {
  fakes::FakeController controller(Settings());
  controller.Start();

  OrvCon* handle = nullptr;
  ASSERT_EQ(OrvOpen("127.0.0.2 -d --subscribe ALL", &handle), 0);
  ASSERT_NE(handle, nullptr);
  std::array<char, 64> reply{};
  uint32_t length = 0;
  EXPECT_EQ(OrvCommand(handle, "MG \"road\"", reply.data(), reply.size(), &length), 0);
  EXPECT_EQ(std::string(reply.data()).substr(0, 4), "road");

  controller.SendMessage("note");
  EXPECT_EQ(OrvMessage(handle, reply.data(), reply.size()), 0);
  EXPECT_STREQ(reply.data(), "note");

  controller.SendRecord();
  OrvDataRecord record{};
  EXPECT_EQ(OrvRecord(handle, &record, 1), 0);
  EXPECT_EQ(std::memcmp(record.bytes, fakes::FakeController::MakeRecord(64).data(), 64), 0);

  EXPECT_EQ(OrvClose(handle), 0);
  EXPECT_TRUE(controller.WaitForCommand("IHS=>-1"));
}

}  // namespace
