// The TCP channel against the fake controller on loopback: connect, reads with pending
// receives and surplus bytes, the line-feed acknowledgement, chunked paced writes, records,
// and controllers that close, stall or babble.
#include "network/tcp_device.hpp"

#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <string>
#include <vector>

#include "core/orvan_error.hpp"
#include "core/orvan_options.hpp"
#include "fakes/error_code.hpp"
#include "fakes/fake_controller.hpp"
#include "identify/description.hpp"

namespace {

using namespace orvan;
using orvan::fakes::CodeOf;
using std::chrono::milliseconds;
using std::chrono::steady_clock;

class TcpDeviceTest : public ::testing::Test {
protected:
  void SetUp() override {
    controller.Start();
    options->address = "127.0.0.1";
    options->commandPort = controller.CommandPort();
    options->unsolicitedPort = controller.UnsolicitedPort();
    options->timeout = 1000;
  }

  std::shared_ptr<TcpDevice> OpenDevice() {
    auto device = std::make_shared<TcpDevice>(io);
    device->Open(options);
    // Bytes the controller sends on its own need the connection accepted on its side.
    EXPECT_TRUE(controller.WaitForConnections(++connections));
    return device;
  }

  fakes::FakeChannel CommandSide() const { return {false, controller.CommandPort()}; }

  boost::asio::io_context io;
  size_t connections = 0;
  fakes::FakeController controller;
  std::shared_ptr<OrvanOptions> options = std::make_shared<OrvanOptions>();
};

TEST_F(TcpDeviceTest, OpensExchangesCommandsAndCloses) {
  auto device = OpenDevice();
  EXPECT_TRUE(device->IsOpen());
  EXPECT_EQ(device->BusType(), kBusTcp);
  ASSERT_TRUE(device->description);
  EXPECT_EQ(&device->DescribedDevice(), device.get());
  EXPECT_EQ(device->Command("MG \"hello\"", true, -1, true), "hello");
  EXPECT_EQ(device->Command("\x12\x16", true, -1, true), "VKT4140 Rev 1.0b");
  EXPECT_EQ(CodeOf([&] { device->Command("NOPE", true, -1, true); }), -10000);

  device->description->identified = true;
  device->Close();
  EXPECT_FALSE(device->IsOpen());
  EXPECT_FALSE(device->description->identified);
  EXPECT_EQ(controller.TcpConnections(), 1u);
}

TEST_F(TcpDeviceTest, UnsolicitedPortFlagConnectsToP2) {
  auto device = std::make_shared<TcpDevice>(io);
  device->SetOption(kOptionUnsolicitedPort, 1);
  device->Open(options);
  device->Command("CFI", false, -1, true);
  EXPECT_EQ(controller.CommandsOn({false, controller.UnsolicitedPort()}),
            std::vector<std::string>{"CFI"});
}

TEST_F(TcpDeviceTest, ConnectFailureIsMinus1101) {
  options->commandPort = 1;  // nothing listens there
  auto device = std::make_shared<TcpDevice>(io);
  EXPECT_EQ(CodeOf([&] { device->Open(options); }), -1101);
  EXPECT_FALSE(device->IsOpen());
}

TEST_F(TcpDeviceTest, ReadWithoutWaitReturnsAtOnceAndZeroLengthIsRefused) {
  auto device = OpenDevice();
  std::array<char, 16> buffer;
  EXPECT_EQ(device->Read(buffer.data(), buffer.size(), true, 0), 0u);
  EXPECT_EQ(CodeOf([&] { device->Read(buffer.data(), 0, true, 100); }), -1103);
}

TEST_F(TcpDeviceTest, TimedOutReadLeavesItsReceiveForTheNextRead) {
  auto device = OpenDevice();
  std::array<char, 406> buffer;
  const auto start = steady_clock::now();
  EXPECT_EQ(CodeOf([&] { device->Read(buffer.data(), buffer.size(), true, 50); }), -1100);
  EXPECT_GE(steady_clock::now() - start, milliseconds(50));

  // The receive still pending reads up to 406 bytes; a later caller with a small buffer gets
  // only what fits, and the surplus comes with the following read.
  controller.SendTcp(controller.CommandPort(), "abcdefghij");
  std::array<char, 4> small;
  ASSERT_EQ(device->Read(small.data(), small.size(), true, 1000), 4u);
  EXPECT_EQ(std::string(small.data(), 4), "abcd");
  EXPECT_GT(device->BytesAvailable(), 0);
  ASSERT_EQ(device->Read(buffer.data(), buffer.size(), true, 1000), 6u);
  EXPECT_EQ(std::string(buffer.data(), 6), "efghij");
}

TEST_F(TcpDeviceTest, LongOrUnsolicitedReadsAreAcknowledgedWithALineFeed) {
  struct Case {
    std::string bytes;
    bool lineFeed;
  };
  const std::array<Case, 3> cases{{
      {std::string(393, 'a'), false},
      {std::string(394, 'b'), true},
      {"x\xC1y", true},
  }};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.bytes.size());
    controller.ClearLog();
    auto device = OpenDevice();
    controller.SendTcp(controller.CommandPort(), c.bytes);
    std::string got;
    std::array<char, 406> buffer;
    while (got.size() + device->UnsolicitedCount() < c.bytes.size()) {
      got.append(buffer.data(), device->Read(buffer.data(), buffer.size(), true, 1000));
    }
    // Whatever the device sent before this command arrived ahead of it.
    device->Command("SH", false, -1, true);
    ASSERT_TRUE(controller.WaitForCommand("SH"));
    const std::string sent = controller.ReceivedBytes(CommandSide());
    EXPECT_EQ(sent, c.lineFeed ? "\nSH\r" : "SH\r");
    device->Close();
  }
}

TEST_F(TcpDeviceTest, SeparatesBit7BytesIntoTheMessageQueue) {
  auto device = OpenDevice();
  controller.SendTcp(controller.CommandPort(), "a\xC8\xC9z");
  std::array<char, 16> buffer;
  std::string text;
  while (text.size() < 2) {
    text.append(buffer.data(), device->Read(buffer.data(), buffer.size(), true, 1000));
  }
  EXPECT_EQ(text, "az");
  EXPECT_EQ(device->Message(buffer.data(), buffer.size(), 0), 2u);
  EXPECT_EQ(std::string(buffer.data(), 2), "HI");
}

TEST_F(TcpDeviceTest, WritesInChunksWithPacing) {
  struct Progress {
    std::vector<uint32_t> done;
  } progress;
  auto callback = [](uint32_t done, uint32_t, void* user) {
    static_cast<Progress*>(user)->done.push_back(done);
  };
  auto device = OpenDevice();
  device->SetCallback(callback, &progress);

  const std::string long_text(900, 'x');
  auto start = steady_clock::now();
  device->Write(long_text.data(), long_text.size(), -1, true);
  EXPECT_GE(steady_clock::now() - start, milliseconds(78));
  EXPECT_EQ(progress.done, (std::vector<uint32_t>{449, 898, 900}));

  progress.done.clear();
  device->Write(long_text.data(), 448, -1, true);
  EXPECT_EQ(progress.done, std::vector<uint32_t>{448});

  progress.done.clear();
  device->SetOption(kOptionPacing, 0);
  device->Write(long_text.data(), long_text.size(), -1, true);
  EXPECT_EQ(progress.done.back(), 900u);
  ASSERT_TRUE(controller.WaitForBytes(CommandSide(), std::string(900 + 448 + 900, 'x')));
}

TEST_F(TcpDeviceTest, RecordsComeThroughQR) {
  auto device = OpenDevice();
  EXPECT_EQ(CodeOf([&] { device->Record(false, -1); }), -1107);
  auto record = std::make_shared<OrvDataRecord>();
  device->SetRecordBuffer(record);
  EXPECT_EQ(CodeOf([&] { device->Record(true, -1); }), -1109);
  EXPECT_EQ(device->Record(false, -1), 0);
  const std::string expected = fakes::FakeController::MakeRecord(64);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(record->bytes), expected.size()), expected);
}

TEST_F(TcpDeviceTest, ControllersThatMisbehaveEndInTheirErrorCode) {
  struct Case {
    const char* name;
    fakes::FakeReply reply;
    int32_t code;
  };
  const std::array<Case, 3> cases{{
      {"closes mid-reply", {"12.5\r", true, true}, -1103},
      {"never answers", {"", false, true}, -1100},
      {"answers garbage", {"\x01\x02garbage without prompt", false, true}, -1100},
  }};
  options->timeout = 300;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    controller.Script("XQ", c.reply);
    auto device = OpenDevice();
    const auto start = steady_clock::now();
    EXPECT_EQ(CodeOf([&] { device->Command("XQ", true, -1, true); }), c.code);
    EXPECT_LT(steady_clock::now() - start, milliseconds(3000));
    device->Close();
  }
}

TEST_F(TcpDeviceTest, ConnectionDroppedByTheControllerIsAReadError) {
  auto device = OpenDevice();
  ASSERT_EQ(device->Command("", true, -1, true), "");
  controller.CloseConnections();
  std::array<char, 16> buffer;
  EXPECT_EQ(CodeOf([&] { device->Read(buffer.data(), buffer.size(), true, 1000); }), -1103);
}

}  // namespace
