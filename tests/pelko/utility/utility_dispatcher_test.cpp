// The utility call's dispatch over handles with scripted devices behind them: the argument
// rules, the cut-and-terminate copy, the system check forced false, and the handle options.
// No option here reaches a server that listens.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "api/orv_con.hpp"
#include "core/connection.hpp"
#include "core/orvan_device.hpp"
#include "core/orvan_options.hpp"
#include "fakes/answering_device.hpp"
#include "pelko.h"
#include "platform/os_version.hpp"

using namespace orvan;
using orvan::fakes::AnsweringDevice;

namespace {

class UtilityDispatch : public ::testing::Test {
protected:
  void SetUp() override {
    previous = Connection::SetDeviceMaker([this](const OrvanOptions&, auto&) { return device; });
    device->otherwise = "";
    ASSERT_EQ(OrvOpen("127.0.0.9 -d -t 300", &handle), 0);
  }
  void TearDown() override {
    EXPECT_EQ(OrvClose(handle), 0);
    Connection::SetDeviceMaker(previous);
    SetDefaultServer("127.0.0.1", 23);
    platform::ResetWindows10OrLater();
  }

  std::string TakeLastError(OrvCon* from) {
    char text[128];
    uint32_t length = sizeof text;
    EXPECT_EQ(OrvUtility(from, 136, text, &length), 0);
    return text;
  }

  std::shared_ptr<AnsweringDevice> device = std::make_shared<AnsweringDevice>();
  OrvCon* handle = nullptr;
  Connection::DeviceMaker previous;
};

// A missing argument is -1201 without a handle and -2 with one; options of the other family,
// unknown numbers and those not built yet answer by the same rules. None of these codes touches
// the handle's last error.
TEST_F(UtilityDispatch, ArgumentRules) {
  char buffer[16];
  uint32_t length = sizeof buffer;
  uint32_t milliseconds = 0;
  uint16_t word = 0;
  struct Case {
    int32_t option;
    void* data1;
    void* data2;
    int32_t withoutHandle;
    int32_t withHandle;
  } const cases[] = {
      {128, nullptr, &length, -1201, -2},
      {128, buffer, nullptr, -1201, -2},
      {130, nullptr, nullptr, -1201, -2},
      {256, nullptr, &word, -1201, -2},
      {256, const_cast<char*>("10.0.0.1"), nullptr, -1201, -2},
      {257, nullptr, &length, -1201, -2},
      {259, buffer, nullptr, -1201, -2},
      {260, nullptr, nullptr, -1201, -2},
      {261, const_cast<char*>("10.0.0.1"), nullptr, -1201, -2},
      {261, nullptr, const_cast<char*>("02-6D-41-00-00-01"), -1201, -2},
      {262, const_cast<char*>("10.0.0.1"), nullptr, -1201, -2},
      {262, nullptr, &milliseconds, -1201, -2},
      {267, buffer, nullptr, -1201, -2},
      {269, nullptr, &length, -1201, -2},
      {270, nullptr, &length, -1201, -2},
      {1, nullptr, nullptr, -1201, -2},
      {1, &word, nullptr, -1201, 0},
      {2, nullptr, nullptr, -1201, -2},
      {129, buffer, nullptr, -1201, -2},
      {136, nullptr, &length, -1201, -2},
      {258, nullptr, nullptr, -1201, 0},
      {100000, nullptr, nullptr, -1201, -2},
      {100001, nullptr, nullptr, -1201, -2},
      {0, buffer, &length, -1201, -2},
      {127, buffer, &length, -1201, -2},
      {271, buffer, &length, -1201, -2},
      {100003, buffer, &length, -1201, -2},
      {131, buffer, nullptr, -1201, -2},
      {132, nullptr, &length, -1201, -2},
      {133, const_cast<char*>("10.0.0.9"), nullptr, -1201, -2},
      {135, nullptr, &milliseconds, -1201, -2},
      {263, buffer, nullptr, -1201, -2},
      {264, const_cast<char*>("lab"), nullptr, -1201, -2},
      {264, nullptr, &word, -1201, -2},
      {265, nullptr, nullptr, -1201, -2},
      {266, nullptr, &length, -1201, -2},
      {268, &milliseconds, nullptr, -1201, -2},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.option);
    EXPECT_EQ(OrvUtility(nullptr, c.option, c.data1, c.data2), c.withoutHandle);
    handle->lastError = "kept";
    EXPECT_EQ(OrvUtility(handle, c.option, c.data1, c.data2), c.withHandle);
    EXPECT_EQ(handle->lastError, "kept");
  }
  EXPECT_EQ(GetDefaultServer().address, "127.0.0.1");  // no half-done 256
}

// Text results are cut to the buffer and always end in a NUL; a length of 0 writes nothing.
TEST_F(UtilityDispatch, VersionIsCutAndTerminated) {
  struct Case {
    uint32_t length;
    int32_t code;
    const char* text;
  } const cases[] = {
      {4, 0, "1.3"}, {6, 0, "1.35."}, {7, 0, "1.35.5"}, {1, 0, ""}, {64, 0, "1.35.5"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.length);
    char buffer[80];
    std::memset(buffer, '#', sizeof buffer);
    uint32_t length = c.length;
    EXPECT_EQ(OrvUtility(nullptr, 128, buffer, &length), c.code);
    EXPECT_STREQ(buffer, c.text);
    EXPECT_EQ(buffer[c.length], '#');  // nothing past the caller's length
    EXPECT_EQ(length, c.length);       // read, never written
  }
  char untouched[4] = {'#', '#', '#', '#'};
  uint32_t zero = 0;
  for (OrvCon* given : {static_cast<OrvCon*>(nullptr), handle}) {
    handle->lastError = "kept";
    EXPECT_EQ(OrvUtility(given, 128, untouched, &zero), -10002);
    EXPECT_EQ(untouched[0], '#');
    EXPECT_EQ(handle->lastError, "kept");
  }
}

TEST_F(UtilityDispatch, PauseWaitsTheGivenMilliseconds) {
  uint32_t milliseconds = 60;
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(OrvUtility(nullptr, 130, &milliseconds, nullptr), 0);
  EXPECT_GE(MillisecondsSince(start), 60);
}

// The server setting is what the next open starts from.
TEST_F(UtilityDispatch, ServerSettingReachesTheNextOpen) {
  uint16_t port = 4000;
  EXPECT_EQ(OrvUtility(nullptr, 256, const_cast<char*>("10.1.1.1"), &port), 0);
  EXPECT_EQ(GetDefaultServer().address, "10.1.1.1");
  EXPECT_EQ(GetDefaultServer().port, 4000);
  OrvCon* other = nullptr;
  ASSERT_EQ(OrvOpen("127.0.0.9 -d", &other), 0);
  EXPECT_EQ(other->connection.options->serverAddress, "10.1.1.1");
  EXPECT_EQ(other->connection.options->serverPort, 4000);
  other->connection.device.reset();  // the fixture's device stays with the fixture's handle
  EXPECT_EQ(OrvClose(other), 0);
}

// Where the system check fails, only the server-management options are refused, before their
// arguments are looked at; the refusal leaves the last error alone.
TEST_F(UtilityDispatch, OlderSystemRefusesServerManagementOnly) {
  platform::ForceWindows10OrLater(false);
  handle->lastError = "kept";
  for (OrvCon* given : {static_cast<OrvCon*>(nullptr), handle}) {
    for (int32_t option = 263; option <= 268; ++option) {
      SCOPED_TRACE(option);
      EXPECT_EQ(OrvUtility(given, option, nullptr, nullptr), -1109);
      char buffer[8] = "Local";
      uint32_t length = sizeof buffer;
      EXPECT_EQ(OrvUtility(given, option, buffer, &length), -1109);
    }
  }
  EXPECT_EQ(handle->lastError, "kept");

  char version[8];
  uint32_t length = sizeof version;
  EXPECT_EQ(OrvUtility(nullptr, 128, version, &length), 0);
  EXPECT_STREQ(version, "1.35.5");
  EXPECT_EQ(OrvUtility(nullptr, 257, nullptr, nullptr), -1201);
  EXPECT_EQ(OrvUtility(handle, 258, nullptr, nullptr), 0);
}

// A server option whose server is not there fails with the connect code, and a handle given
// to it keeps the message, once.
TEST_F(UtilityDispatch, FailedServerRequestLeavesItsMessageOnTheHandle) {
  SetDefaultServer("127.0.0.1", 1);  // nothing listens on port 1 of loopback
  char buffer[32];
  uint32_t length = sizeof buffer;
  EXPECT_EQ(OrvUtility(nullptr, 257, buffer, &length), -20000);
  EXPECT_EQ(OrvUtility(handle, 257, buffer, &length), -20000);
  const std::string message = TakeLastError(handle);
  EXPECT_FALSE(message.empty());
  EXPECT_EQ(TakeLastError(handle), "");
}

TEST_F(UtilityDispatch, LastErrorIsTakenOnceAndKeptWhenItCannotBeHandedOver) {
  handle->lastError = "controller said no";
  char buffer[8];
  std::memset(buffer, '#', sizeof buffer);
  uint32_t zero = 0;
  EXPECT_EQ(OrvUtility(handle, 136, buffer, &zero), -10002);
  EXPECT_EQ(buffer[0], '#');
  uint32_t length = 6;
  EXPECT_EQ(OrvUtility(handle, 136, buffer, &length), 0);
  EXPECT_STREQ(buffer, "contr");  // cut; the rest is gone with it
  EXPECT_EQ(TakeLastError(handle), "");
}

TEST_F(UtilityDispatch, TimeoutsOfTheHandle) {
  uint16_t opened = 0;
  EXPECT_EQ(OrvUtility(handle, 1, &opened, nullptr), 0);
  EXPECT_EQ(opened, 300);

  int16_t next = 1200;
  int16_t old = 0;
  EXPECT_EQ(OrvUtility(handle, 2, &next, &old), 0);
  EXPECT_EQ(old, 300);
  EXPECT_EQ(handle->timeout, 1200);
  EXPECT_EQ(OrvUtility(handle, 2, nullptr, &old), 0);  // read only
  EXPECT_EQ(old, 1200);
  int16_t swapped = 700;  // one variable: the new value in, the old one out
  EXPECT_EQ(OrvUtility(handle, 2, &swapped, &swapped), 0);
  EXPECT_EQ(swapped, 1200);
  EXPECT_EQ(handle->timeout, 700);
  // The opened timeout is the options', not the handle's.
  EXPECT_EQ(OrvUtility(handle, 1, &opened, nullptr), 0);
  EXPECT_EQ(opened, 300);
}

// A handle whose device is gone: the options that need it give -1102 with an empty message,
// the others still answer.
TEST_F(UtilityDispatch, HandleWithoutDevice) {
  OrvCon bare;
  uint16_t word = 0;
  OrvDescription description{};
  auto callback = [](uint32_t, uint32_t, void*) {};
  struct Case {
    int32_t option;
    void* data1;
    int32_t code;
  } const cases[] = {{1, &word, -1102},
                     {1, nullptr, -2},
                     {100000, &description, -1102},
                     {100000, nullptr, -2},
                     {100002, reinterpret_cast<void*>(+callback), -1102},
                     {134, nullptr, 0},
                     {258, nullptr, 0}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.option);
    bare.lastError = "kept";
    EXPECT_EQ(OrvUtility(&bare, c.option, c.data1, nullptr), c.code);
    EXPECT_EQ(bare.lastError, c.code == -1102 ? "" : "kept");
  }
  char info[32];
  uint32_t length = sizeof info;
  EXPECT_EQ(OrvUtility(&bare, 129, info, &length), 0);
  EXPECT_STREQ(info, "device not open");
  length = 7;
  EXPECT_EQ(OrvUtility(&bare, 129, info, &length), 0);
  EXPECT_STREQ(info, "device");
}

TEST_F(UtilityDispatch, InitializeRunsAgainOnlyOnAnOpenDevice) {
  device->description.reset();  // the set-up commands without identification
  device->commands.clear();
  EXPECT_EQ(OrvUtility(handle, 134, nullptr, nullptr), 0);
  EXPECT_EQ(device->commands, (std::vector<std::string>{"EO0", "CW1"}));

  device->open = false;
  device->commands.clear();
  EXPECT_EQ(OrvUtility(handle, 134, nullptr, nullptr), 0);
  EXPECT_TRUE(device->commands.empty());
  device->open = true;
}

TEST_F(UtilityDispatch, FailuresInsideAnOptionReachTheCaller) {
  device->description.reset();
  device->failRead = device->reads + 1;  // the set-up's first reply does not come
  device->failReadCode = -1100;
  handle->lastError = "old";
  EXPECT_EQ(OrvUtility(handle, 134, nullptr, nullptr), -1100);
  EXPECT_NE(handle->lastError, "old");

  class Throws : public AnsweringDevice {
  public:
    void Write(const char*, uint64_t, int32_t, bool) override { throw std::runtime_error("x"); }
  };
  auto throwing = std::make_shared<Throws>();
  throwing->Open(handle->connection.options);
  throwing->description.reset();
  handle->connection.device = throwing;
  handle->lastError = "kept";
  EXPECT_EQ(OrvUtility(handle, 134, nullptr, nullptr), -1);
  EXPECT_EQ(handle->lastError, "kept");
}

// A device that lost its description (a closed one) is refused, not read through.
TEST_F(UtilityDispatch, DescriptionWithoutRecordIsRefused) {
  device->description.reset();
  OrvDescription description{};
  EXPECT_EQ(OrvUtility(handle, 100000, &description, nullptr), -1300);
  EXPECT_EQ(handle->lastError, "no hardware description");
}

TEST_F(UtilityDispatch, CallbackReachesTheDevice) {
  auto callback = [](uint32_t, uint32_t, void*) {};
  int user = 0;
  EXPECT_EQ(OrvUtility(handle, 100002, reinterpret_cast<void*>(+callback), &user), 0);
  EXPECT_EQ(device->progressCallback, static_cast<OrvProgressCallback>(callback));
  EXPECT_EQ(device->callbackUser, &user);
  EXPECT_EQ(OrvUtility(handle, 100002, nullptr, nullptr), 0);  // cleared
  EXPECT_EQ(device->progressCallback, nullptr);
}

// The download variant sends "D1" where OrvProgramDownload sends "DL".
TEST_F(UtilityDispatch, ProgramDownloadWithD1) {
  device->answers = {{"QP", "UC 2"}, {"D1 , 1", "\x06"}, {"MG 1", "\x06"}};
  EXPECT_EQ(OrvUtility(handle, 100001, const_cast<char*>("MG 1"), nullptr), 0);
  EXPECT_NE(std::find(device->writes.begin(), device->writes.end(), "D1 , 1\r"),
            device->writes.end());
  EXPECT_EQ(std::find(device->writes.begin(), device->writes.end(), "DL , 1\r"),
            device->writes.end());
}

}  // namespace
