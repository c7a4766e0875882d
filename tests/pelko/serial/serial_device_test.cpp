// The serial device against the fake controller on a pty: exclusive opens, line settings,
// set-up, reads left pending by a timeout, chunked writes and a write that stalls, a line that
// hangs up, records; the port list; and the same device through socat to the fake's TCP port.
#include "serial/serial_device.hpp"

#include <gtest/gtest.h>

#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>

#include <array>
#include <chrono>
#include <ctime>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "core/device_factory.hpp"
#include "core/orvan_error.hpp"
#include "core/orvan_options.hpp"
#include "fakes/error_code.hpp"
#include "fakes/fake_controller.hpp"
#include "identify/description.hpp"
#include "support/temporary_device_root.hpp"

extern char** environ;

namespace {

using namespace orvan;
using fakes::CodeOf;
using fakes::FakeController;
using fakes::FakeLineSettings;
using std::chrono::milliseconds;
using std::chrono::steady_clock;

// A folder of the test's own, removed afterwards; its dev/ holds the links to the lines.
struct TemporaryFolder {
  TemporaryFolder() {
    char pattern[] = "/tmp/orvan-serial-XXXXXX";
    if (!mkdtemp(pattern)) throw std::runtime_error("mkdtemp");
    path = pattern;
  }
  ~TemporaryFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(path, ignored);
  }
  std::string path;
};

fakes::FakeControllerSettings OnPty(const std::string& link) {
  fakes::FakeControllerSettings settings;
  settings.pty = link;
  return settings;
}

double CpuSeconds() { return static_cast<double>(std::clock()) / CLOCKS_PER_SEC; }

class SerialDeviceTest : public ::testing::Test {
protected:
  void SetUp() override {
    controller.Start();
    options->address = link;
    options->direct = true;
    options->timeout = 1000;
  }

  std::shared_ptr<SerialDevice> OpenDevice() {
    auto device = std::make_shared<SerialDevice>(io);
    device->Open(options);
    return device;
  }

  // The line settings as the fake saw them when the last command arrived.
  FakeLineSettings SettingsOfNextCommand(SerialDevice& device) {
    controller.ClearLog();
    EXPECT_EQ(device.Command("MG \"x\"", true, -1, true), "x");
    const auto received = controller.Received();
    return received.empty() ? FakeLineSettings{} : received.back().line;
  }

  TemporaryFolder folder;
  const std::string link = folder.path + "/dev/ttyV1";
  FakeController controller{OnPty(link)};
  boost::asio::io_context io;
  std::shared_ptr<OrvanOptions> options = std::make_shared<OrvanOptions>();
};

TEST_F(SerialDeviceTest, OpensSetsUpExchangesCommandsAndCloses) {
  auto device = OpenDevice();
  EXPECT_TRUE(device->IsOpen());
  EXPECT_EQ(device->BusType(), kBusSerial);
  ASSERT_TRUE(device->description);
  EXPECT_EQ(controller.CommandsOn(fakes::kSerialLine), (std::vector<std::string>{"EO0", "CW1"}));
  EXPECT_EQ(device->Command("MG \"hello\"", true, -1, true), "hello");
  EXPECT_EQ(CodeOf([&] { device->Command("NOPE", true, -1, true); }), -10000);

  device->description->identified = true;
  device->Close();
  EXPECT_FALSE(device->IsOpen());
  EXPECT_FALSE(device->description->identified);
  EXPECT_EQ(device->BytesAvailable(), -1);
  // Closing let the port go: it opens again.
  EXPECT_TRUE(OpenDevice()->IsOpen());
}

TEST_F(SerialDeviceTest, TheFactoryMakesASerialDeviceForADirectSerialAddress) {
  EXPECT_EQ(MakeDevice(*options, io)->BusType(), kBusSerial);
}

TEST_F(SerialDeviceTest, LineSettingsFollowTheOptionsAndSetOption) {
  const struct {
    const char* name;
    uint32_t baud;
    bool handshakeNone;
    FakeLineSettings expected;
  } opens[] = {
      {"default", 115200, false, {115200, false, true}},
      {"handshake none", 115200, true, {115200, false, false}},
      {"baud 9600", 9600, false, {9600, false, true}},
  };
  for (const auto& c : opens) {
    SCOPED_TRACE(c.name);
    options->baud = c.baud;
    options->handshakeNone = c.handshakeNone;
    auto device = OpenDevice();
    EXPECT_EQ(SettingsOfNextCommand(*device), c.expected);
  }

  options->baud = 115200;
  options->handshakeNone = false;
  auto device = OpenDevice();
  const struct {
    int32_t option;
    int32_t value;
    int32_t code;
    FakeLineSettings expected;
  } changes[] = {
      {kOptionStopBits, 2, 0, {115200, true, true}},
      {kOptionStopBits, 1, 0, {115200, false, true}},
      {kOptionStopBits, 2, 0, {115200, true, true}},
      {kOptionStopBits, 0, 0, {115200, false, true}},
      {kOptionBaud, 19200, 0, {19200, false, true}},
      // Refused rates leave the line as it was.
      {kOptionBaud, 12345, -10002, {19200, false, true}},
      {kOptionBaud, 0, -10002, {19200, false, true}},
      {kOptionBaud, -9600, -10002, {19200, false, true}},
      {kOptionPacing, 0, 0, {19200, false, true}},
  };
  for (const auto& c : changes) {
    SCOPED_TRACE(std::to_string(c.option) + " " + std::to_string(c.value));
    EXPECT_EQ(CodeOf([&] { device->SetOption(c.option, c.value); }), c.code);
    EXPECT_EQ(SettingsOfNextCommand(*device), c.expected);
  }
}

TEST_F(SerialDeviceTest, OpensThatCannotSucceedFailAtOnceWithTheSystemsText) {
  auto holder = OpenDevice();
  const struct {
    const char* name;
    std::string address;
    uint32_t baud;
    const char* message;
  } cases[] = {
      {"held by another", link, 115200, "open: Resource temporarily unavailable"},
      {"missing", folder.path + "/dev/ttyV9", 115200, "open: No such file or directory"},
      {"not a line", folder.path, 115200, "open: Is a directory"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    options->address = c.address;
    options->baud = c.baud;
    auto device = std::make_shared<SerialDevice>(io);
    std::string message;
    const auto start = steady_clock::now();
    EXPECT_EQ(CodeOf([&] { device->Open(options); }, &message), -1101);
    EXPECT_LT(steady_clock::now() - start, milliseconds(500));
    EXPECT_EQ(message, c.message);
    EXPECT_FALSE(device->IsOpen());
  }
  EXPECT_EQ(holder->Command("MG \"still mine\"", true, -1, true), "still mine");
}

TEST_F(SerialDeviceTest, RatesTermiosLacksFailTheOpenAndLeaveThePortFree) {
  for (const uint32_t baud : {0u, 12345u}) {
    SCOPED_TRACE(baud);
    options->baud = baud;
    auto device = std::make_shared<SerialDevice>(io);
    std::string message;
    EXPECT_EQ(CodeOf([&] { device->Open(options); }, &message), -1101);
    EXPECT_EQ(message, "set_option: Invalid argument");
    EXPECT_FALSE(device->IsOpen());
  }
  // Nothing reached the line, and the port was let go.
  EXPECT_TRUE(controller.Received().empty());
  options->baud = 115200;
  EXPECT_TRUE(OpenDevice()->IsOpen());
}

TEST_F(SerialDeviceTest, SubscribedMessagesAskForCfiUnlessInTheMonitor) {
  const struct {
    bool subscribe;
    bool monitor;
    std::vector<std::string> commands;
  } cases[] = {
      {false, false, {"EO0", "CW1"}},
      {true, false, {"EO0", "CW1", "CFI"}},
      {true, true, {"EO0"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.subscribe) + std::to_string(c.monitor));
    controller.ClearLog();
    controller.SetMonitor(c.monitor);
    options->subscribeMG = c.subscribe;
    auto device = OpenDevice();
    EXPECT_EQ(controller.CommandsOn(fakes::kSerialLine), c.commands);
    device->Close();
  }
  controller.SetMonitor(false);
  auto device = OpenDevice();
  controller.SendMessage("hello");
  std::array<char, 16> buffer;
  ASSERT_EQ(device->Message(buffer.data(), buffer.size(), 1000), 5u);
  EXPECT_EQ(std::string(buffer.data(), 5), "hello");
}

TEST_F(SerialDeviceTest, ReadsTakeNoMoreThanTheCallersLengthAfterATimeout) {
  auto device = OpenDevice();
  std::array<char, 406> buffer;
  EXPECT_EQ(CodeOf([&] { device->Read(buffer.data(), 0, true, 100); }), -1103);
  EXPECT_EQ(device->Read(buffer.data(), buffer.size(), true, 0), 0u);

  // Waiting out the deadline sleeps on the line instead of spinning.
  const auto start = steady_clock::now();
  const double cpu = CpuSeconds();
  EXPECT_EQ(CodeOf([&] { device->Read(buffer.data(), buffer.size(), true, 300); }), -1100);
  EXPECT_GE(steady_clock::now() - start, milliseconds(300));
  EXPECT_LT(CpuSeconds() - cpu, 0.1);

  controller.SendSerial("abcdefgh");
  for (int tries = 0; tries < 200 && device->BytesAvailable() < 8; ++tries) {
    std::this_thread::sleep_for(milliseconds(5));
  }
  EXPECT_EQ(device->BytesAvailable(), 8);
  std::array<char, 2> small;
  ASSERT_EQ(device->Read(small.data(), small.size(), true, 1000), 2u);
  EXPECT_EQ(std::string(small.data(), 2), "ab");
  EXPECT_EQ(device->BytesAvailable(), 6);
  ASSERT_EQ(device->Read(buffer.data(), buffer.size(), true, 1000), 6u);
  EXPECT_EQ(std::string(buffer.data(), 6), "cdefgh");
}

TEST_F(SerialDeviceTest, SeparatesBit7BytesIntoTheMessageQueue) {
  auto device = OpenDevice();
  controller.SendSerial("a\xC8\xC9z");
  std::array<char, 16> buffer;
  std::string text;
  while (text.size() < 2) {
    text.append(buffer.data(), device->Read(buffer.data(), buffer.size(), true, 1000));
  }
  EXPECT_EQ(text, "az");
  EXPECT_EQ(device->Message(buffer.data(), buffer.size(), 0), 2u);
  EXPECT_EQ(std::string(buffer.data(), 2), "HI");
}

TEST_F(SerialDeviceTest, WritesInChunksOf449WithProgress) {
  std::vector<uint32_t> done;
  auto callback = [](uint32_t sent, uint32_t, void* user) {
    static_cast<std::vector<uint32_t>*>(user)->push_back(sent);
  };
  auto device = OpenDevice();
  device->SetCallback(callback, &done);
  controller.ClearLog();
  const std::string text(1000, '\n');  // line feeds alone make no command
  device->Write(text.data(), text.size(), -1, true);
  EXPECT_EQ(done, (std::vector<uint32_t>{449, 898, 1000}));
  EXPECT_TRUE(controller.WaitForBytes(fakes::kSerialLine, text));
}

TEST_F(SerialDeviceTest, AWriteThatTimedOutLeavesNothingToGoOutAfterTheNextCommand) {
  std::vector<uint32_t> done;
  auto callback = [](uint32_t sent, uint32_t, void* user) {
    static_cast<std::vector<uint32_t>*>(user)->push_back(sent);
  };
  auto device = OpenDevice();
  device->SetCallback(callback, &done);
  controller.PauseReading(true);
  controller.ClearLog();

  const std::string flood(256 * 1024, '\n');
  EXPECT_EQ(CodeOf([&] { device->Write(flood.data(), flood.size(), 300, true); }), -1100);
  const size_t sent = done.empty() ? 0 : done.back();
  ASSERT_LT(sent, flood.size());

  controller.PauseReading(false);
  EXPECT_EQ(device->Command("MG \"after\"", true, 3000, true), "after");
  EXPECT_EQ(controller.ReceivedBytes(fakes::kSerialLine),
            std::string(sent, '\n') + "MG \"after\"\r");
}

TEST_F(SerialDeviceTest, ALineThatHangsUpEndsInAReadErrorAtOnce) {
  options->timeout = 3000;
  auto device = OpenDevice();
  controller.Script("XQ", {"12.5\r", true, true});
  auto start = steady_clock::now();
  EXPECT_EQ(CodeOf([&] { device->Command("XQ", true, -1, true); }), -1103);
  EXPECT_LT(steady_clock::now() - start, milliseconds(1000));

  std::array<char, 16> buffer;
  start = steady_clock::now();
  EXPECT_EQ(CodeOf([&] { device->Read(buffer.data(), buffer.size(), true, 2000); }), -1103);
  EXPECT_LT(steady_clock::now() - start, milliseconds(500));
}

TEST_F(SerialDeviceTest, RecordsComeThroughQROnlyAndInterruptsAreRefused) {
  auto device = OpenDevice();
  EXPECT_EQ(CodeOf([&] { device->Record(false, -1); }), -1107);
  auto record = std::make_shared<OrvDataRecord>();
  device->SetRecordBuffer(record);
  std::string message;
  EXPECT_EQ(CodeOf([&] { device->Record(true, -1); }, &message), -1109);
  EXPECT_EQ(message, "async data records not available on serial connections");
  EXPECT_EQ(CodeOf([&] { device->Interrupt(100); }), -1109);
  EXPECT_EQ(device->Record(false, -1), 0);
  const std::string expected = FakeController::MakeRecord(64);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(record->bytes), expected.size()), expected);
}

TEST(SerialPortList, EachPortIsADirectAddress) {
  TemporaryDeviceRoot tree;
  tree.Add("ttyUSB0");
  tree.Add("ttyS1");
  std::vector<std::string> list{"10.0.0.5 -d"};
  ListSerialPorts(list);
  EXPECT_EQ(list, (std::vector<std::string>{"10.0.0.5 -d", "/dev/ttyS1 -d", "/dev/ttyUSB0 -d"}));
}

// socat joins a pty of its own to the fake's TCP command port; it ends with the test.
class Socat {
public:
  Socat(const std::string& link, const std::string& tcp) {
    std::string pty = "pty,raw,echo=0,link=" + link;
    std::string target = "tcp:" + tcp;
    char* argv[] = {const_cast<char*>("socat"), pty.data(), target.data(), nullptr};
    if (posix_spawnp(&pid, "socat", nullptr, nullptr, argv, environ) != 0) pid = 0;
  }
  ~Socat() {
    if (pid <= 0) return;
    kill(pid, SIGTERM);
    waitpid(pid, nullptr, 0);
  }
  pid_t pid = 0;
};

TEST(SerialThroughSocat, CommandsReachTheTcpControllerBehindAPty) {
  fakes::FakeControllerSettings settings;
  settings.address = "127.0.0.2";
  settings.commandPort = 23;
  settings.unsolicitedPort = 60007;
  FakeController controller(settings);
  controller.Start();

  TemporaryFolder folder;
  std::filesystem::create_directories(folder.path + "/dev");
  const std::string link = folder.path + "/dev/ttyV1";
  Socat socat(link, "127.0.0.2:23");
  ASSERT_GT(socat.pid, 0);
  for (int tries = 0; tries < 500 && !std::filesystem::exists(link); ++tries) {
    std::this_thread::sleep_for(milliseconds(10));
  }
  ASSERT_TRUE(std::filesystem::exists(link));

  auto options = std::make_shared<OrvanOptions>();
  ParseOpenAddress(link + " -d -t 2000", options);
  boost::asio::io_context io;
  auto device = MakeDevice(*options, io);
  device->Open(options);
  EXPECT_EQ(device->BusType(), kBusSerial);
  EXPECT_EQ(device->Command("X=7", true, -1, true), "");
  EXPECT_EQ(device->Command("MG X", true, -1, true), "7");
  EXPECT_EQ(controller.CommandsOn({false, 23}),
            (std::vector<std::string>{"EO0", "CW1", "X=7", "MG X"}));
  device->Close();
}

}  // namespace
