// The firmware loaders over a scripted device: the exact bytes each one writes on every kind of
// link and in the monitor, the replies it reads, the progress it reports and where it stops
// when the controller refuses.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "core/connection.hpp"
#include "core/orvan_error.hpp"
#include "core/orvan_options.hpp"
#include "fakes/error_code.hpp"
#include "fakes/scripted_device.hpp"
#include "firmware/loader_steps.hpp"
#include "identify/description.hpp"
#include "support/firmware_files.hpp"

using namespace orvan;
using namespace std::string_literals;
using orvan::fakes::CodeOf;

namespace {

const std::string kUnlockWhole("\x06\x05$3e7d, $91c8\r", 15);
const std::string kUnlockAcknowledged("\x06\x05$3e7d,$91c8,1\r", 16);
const std::string kLoaderMode = "D4E29,A6B1\r";
const std::string kQuiet = "\x0F\x13\r";
const std::string kAck = "\x06";
const std::string kImage = "S1070000AB\r\nS9030000FC\r\n";

using Writes = std::vector<std::string>;
const auto CaseName = [](const auto& info) {
  std::string name = info.param.name;
  for (auto& c : name) c = c == ' ' ? '_' : c;
  return name;
};
using Progress = std::vector<std::pair<uint32_t, uint32_t>>;

class FirmwareLoader : public ::testing::Test {
protected:
  void Open(const std::string& address = "10.0.0.9", int32_t debug = 0) {
    auto options = std::make_shared<OrvanOptions>();
    options->address = address;
    options->debug = debug;
    options->timeout = 300;
    device->Open(options);
    device->description->identified = true;  // the replies are the loader's alone
    device->SetCallback(
        [](uint32_t done, uint32_t total, void* user) {
          static_cast<FirmwareLoader*>(user)->progress.emplace_back(done, total);
        },
        this);
  }
  void Replies(const std::vector<std::string>& replies) {
    for (const auto& reply : replies) device->Reply(reply);
  }
  Description& Hardware() { return *device->description; }

  std::shared_ptr<fakes::ScriptedDevice> device = std::make_shared<fakes::ScriptedDevice>();
  Progress progress;
};

struct TextCase {
  const char* name;
  const char* address;
  bool monitor;
  bool dhcpOff;
  int32_t qqWord;
  std::vector<std::string> replies;
  Writes writes;
};

const TextCase kTextCases[] = {
    {"network",
     "10.0.0.9",
     false,
     false,
     0,
     {":", "1\r\n:", ":", ":"},
     {"\r", "DH?\r", kUnlockWhole, kImage, "BN\r"}},
    {"network dhcp off qq controller",
     "10.0.0.9",
     false,
     true,
     0x3F0F,
     {":", "0\r\n:", ":", ":", ":"},
     {"\r", "DH?\r", kUnlockWhole, kImage, "DH0\r", "BN $7A41C0B9\r"}},
    {"serial",
     "COM1",
     false,
     false,
     0,
     {":", ":", ":", ":", ":", ":"},
     {"\r", "EO0\r", kQuiet, "EO0\r", kLoaderMode, kImage, "BN\r"}},
    {"pci",
     "RUREZIVU1",
     false,
     false,
     0,
     {":", ":", ":", ":", ":", ":"},
     {"\r", "EO0\r", kQuiet, "EO0\r", kLoaderMode, kImage, "BN\r"}},
    // The monitor is neither identified nor asked to burn.
    {"network monitor",
     "10.0.0.9",
     true,
     false,
     0,
     {">", ">", ">"},
     {"\r", "DH?\r", kUnlockWhole, kImage}},
    {"serial monitor",
     "COM3",
     true,
     false,
     0,
     {">", ">", ">"},
     {"\r", "EO0\r", kLoaderMode, kImage}},
};

class TextImage : public FirmwareLoader, public ::testing::WithParamInterface<TextCase> {};

TEST_P(TextImage, UnlockImageAndBurn) {
  const TextCase& c = GetParam();
  Open(c.address);
  Hardware().qqWord = c.qqWord;
  Hardware().firmwareOverBus = !c.monitor;  // only the monitor may ignore it
  Replies(c.replies);
  device->LoadFirmwareText(kImage.data(), kImage.size());
  EXPECT_EQ(device->writes, c.writes);
  EXPECT_TRUE(device->script.empty()) << "replies left unread";
  // Pass-through with the image's length, so ESC bytes in it reach the controller.
  EXPECT_EQ(device->setOptions,
            (std::vector<std::pair<int32_t, int32_t>>{{0, static_cast<int32_t>(kImage.size())}}));
}

INSTANTIATE_TEST_SUITE_P(Links, TextImage, ::testing::ValuesIn(kTextCases), CaseName);

TEST_F(FirmwareLoader, TextImageRefusals) {
  Open();
  Hardware().firmwareOverBus = false;
  Replies({":"});
  std::string message;
  EXPECT_EQ(CodeOf([&] { device->LoadFirmwareText(kImage.data(), kImage.size()); }, &message),
            -1110);
  EXPECT_EQ(message, "this device does not support loading firmware over this communication bus");
  EXPECT_EQ(device->writes, Writes{"\r"});

  Hardware().firmwareOverBus = true;
  device->writes.clear();
  Replies({":", "1\r\n:", "?"});
  EXPECT_EQ(CodeOf([&] { device->LoadFirmwareText(kImage.data(), kImage.size()); }), -10000);
  EXPECT_EQ(device->writes, (Writes{"\r", "DH?\r", kUnlockWhole, kImage})) << "no burn";
}

struct StreamCase {
  const char* name;
  std::string image;
  std::vector<std::string> replies;
  Writes lines;
  Progress progress;
};

const StreamCase kStreamCases[] = {
    {"final cr",
     "S0a\r\nS1b\r\nS9c\r\n",
     {":", kAck, kAck, kAck, kAck + ":", ":"},
     {"S0a\r", "\nS1b\r", "\nS9c\r"},
     {{3, 15}, {8, 15}, {13, 15}, {15, 15}}},
    // The end record without its CR is sent as a line of its own.
    {"no final cr",
     "S0a\r\nS1b\r\nS9c",
     {":", kAck, kAck, kAck, kAck + ":", ":"},
     {"S0a\r", "\nS1b\r", "\nS9c\r"},
     {{3, 13}, {8, 13}, {12, 13}, {13, 13}}},
    {"blanks after the last cr",
     "S0a\rS9c\r  \t",
     {":", kAck, kAck, kAck + ":", ":"},
     {"S0a\r", "S9c\r"},
     {{3, 11}, {7, 11}, {11, 11}}},
    {"no cr at all", "S9c", {":", kAck, kAck + ":", ":"}, {"S9c\r"}, {{2, 3}, {3, 3}}},
};

class StreamedImage : public FirmwareLoader, public ::testing::WithParamInterface<StreamCase> {};

TEST_P(StreamedImage, LineByLineEachAcknowledged) {
  const StreamCase& c = GetParam();
  Open();
  Replies(c.replies);
  device->StreamFirmwareText(c.image.data(), c.image.size());
  Writes expected{"EO0\r", kUnlockAcknowledged};
  expected.insert(expected.end(), c.lines.begin(), c.lines.end());
  expected.push_back("BN\r");
  EXPECT_EQ(device->writes, expected);
  EXPECT_EQ(progress, c.progress);
  EXPECT_TRUE(device->script.empty());
}

INSTANTIATE_TEST_SUITE_P(Images, StreamedImage, ::testing::ValuesIn(kStreamCases), CaseName);

TEST_F(FirmwareLoader, StreamStopsAtTheRefusedLine) {
  Open();
  Replies({":", kAck, "?"});
  const std::string image = "S0a\r\nS1b\r\nS9c\r\n";
  EXPECT_EQ(CodeOf([&] { device->StreamFirmwareText(image.data(), image.size()); }), -10000);
  EXPECT_EQ(device->writes, (Writes{"EO0\r", kUnlockAcknowledged, "S0a\r"}));
}

TEST_F(FirmwareLoader, StreamInTheMonitorSendsTheWholeImageFirstAndNoBurn) {
  Open();
  const std::string image = "S0a\rS9c\r";
  Replies({">", ">", ">", ">", kAck, kAck, kAck + ":"});
  device->StreamFirmwareText(image.data(), image.size());
  EXPECT_EQ(device->writes, (Writes{"EO0\r", "\r", "DH?\r", kUnlockWhole, image,
                                    kUnlockAcknowledged, "S0a\r", "S9c\r"}));
}

struct HexCase {
  const char* name;
  std::string image;
  Writes records;
  Progress progress;
};

const HexCase kHexCases[] = {
    {"crlf", ":0A\r\n:0B\r\n", {"FUH:0A\r", "FUH:0B\r"}, {{5, 10}, {10, 10}}},
    {"last line without lf", ":0A\n:0B", {"FUH:0A\r", "FUH:0B\r"}, {{4, 7}, {7, 7}}},
    {"other lines skipped", "note\r\n\r\n:0A\r\n", {"FUH:0A\r"}, {{13, 13}}},
};

class HexImageLoad : public FirmwareLoader, public ::testing::WithParamInterface<HexCase> {};

TEST_P(HexImageLoad, OneCommandPerRecord) {
  const HexCase& c = GetParam();
  Open();
  Replies(std::vector<std::string>(c.records.size() + 3, ":"));
  device->LoadFirmwareHex(c.image.data(), c.image.size());
  Writes expected{"RJ1\r", "FUC\r"};
  expected.insert(expected.end(), c.records.begin(), c.records.end());
  expected.push_back("RJ0\r");
  EXPECT_EQ(device->writes, expected);
  EXPECT_EQ(progress, c.progress);
  EXPECT_EQ(device->readTimeouts.at(1), 10000) << "clearing the flash takes longer";
}

INSTANTIATE_TEST_SUITE_P(Images, HexImageLoad, ::testing::ValuesIn(kHexCases), CaseName);

TEST_F(FirmwareLoader, HexStopsAtTheRefusedRecord) {
  Open();
  Replies({":", ":", "?"});
  const std::string image = ":0A\n:0B\n";
  EXPECT_EQ(CodeOf([&] { device->LoadFirmwareHex(image.data(), image.size()); }), -10000);
  EXPECT_EQ(device->writes, (Writes{"RJ1\r", "FUC\r", "FUH:0A\r"}));
}

std::string TwoPartPackage(const std::string& key, const std::string& hexPart) {
  return Package("<?xml version=\"1.0\"?><ofp version=\"1\" key=\"" + key + "\">" +
                     "<bin type=\"hex\" offset=\"0\" length=\"" + std::to_string(hexPart.size()) +
                     "\"/><bin type=\"txt\" offset=\"0\" length=\"1\"/>" +
                     "<bin type=\"s19\" offset=\"" + std::to_string(hexPart.size()) +
                     "\" length=\"3\"/></ofp>",
                 hexPart + "S9c");
}

TEST_F(FirmwareLoader, PackagePartsInOrderOtherTypesSkipped) {
  Open();
  Hardware().modelKey = "VKT41_0";
  Replies({":", ":", ":", ":", ":", "1\r\n:", ":", ":"});
  const std::string file = TwoPartPackage("VKT41_0", ":0A\n");
  Connection connection;
  device->LoadFirmwarePackage(file.data(), file.size(), connection);
  EXPECT_EQ(device->writes, (Writes{"RJ1\r", "FUC\r", "FUH:0A\r", "RJ0\r", "\r", "DH?\r",
                                    kUnlockWhole, "S9c", "BN\r"}));
}

TEST_F(FirmwareLoader, PackageRefusedBeforeItsFirstPart) {
  Connection connection;
  const auto refusal = [&](const std::string& file, std::string* message) {
    return CodeOf([&] { device->LoadFirmwarePackage(file.data(), file.size(), connection); },
                  message);
  };
  Open();
  Hardware().modelKey = "VKT41_0";
  std::string message;
  EXPECT_EQ(refusal(TwoPartPackage("VKT99_9", ":0A\n"), &message), -10005);
  EXPECT_EQ(message, "product key mismatch");
  // The text part would be refused on this bus: the hex part before it is not loaded either.
  Hardware().firmwareOverBus = false;
  EXPECT_EQ(refusal(TwoPartPackage("", ":0A\n"), nullptr), -1110);
  EXPECT_TRUE(device->writes.empty());
}

TEST_F(FirmwareLoader, MonitorIgnoresThePackageKey) {
  Open();
  Hardware().modelKey = "VKT41_0";
  device->promptState = true;
  const std::string file = Package(
      "<?xml version=\"1.0\"?><ofp version=\"1\" key=\"VKT99_9\">"
      "<bin type=\"txt\" offset=\"0\" length=\"1\"/></ofp>",
      "x");
  Connection connection;
  device->LoadFirmwarePackage(file.data(), file.size(), connection);
  EXPECT_TRUE(device->writes.empty());
}

// The binary loader.
const std::string kOk("\0\0", 2);
using Options = std::vector<std::pair<int32_t, int32_t>>;

TEST_F(FirmwareLoader, BinaryImageInChunksWithTheFastRateAroundTheData) {
  Open();
  const std::string image = BinaryImage(1000);
  // EO0, then EO0, the quiet sequence and EO0 again; start, speed, length, three chunks, four
  // stages.
  Replies({":", ":", ":", ":", kOk, kOk, kOk, kOk, kOk, kOk, kOk, kOk, kOk, kOk, ":"});
  device->LoadFirmwareBinary(image.data(), image.size());
  EXPECT_EQ(device->writes,
            (Writes{"EO0\r", "EO0\r", kQuiet, "EO0\r", kLoaderMode, "\x80", "\x01",
                    std::string("\x00\x03\xE8", 3), image.substr(0, 384), image.substr(384, 384),
                    image.substr(768), "\x81", "\x82", "\x83", "\x84"}));
  EXPECT_TRUE(device->script.empty()) << "statuses left unread";
  // The pass count covers the length bytes as well as the data.
  EXPECT_EQ(device->setOptions, (Options{{2, 115200}, {0, 1003}, {2, 115200}, {1, 0}}));
  EXPECT_EQ(progress, (Progress{{384, 1004},
                                {768, 1004},
                                {1000, 1004},
                                {1001, 1004},
                                {1002, 1004},
                                {1003, 1004},
                                {1004, 1004}}));
}

TEST_F(FirmwareLoader, BinaryLoaderKeepsTheLinkRateWhenTheDebugBitSaysSo) {
  Open("COM2", 2);
  const std::string image = BinaryImage(10);
  Replies({":", ":", ":", ":", kOk, kOk, kOk, kOk, kOk, kOk, kOk, kOk, ":"});
  device->LoadFirmwareBinary(image.data(), image.size());
  EXPECT_EQ(device->writes[6], "\x00"s);
  EXPECT_EQ(device->setOptions, (Options{{0, 13}, {1, 0}}));
}

TEST_F(FirmwareLoader, BinaryStatusesAreReadSeventeenChunksBehind) {
  Open();
  const std::string image = BinaryImage(384 * 20);
  // The first data status fails: it is read once the eighteenth chunk is out.
  Replies({":", ":", ":", ":", kOk, kOk, kOk, "\xFF\xFE"});
  std::string message;
  EXPECT_EQ(CodeOf([&] { device->LoadFirmwareBinary(image.data(), image.size()); }, &message),
            -30002);
  EXPECT_EQ(message, "the firmware image is invalid");
  EXPECT_EQ(device->writes.size(), 8u + 18u);
  EXPECT_EQ(device->UnsolicitedCount(), 0u) << "status bytes are no messages";
}

TEST_F(FirmwareLoader, BinaryFailuresCarryTheirStage) {
  struct Case {
    const char* name;
    std::vector<std::string> replies;  // after the quiet steps
    int32_t code;
    std::string message;
  };
  const Case cases[] = {
      {"start timeout", {}, -1100, "error during firmware file load"},
      {"length refused", {kOk, kOk, "\xFF\xFF"}, -30001, "the requested data size is too big"},
      {"erase timeout", {kOk, kOk, kOk, kOk, kOk}, -1100, "error during firmware erase"},
      {"unknown status", {kOk, kOk, kOk, kOk, "\x12\x34"}, -30008, "Loader returned unknown error"},
      // A status in two pieces is still one status.
      {"split status",
       {kOk, kOk, kOk, kOk, kOk, "\xFF", "\xFA"},
       -30006,
       "the requested write operation was aborted because the flash is not erased"},
      {"no prompt",
       {kOk, kOk, kOk, kOk, kOk, kOk, kOk, kOk},
       -1100,
       "error during controller reset"},
  };
  for (const Case& c : cases) {
    device = std::make_shared<fakes::ScriptedDevice>();
    Open();
    Replies({":", ":", ":", ":"});
    Replies(c.replies);
    const std::string image = BinaryImage(10);
    std::string message;
    EXPECT_EQ(CodeOf([&] { device->LoadFirmwareBinary(image.data(), image.size()); }, &message),
              c.code)
        << c.name;
    EXPECT_EQ(message, c.message) << c.name;
  }
}

TEST(LoaderStatus, KnownStatusesAndEveryOtherValue) {
  EXPECT_EQ(CheckLoaderStatus(0), 0);
  EXPECT_EQ(CheckLoaderStatus(1), 1);
  for (int32_t status = -1; status >= -7; --status) {
    EXPECT_EQ(CodeOf([&] { CheckLoaderStatus(status); }), status - 30000) << status;
  }
  // None passes for success or for one of the library's own codes (28900 - 30000 = -1100).
  for (const int32_t status : {2, -8, 28900, 30000, 32767, -32768}) {
    std::string message;
    EXPECT_EQ(CodeOf([&] { CheckLoaderStatus(status); }, &message), -30008) << status;
    EXPECT_EQ(message, "Loader returned unknown error");
  }
}

}  // namespace
