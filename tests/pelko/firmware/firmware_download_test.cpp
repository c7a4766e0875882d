// The bracket around a firmware load, from a file on disk, over an answering controller: what
// the file's own refusals leave untouched, the modes and stop bits around a load, the loader
// each kind of file gets, re-identification after success, and close, pause and reopen after a
// failure.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "core/connection.hpp"
#include "core/orvan_error.hpp"
#include "core/orvan_options.hpp"
#include "fakes/answering_device.hpp"
#include "fakes/error_code.hpp"
#include "identify/description.hpp"
#include "support/firmware_files.hpp"

using namespace orvan;
using orvan::fakes::CodeOf;

namespace {

const std::string kImage = "S1070000AB\r\nS9030000FC\r\n";
using Options = std::vector<std::pair<int32_t, int32_t>>;

class FirmwareDownloadTest : public ::testing::Test {
protected:
  void Open(const std::string& address = "10.0.0.9", int32_t debug = 0) {
    auto options = std::make_shared<OrvanOptions>();
    options->address = address;
    options->timeout = 300;
    options->debug = debug;
    device->Open(options);
  }
  int32_t Download(const std::string& path, std::string* message = nullptr) {
    return CodeOf([&] { device->FirmwareDownload(path, connection); }, message);
  }
  bool Sent(const std::string& command) const {
    return std::find(device->commands.begin(), device->commands.end(), command) !=
           device->commands.end();
  }
  // The mode and stop-bit settings in order, without the pacing identification applies.
  Options Modes() const {
    Options modes;
    for (const auto& option : device->setOptions) {
      if (option.first != 5) modes.push_back(option);
    }
    return modes;
  }
  size_t Position(const std::string& command) const {
    return std::find(device->commands.begin(), device->commands.end(), command) -
           device->commands.begin();
  }

  FirmwareFolder folder;
  std::shared_ptr<fakes::AnsweringDevice> device = std::make_shared<fakes::AnsweringDevice>();
  Connection connection;
};

TEST_F(FirmwareDownloadTest, RefusalsOfTheFileSendNothing) {
  struct Case {
    std::string path;
    int32_t code;
    std::string message;
  };
  const std::string noTerminator = folder.Write("plain.ofp", "<?xml version=\"1.0\"?><ofp/>");
  const std::string badSecondPart =
      folder.Write("two.ofp", Package("<?xml version=\"1.0\"?><ofp version=\"1\">"
                                      "<bin type=\"s19\" offset=\"0\" length=\"2\"/>"
                                      "<bin type=\"s19\" offset=\"1\" length=\"9\"/></ofp>",
                                      "S9"));
  const Case cases[] = {
      {folder.Path("missing.s19"), -10005, "file could not be opened"},
      {folder.root.string(), -10005, "file could not be opened"},
      {folder.Write("empty.s19", ""), -10005, "firmware file is empty"},
      {noTerminator, -10005, "bad package format"},
      {badSecondPart, -10005, "bad offset and or length"},
      {folder.Write("image.bin", std::string(size_t{1} << 24, 'x')), -10002,
       "a binary firmware image must be smaller than 16 MiB"},
  };
  Open();
  for (const Case& c : cases) {
    std::string message;
    EXPECT_EQ(Download(c.path, &message), c.code) << c.path;
    EXPECT_EQ(message, c.message) << c.path;
  }
  EXPECT_TRUE(device->writes.empty());
  EXPECT_TRUE(device->setOptions.empty());
  EXPECT_EQ(device->closes, 0u);
}

TEST_F(FirmwareDownloadTest, NetworkLoadEndsInCommandModeWithTheControllerIdentifiedAgain) {
  Open();
  // A folder named like a binary image does not make its files binary images.
  const std::string path = folder.Write("fw.bin/image.s19", kImage);
  ASSERT_EQ(Download(path), 0);
  ASSERT_FALSE(device->commands.empty());
  EXPECT_EQ(device->commands.front(), "IH*=-3");
  EXPECT_TRUE(Sent(std::string("\x06\x05$3e7d, $91c8", 14)));
  const size_t burn = Position("BN");
  ASSERT_LT(burn, device->commands.size());
  // Initialize after the burn: it identifies the new firmware.
  EXPECT_LT(burn, Position("CW1"));
  EXPECT_TRUE(device->description->identified);
  EXPECT_EQ(Modes(), (Options{{0, 0}, {0, static_cast<int32_t>(kImage.size())}, {1, 0}}));
}

TEST_F(FirmwareDownloadTest, SerialLoadRunsOnTwoStopBits) {
  Open("COM2");
  ASSERT_EQ(Download(folder.Write("image.hex", ":00000001FF\r\n")), 0);
  EXPECT_FALSE(Sent("IH*=-3"));
  EXPECT_EQ(device->commands.front(), "RJ1");
  EXPECT_EQ(Modes(), (Options{{0, 0}, {3, 2}, {3, 1}, {1, 0}}));
}

TEST_F(FirmwareDownloadTest, SRecordImageStreamsWhereTheLinkAndHardwareAllow) {
  struct Case {
    const char* address;
    int32_t debug;
    const char* capabilities;
    bool streamed;
  };
  const Case cases[] = {
      {"10.0.0.9", 0, "UC 2", true},
      {"10.0.0.9", 1, "UC 2", false},  // debug bit 0 asks for the whole image
      {"COM2", 0, "UC 2", false},
      {"10.0.0.9", 0, "UC 0", false},
  };
  const std::string path = folder.Write("image.s19", "S0030000FC\r\nS9030000FC\r\n");
  for (const Case& c : cases) {
    device = std::make_shared<fakes::AnsweringDevice>();
    device->otherwise = "\x06";  // every line acknowledged
    device->answers["QP"] = c.capabilities;
    Open(c.address, c.debug);
    ASSERT_EQ(Download(path), 0) << c.address << " " << c.capabilities;
    EXPECT_EQ(Sent(std::string("\x06\x05$3e7d,$91c8,1", 15)), c.streamed)
        << c.address << " debug " << c.debug << " " << c.capabilities;
  }
}

TEST_F(FirmwareDownloadTest, FailureClosesAndReopensBeforeTheErrorReturns) {
  Open();
  device->answers[""] = "?";  // the loader's first command is refused
  std::string message;
  EXPECT_EQ(Download(folder.Write("image.s19", kImage), &message), -10000);
  EXPECT_EQ(device->closes, 1u);
  EXPECT_TRUE(device->open);
  EXPECT_FALSE(Sent("BN"));
  EXPECT_EQ(std::count(device->setOptions.begin(), device->setOptions.end(), std::make_pair(1, 0)),
            0);

  // A reopening that fails does not hide the load's own error.
  device->failOpen = -1101;
  EXPECT_EQ(Download(folder.Path("image.s19")), -10000);
  EXPECT_FALSE(device->open);
}

}  // namespace
