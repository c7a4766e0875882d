// Firmware loads over a direct Ethernet handle into the fake controller at 127.0.0.2 (in a
// namespace of its own), with progress: every kind of file, a package of several parts, the
// refusals, and a controller that takes commands again after any of them.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "api/orv_con.hpp"
#include "fakes/fake_controller.hpp"
#include "network/network_device.hpp"
#include "pelko.h"
#include "support/firmware_files.hpp"

namespace {

using namespace orvan;
using Progress = std::vector<std::pair<uint32_t, uint32_t>>;

const fakes::FakeChannel kTcpCommands{false, 23};
const std::string kData = "The controller's new firmware, a few records long.";

class FirmwareRoad : public ::testing::Test {
protected:
  void Start(const std::string& identity = "VKT4140 Rev 1.0b",
             const std::string& capabilities = "") {
    fakes::FakeControllerSettings settings;
    settings.address = "127.0.0.2";
    settings.commandPort = 23;
    settings.unsolicitedPort = 60007;
    settings.identity.identity = identity;
    settings.identity.capabilities = capabilities;
    controller = std::make_unique<fakes::FakeController>(settings);
    controller->Start();
    ASSERT_EQ(OrvOpen("127.0.0.2 -d -t 2000", &handle), 0);
    handle->SetCallback(
        [](uint32_t done, uint32_t total, void* user) {
          static_cast<FirmwareRoad*>(user)->progress.emplace_back(done, total);
        },
        this);
    controller->ClearLog();
  }
  void TearDown() override {
    if (handle) EXPECT_EQ(OrvClose(handle), 0);
  }

  int32_t Load(const std::string& name, const std::string& contents) {
    progress.clear();
    controller->ClearLog();
    return OrvFirmwareDownload(handle, folder.Write(name, contents).c_str());
  }
  std::string LastError() const { return handle->lastError; }
  // The controller answers commands on the handle, as after any load or refusal.
  void ExpectCommands() {
    char reply[32];
    ASSERT_EQ(OrvCommand(handle, "MG 42", reply, sizeof reply, nullptr), 0);
    EXPECT_STREQ(reply, "42\r\n:");
  }
  // Reports only grow and end at the whole.
  void ExpectProgressTo(uint32_t total) {
    ASSERT_FALSE(progress.empty());
    for (size_t i = 1; i < progress.size(); ++i)
      EXPECT_LE(progress[i - 1].first, progress[i].first) << "report " << i;
    EXPECT_EQ(progress.back(), std::make_pair(total, total));
  }
  bool Unlocked() const {
    return controller->ReceivedBytes(kTcpCommands).find("\x06\x05") != std::string::npos;
  }

  FirmwareFolder folder;
  std::unique_ptr<fakes::FakeController> controller;
  OrvCon* handle = nullptr;
  Progress progress;
};

TEST_F(FirmwareRoad, TextImageIsBurnedAndTheControllerIdentifiedAgain) {
  Start();
  char reply[16];
  ASSERT_EQ(OrvCommand(handle, "DH0", reply, sizeof reply, nullptr), 0);
  const auto records = SRecordImage(kData + kData + kData, false);
  const std::string image = Lines(records, "\r\n");
  ASSERT_EQ(Load("controller.e19", image), 0) << LastError();
  EXPECT_EQ(controller->Firmware().image, Lines(records, "\r"));
  EXPECT_FALSE(controller->Firmware().dhcp) << "DHCP off again after the new image";
  ExpectProgressTo(image.size());
  const auto commands = controller->CommandsOn(kTcpCommands);
  ASSERT_FALSE(commands.empty());
  EXPECT_EQ(commands.front(), "IH*=-3");
  const auto burn = std::find(commands.begin(), commands.end(), "BN");
  EXPECT_NE(std::find(burn, commands.end(), "\x12\x16"), commands.end())
      << "the new firmware is identified after the burn";
  ExpectCommands();
}

class AcknowledgedRoad : public FirmwareRoad, public ::testing::WithParamInterface<bool> {};

TEST_P(AcknowledgedRoad, SRecordImageLineByLineWithAndWithoutItsFinalCr) {
  Start("VKT4140 Rev 1.0b", "UC 2");
  const auto records = SRecordImage(kData);
  const std::string image = Lines(records, "\r\n", GetParam());
  ASSERT_EQ(Load("controller.s19", image), 0) << LastError();
  EXPECT_EQ(controller->Firmware().image, Lines(records, "\r"));
  EXPECT_NE(controller->ReceivedBytes(kTcpCommands).find("$91c8,1\r"), std::string::npos);
  ExpectProgressTo(image.size());
  EXPECT_EQ(progress.size(), records.size() + 1);  // one before each line, one at the end
  ExpectCommands();
}

INSTANTIATE_TEST_SUITE_P(FinalCr, AcknowledgedRoad, ::testing::Bool());

class HexRoad : public FirmwareRoad, public ::testing::WithParamInterface<bool> {};

TEST_P(HexRoad, EveryRecordWithAndWithoutTheFinalLf) {
  Start();
  const auto records = HexImage(kData);
  const std::string image = Lines(records, "\n", GetParam());
  ASSERT_EQ(Load("controller.hex", image), 0) << LastError();
  EXPECT_EQ(controller->Firmware().hex, records) << "the end record included";
  ExpectProgressTo(image.size());
  ExpectCommands();
}

INSTANTIATE_TEST_SUITE_P(FinalLf, HexRoad, ::testing::Bool());

const std::string kProgram = "## controller program\n## burned after loading\n#A\nMG 1\nEN\n";

TEST_F(FirmwareRoad, ProgramFileIsDownloadedAndBurned) {
  Start();
  ASSERT_EQ(Load("controller.prg", kProgram), 0) << LastError();
  EXPECT_EQ(controller->Firmware().program, "#A\rMG 1\rEN\r");
  ASSERT_FALSE(progress.empty());
  ExpectCommands();
}

TEST_F(FirmwareRoad, PackageLoadsEveryPartInOrder) {
  Start();
  const auto text = SRecordImage(kData);
  const auto hex = HexImage(kData);
  const std::string data = Lines(text, "\r\n") + Lines(hex, "\r\n") + kProgram;
  const size_t hexAt = Lines(text, "\r\n").size();
  const size_t programAt = hexAt + Lines(hex, "\r\n").size();
  const auto bin = [](const char* type, size_t offset, size_t length) {
    return std::string("<bin type=\"") + type + "\" offset=\"" + std::to_string(offset) +
           "\" length=\"" + std::to_string(length) + "\"/>";
  };
  const std::string header = "<?xml version=\"1.0\"?>\r\n<ofp version=\"1\" key=\"VKT41_0\">" +
                             bin("s19", 0, hexAt) + bin("hex", hexAt, programAt - hexAt) +
                             bin("txt", 0, 4) + bin("vkt", programAt, kProgram.size()) +
                             "</ofp>\r\n";
  ASSERT_EQ(Load("controller.ofp", Package(header, data)), 0) << LastError();
  const fakes::FakeFirmware firmware = controller->Firmware();
  EXPECT_EQ(firmware.image, Lines(text, "\r"));
  EXPECT_EQ(firmware.hex, hex);
  EXPECT_EQ(firmware.program, "#A\rMG 1\rEN\r");
  EXPECT_FALSE(progress.empty());
  ExpectCommands();
}

TEST_F(FirmwareRoad, RefusalsBeforeAnyUnlockLeaveTheControllerTakingCommands) {
  Start();
  struct Case {
    const char* name;
    std::string contents;
    int32_t code;
    const char* message;
  };
  const std::string image = Lines(SRecordImage(kData), "\r\n");
  const Case cases[] = {
      {"empty.s19", "", -10005, "firmware file is empty"},
      // The binary loader's length field holds 24 bits.
      {"huge.bin", std::string(size_t{1} << 24, '\x1B'), -10002,
       "a binary firmware image must be smaller than 16 MiB"},
      {"unterminated.ofp", "<?xml version=\"1.0\"?><ofp version=\"1\"/>", -10005,
       "bad package format"},
      {"wrong-key.ofp",
       Package("<?xml version=\"1.0\"?><ofp version=\"1\" key=\"VKT99_9\">"
               "<bin type=\"s19\" offset=\"0\" length=\"4\"/></ofp>",
               image),
       -10005, "product key mismatch"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Load(c.name, c.contents), c.code) << c.name;
    EXPECT_EQ(LastError(), c.message) << c.name;
    EXPECT_FALSE(Unlocked()) << c.name;
    ExpectCommands();
  }
  EXPECT_EQ(controller->Firmware().burns, 0u);
}

TEST_F(FirmwareRoad, HardwareThatTakesFirmwareOnlyOverSerialRefusesThisBus) {
  Start("VKT4040 Rev 1.0");
  EXPECT_EQ(Load("controller.s19", Lines(SRecordImage(kData), "\r\n")), -1110);
  EXPECT_EQ(LastError(),
            "this device does not support loading firmware over this communication bus");
  EXPECT_FALSE(Unlocked());
  ExpectCommands();
}

TEST_F(FirmwareRoad, BinaryImageThroughTheControllersBinaryLoader) {
  Start();
  const std::string image = BinaryImage(1000);
  ASSERT_EQ(Load("controller.bin", image), 0) << LastError();
  const fakes::FakeFirmware firmware = controller->Firmware();
  EXPECT_EQ(firmware.binary, image);
  EXPECT_EQ(firmware.speed, 1);
  ExpectProgressTo(1004);
  ExpectCommands();
}

TEST_F(FirmwareRoad, BinaryLoaderRefusalsEndInTheirCodes) {
  Start();
  struct Case {
    fakes::BinaryStep step;
    int status;
    int32_t code;
    const char* message;
  };
  const Case cases[] = {
      {fakes::BinaryStep::Data, -2, -30002, "the firmware image is invalid"},
      {fakes::BinaryStep::Erase, -6, -30006,
       "the requested write operation was aborted because the flash is not erased"},
      // Never a success and never one of the library's own codes.
      {fakes::BinaryStep::Validate, 0x1234, -30008, "Loader returned unknown error"},
      {fakes::BinaryStep::Start, 28900, -30008, "Loader returned unknown error"},
  };
  for (const Case& c : cases) {
    controller->ScriptLoaderStatus(c.step, c.status);
    EXPECT_EQ(Load("controller.bin", BinaryImage(900)), c.code) << c.status;
    EXPECT_EQ(LastError(), c.message);
    ExpectCommands();
  }
  EXPECT_TRUE(controller->Firmware().binary.empty());
}

TEST_F(FirmwareRoad, FailedLoadsEndInTheirCodeAndTheNextConnectionTakesCommands) {
  Start();
  // Binary garbage is a text image the controller refuses.
  EXPECT_EQ(Load("garbage", std::string("\x7F\x00\xFE\r\n\x01", 6)), -10000);
  ExpectCommands();

  // The connection drops in the middle of a hex load.
  const auto records = HexImage(kData);
  controller->Script("FUH" + records[1], {"", true, true});
  const size_t connections = controller->TcpConnections();
  EXPECT_NE(Load("controller.hex", Lines(records, "\r\n")), 0);
  // The fake counts a connection when it accepts it, which may come after the library connected.
  EXPECT_TRUE(controller->WaitForConnections(connections + 1, std::chrono::seconds(5)))
      << "reopened";
  EXPECT_TRUE(controller->Firmware().hex.empty());
  auto& device = static_cast<NetworkDevice&>(*handle->connection.device);
  EXPECT_EQ(device.description, device.CommandChannel()->description);
  ExpectCommands();

  // And the next load goes through.
  ASSERT_EQ(Load("controller.hex", Lines(records, "\r\n")), 0) << LastError();
  EXPECT_EQ(controller->Firmware().hex, records);
}

}  // namespace
