// Firmware over the buses beyond direct Ethernet: a serial line (the fake controller on a pty,
// whose line settings are logged with every chunk it receives), a simulated card, the server's
// TCP resource, where ESC bytes in the length and the image must reach the controller
// unchanged, and the server's serial resource.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "api/orv_con.hpp"
#include "fakes/fake_controller.hpp"
#include "fakes/simulated_card.hpp"
#include "pelko.h"
#include "support/firmware_files.hpp"
#include "support/test_support.hpp"

namespace {

using namespace orvan;

void ExpectCommands(OrvCon* handle) {
  char reply[32];
  ASSERT_EQ(OrvCommand(handle, "MG 42", reply, sizeof reply, nullptr), 0);
  EXPECT_STREQ(reply, "42\r\n:");
}

int32_t Load(OrvCon* handle, FirmwareFolder& folder, const std::string& name,
             const std::string& contents) {
  return OrvFirmwareDownload(handle, folder.Write(name, contents).c_str());
}

class SerialFirmware : public ::testing::Test {
protected:
  void SetUp() override {
    fakes::FakeControllerSettings settings;
    settings.pty = link;
    controller = std::make_unique<fakes::FakeController>(settings);
    controller->Start();
    ASSERT_EQ(OrvOpen((link + " -d --baud 9600 -t 2000").c_str(), &handle), 0);
    controller->ClearLog();
  }
  void TearDown() override {
    if (handle) EXPECT_EQ(OrvClose(handle), 0);
  }

  FirmwareFolder folder;
  const std::string link = (folder.root / "dev" / "ttyV1").string();
  std::unique_ptr<fakes::FakeController> controller;
  OrvCon* handle = nullptr;
};

TEST_F(SerialFirmware, BinaryImageAtTheFastRateWithOneStopBitThroughout) {
  const std::string image = BinaryImage(1000);
  ASSERT_EQ(Load(handle, folder, "controller.bin", image), 0) << handle->lastError;
  EXPECT_EQ(controller->Firmware().binary, image);

  // The data went at 115200; the stages after it at the line's own 9600. Each chunk is placed
  // by its offset in the whole stream the controller received.
  std::string stream;
  for (const auto& chunk : controller->Received()) stream += chunk.bytes;
  const size_t opened = stream.find("D4E29,A6B1\r");
  ASSERT_NE(opened, std::string::npos);
  const size_t dataBegin = opened + 11 + 1 + 1 + 3;
  const size_t dataEnd = dataBegin + image.size();
  size_t offset = 0, fast = 0, after = 0;
  for (const auto& chunk : controller->Received()) {
    EXPECT_FALSE(chunk.line.twoStopBits) << "one stop bit throughout";
    const size_t begin = offset;
    offset += chunk.bytes.size();
    // The rate changes after the speed step's status, before the length bytes go.
    if (begin >= dataBegin - 3 && offset <= dataEnd) {
      EXPECT_EQ(chunk.line.baud, 115200u) << "at " << begin;
      ++fast;
    } else if (begin >= dataEnd) {
      EXPECT_EQ(chunk.line.baud, 9600u) << "at " << begin;
      ++after;
    }
  }
  EXPECT_GT(fast, 0u);
  EXPECT_GT(after, 0u);
  ExpectCommands(handle);
}

TEST_F(SerialFirmware, TextImageWithTwoStopBitsDuringTheLoad) {
  const std::string image =
      Lines({SRecord('0', 0, "hdr"), SRecord('1', 0, "data"), SRecord('9', 0, "")}, "\r\n");
  ASSERT_EQ(Load(handle, folder, "controller.s19", image), 0) << handle->lastError;
  EXPECT_EQ(controller->Firmware().image,
            Lines({SRecord('0', 0, "hdr"), SRecord('1', 0, "data"), SRecord('9', 0, "")}, "\r"));
  bool sawImage = false;
  for (const auto& chunk : controller->Received()) {
    if (chunk.bytes.find("S1") != std::string::npos) {
      sawImage = true;
      EXPECT_TRUE(chunk.line.twoStopBits);
    }
  }
  EXPECT_TRUE(sawImage);
  controller->ClearLog();
  ExpectCommands(handle);
  const auto received = controller->Received();
  ASSERT_FALSE(received.empty());
  EXPECT_FALSE(received.back().line.twoStopBits) << "one stop bit again after the load";
}

TEST(CardFirmware, BinaryImageOnTheSimulatedCard) {
  fakes::SimulatedCards cards;
  fakes::SimulatedCard& card = cards.Insert(1);
  OrvCon* handle = nullptr;
  ASSERT_EQ(OrvOpen("RUREZIVU1 -d -t 2000", &handle), 0);
  FirmwareFolder folder;
  const std::string image = BinaryImage(1000);
  EXPECT_EQ(Load(handle, folder, "card.bin", image), 0) << handle->lastError;
  EXPECT_EQ(card.Controller().Firmware().binary, image);
  ExpectCommands(handle);
  EXPECT_EQ(OrvClose(handle), 0);
}

class ServerFirmware : public ::testing::Test {
protected:
  static void SetUpTestSuite() { WriteCertificate(UseFreshDataFolder(), "server firmware"); }
  void SetUp() override {
    fakes::FakeControllerSettings settings;
    settings.address = "127.0.0.2";
    settings.commandPort = 23;
    settings.unsolicitedPort = 60007;
    controller = std::make_unique<fakes::FakeController>(settings);
    controller->Start();
    ASSERT_EQ(OrvOpen("127.0.0.2 -t 3000", &handle), 0);
  }
  void TearDown() override {
    if (handle) EXPECT_EQ(OrvClose(handle), 0);
  }

  RunningServer running;
  FirmwareFolder folder;
  std::unique_ptr<fakes::FakeController> controller;
  OrvCon* handle = nullptr;
};

TEST_F(ServerFirmware, BinaryImageWithEscInItsLengthAndDataPassesUnchanged) {
  // 0x00011B: the length's last byte is ESC as well.
  const std::string image = BinaryImage(0x11B);
  ASSERT_EQ(Load(handle, folder, "controller.bin", image), 0) << handle->lastError;
  EXPECT_EQ(controller->Firmware().binary, image);
  ExpectCommands(handle);
}

TEST_F(ServerFirmware, FailedBinaryLoadLeavesTheHandleTakingCommands) {
  controller->ScriptLoaderStatus(fakes::BinaryStep::Data, 0x4321);
  EXPECT_EQ(Load(handle, folder, "controller.bin", BinaryImage(500)), -30008);
  ExpectCommands(handle);
}

TEST_F(ServerFirmware, BinaryImageThroughTheServersSerialResource) {
  fakes::FakeControllerSettings settings;
  settings.pty = (folder.root / "dev" / "ttyV2").string();
  fakes::FakeController serial(settings);
  serial.Start();
  OrvCon* line = nullptr;
  ASSERT_EQ(OrvOpen((settings.pty + " --baud 9600 -t 3000").c_str(), &line), 0);
  const std::string image = BinaryImage(1000);
  EXPECT_EQ(Load(line, folder, "line.bin", image), 0) << line->lastError;
  EXPECT_EQ(serial.Firmware().binary, image);
  // The data at the loader's rate, the line's own rate again afterwards.
  bool fast = false;
  for (const auto& chunk : serial.Received()) fast = fast || chunk.line.baud == 115200u;
  EXPECT_TRUE(fast);
  serial.ClearLog();
  ExpectCommands(line);
  const auto after = serial.Received();
  ASSERT_FALSE(after.empty());
  EXPECT_EQ(after.back().line.baud, 9600u);
  EXPECT_EQ(OrvClose(line), 0);
}

}  // namespace
