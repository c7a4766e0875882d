// Programs, arrays and the information line over a direct Ethernet handle against the fake
// controller at 127.0.0.2 (in a namespace of its own); each case checks the bytes it received.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "api/orv_con.hpp"
#include "fakes/fake_controller.hpp"
#include "pelko.h"

namespace {

using namespace orvan;

const fakes::FakeChannel kTcpCommands{false, 23};

fakes::FakeControllerSettings AtItsAddress() {
  fakes::FakeControllerSettings settings;
  settings.address = "127.0.0.2";
  settings.commandPort = 23;
  settings.unsolicitedPort = 60007;
  return settings;
}

class DirectRoad : public ::testing::TestWithParam<bool> {
protected:
  // The parameter: the controller acknowledges download lines (UC bit 1).
  void SetUp() override {
    fakes::FakeControllerSettings settings;
    settings.address = "127.0.0.2";
    settings.commandPort = 23;
    settings.unsolicitedPort = 60007;
    settings.identity.identity = "VKTA240 Rev 1.0b";
    settings.identity.capabilities = std::string("PR 80,4000,1\r\nUC ") + (GetParam() ? "2" : "0");
    controller = std::make_unique<fakes::FakeController>(settings);
    controller->Start();
    controller->DefineArray("DATA", 8);
    ASSERT_EQ(OrvOpen("127.0.0.2 -d -t 2000", &handle), 0);
    controller->ClearLog();
  }
  void TearDown() override {
    if (handle) {
      EXPECT_EQ(OrvClose(handle), 0);
    }
  }

  // What reached the command port since the last look.
  std::string Sent() {
    const std::string bytes = controller->ReceivedBytes(kTcpCommands);
    controller->ClearLog();
    return bytes;
  }

  std::unique_ptr<fakes::FakeController> controller;
  OrvCon* handle = nullptr;
};

TEST_P(DirectRoad, ProgramGoesDownAndComesBack) {
  ASSERT_EQ(OrvProgramDownload(handle, "#A\nMG \"hi\"; WT 10\nEN", nullptr), 0);
  const std::string sent = Sent();
  const std::string opening = GetParam() ? "DL , 1\r" : "DL \r";
  const std::string body = opening + "#A\rMG \"hi\"; WT 10\rEN\r\\";
  ASSERT_GE(sent.size(), body.size());
  EXPECT_EQ(sent.substr(0, 3), "ST\r");
  EXPECT_EQ(sent.substr(sent.size() - body.size()), body);
  EXPECT_EQ(controller->Program(), "#A\rMG \"hi\"; WT 10\rEN\r");

  char listing[64];
  ASSERT_EQ(OrvProgramUpload(handle, listing, sizeof listing), 0);
  EXPECT_STREQ(listing, "#A\r\nMG \"hi\"; WT 10\r\nEN");
  EXPECT_EQ(Sent(), "UL\r");
}

TEST_P(DirectRoad, LongProgramStreamsWhole) {
  std::string program;
  for (int i = 0; i < 300; ++i) program += "MG " + std::to_string(i) + "\n";
  ASSERT_EQ(OrvProgramDownload(handle, program.c_str(), ""), 0);
  std::string expected = program;
  for (auto& c : expected) c = c == '\n' ? '\r' : c;
  EXPECT_EQ(controller->Program(), expected);
  const std::string sent = Sent();
  EXPECT_EQ(sent.substr(sent.size() - expected.size() - 1), expected + "\\");
}

TEST_P(DirectRoad, ArrayGoesDownAndComesBack) {
  ASSERT_EQ(OrvArrayDownload(handle, "DATA", 1, 3, "1.5,2,-3"), 0);
  const std::string sent = Sent();
  const std::string body =
      GetParam() ? "QD DATA[],1,3,1\r1.5,2,-3\r\\" : "QD DATA[],1,3\r1.5,2,-3\\";
  EXPECT_EQ(sent, "LA\r" + body);
  EXPECT_EQ(controller->Array("DATA"), (std::vector<double>{0, 1.5, 2, -3, 0, 0, 0, 0}));

  char values[64];
  ASSERT_EQ(OrvArrayUpload(handle, "DATA", 0, 3, -1, values, sizeof values), 0);
  EXPECT_STREQ(values, "0.0000,1.5000,2.0000,-3.0000");
  EXPECT_EQ(Sent(), "QU DATA[], 0, 3, \r");

  EXPECT_EQ(OrvArrayDownload(handle, "ATA", 0, 1, "1"), -1200);
  EXPECT_EQ(Sent(), "LA\r");
}

INSTANTIATE_TEST_SUITE_P(AcknowledgedAndBlind, DirectRoad, ::testing::Bool());

TEST(DirectRoadMonitor, InfoAndRecordsInAndOutOfTheMonitor) {
  fakes::FakeControllerSettings settings;
  settings.address = "127.0.0.2";
  settings.commandPort = 23;
  settings.unsolicitedPort = 60007;
  fakes::FakeController controller(settings);
  controller.Start();
  OrvCon* handle = nullptr;
  ASSERT_EQ(OrvOpen("127.0.0.2 -d -t 2000", &handle), 0);
  EXPECT_EQ(handle->connection.Info(), "127.0.0.2, 1.0b, 1234");

  OrvDataRecord record{};
  ASSERT_EQ(OrvRecord(handle, &record, 0), 0);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(record.bytes), 64),
            fakes::FakeController::MakeRecord(64));

  // A read holding bytes with bit 7 set is followed by a line feed; let it arrive first.
  ASSERT_TRUE(controller.WaitForBytes(kTcpCommands, "QR\r\n"));
  controller.SetMonitor(true);
  controller.ClearLog();
  EXPECT_EQ(handle->connection.Info(), "monitor 1.0");
  EXPECT_EQ(controller.ReceivedBytes(kTcpCommands), "\r\x12\r");
  EXPECT_EQ(OrvClose(handle), 0);
}

// A reply that comes after its command timed out is never taken for a later command's reply,
// whether it arrived before the next command or while that one was under way, and also not
// when the next exchange is a record read, which the command channel makes itself.
TEST(DirectRoadLateReply, IsNeverALaterExchangesReply) {
  using namespace std::chrono_literals;
  fakes::FakeController controller(AtItsAddress());
  controller.Start();
  OrvCon* handle = nullptr;
  ASSERT_EQ(OrvOpen("127.0.0.2 -d -t 400", &handle), 0);
  const struct {
    const char* what;
    bool arrivedFirst;
    bool record;
  } cases[] = {{"arrived before the next command", true, false},
               {"arrives during the next command", false, false},
               {"arrives during a record read", false, true}};
  char reply[64];
  uint32_t length = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    fakes::FakeReply slow;
    slow.bytes = "late\r\n:";
    slow.once = true;
    slow.delay = 600ms;
    controller.Script("MG \"slow\"", slow);
    EXPECT_EQ(OrvCommand(handle, "MG \"slow\"", reply, sizeof reply, &length), -1100);
    if (c.arrivedFirst) std::this_thread::sleep_for(500ms);
    if (c.record) {
      OrvDataRecord record{};
      ASSERT_EQ(OrvRecord(handle, &record, 0), 0);
      EXPECT_EQ(std::string(reinterpret_cast<char*>(record.bytes), 64),
                fakes::FakeController::MakeRecord(64));
    }
    for (const std::string word : {"next", "after"}) {
      ASSERT_EQ(OrvCommand(handle, ("MG \"" + word + "\"").c_str(), reply, sizeof reply, &length),
                0);
      EXPECT_EQ(std::string(reply), word + "\r\n:");
    }
  }
  EXPECT_EQ(OrvClose(handle), 0);
}

}  // namespace
