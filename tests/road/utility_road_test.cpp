// The utility call from C against the real server in this namespace, with a fake controller on
// 127.0.0.2 behind a handle opened through the server, and a device tree of the test's own
// holding one serial port. Only the public header is used.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "fakes/fake_controller.hpp"
#include "pelko.h"
#include "support/dravo_server_fixture.hpp"
#include "support/temporary_device_root.hpp"

namespace {

using orvan::fakes::FakeController;

orvan::fakes::FakeControllerSettings ControllerSettings() {
  orvan::fakes::FakeControllerSettings settings;
  settings.address = "127.0.0.2";
  settings.commandPort = 23;
  settings.unsolicitedPort = 60007;
  return settings;
}

class UtilityRoad : public DravoServerFixture {
protected:
  UtilityRoad() { devices.Add("ttyS3"); }
  void SetUp() override {
    DravoServerFixture::SetUp();
    if (HasFatalFailure()) return;
    controller.Start();
    ASSERT_EQ(OrvOpen("127.0.0.2 -t 2000", &handle), 0);
  }
  void TearDown() override {
    uint16_t port = 23;
    OrvUtility(nullptr, 256, const_cast<char*>("127.0.0.1"), &port);
    if (handle) {
      EXPECT_EQ(OrvClose(handle), 0);
    }
    controller.Stop();
    DravoServerFixture::TearDown();
  }

  std::string LastError() {
    char text[256];
    uint32_t length = sizeof text;
    EXPECT_EQ(OrvUtility(handle, 136, text, &length), 0);
    return text;
  }

  TemporaryDeviceRoot devices;
  FakeController controller{ControllerSettings()};
  OrvCon* handle = nullptr;
};

// One row per option: with or without the handle, the code, and the text written when the
// option gives one.
TEST_F(UtilityRoad, EveryOptionAnswers) {
  char text[256];
  uint32_t length = sizeof text;
  uint32_t four = 4;
  uint32_t three = 3;
  uint32_t zero = 0;
  uint32_t pause = 20;
  uint16_t word = 0;
  int16_t timeout = 0;
  uint16_t port = 23;
  char server[] = "127.0.0.1";
  char controllerAddress[] = "127.0.0.2";
  char lineEnd[] = "127.0.0.2\r";
  char ip[] = "10.0.0.9";
  char mac[] = "02-6D-41-00-00-01";
  char badMac[] = "02-6D-41";
  uint32_t listen = 600000;  // long past the test, so the server still reports it
  uint32_t listening = 0;
  uint32_t answered = 0;
  char nowhere[] = "10.9.9.9";  // no route from this namespace
  uint32_t unanswered = 5;
  uint8_t on = 1;
  uint8_t remembered = 0;
  uint32_t directlyAnswered = 0;
  char localName[] = "Local";
  auto callback = [](uint32_t, uint32_t, void*) {};
  struct Row {
    const char* what;
    int32_t option;
    bool withHandle;
    void* data1;
    void* data2;
    int32_t code;
    const char* written;  // expected in text, or null
  } const rows[] = {
      {"version", 128, false, text, &length, 0, "1.35.5"},
      {"version cut", 128, false, text, &four, 0, "1.3"},
      {"version, no room", 128, false, text, &zero, -10002, nullptr},
      {"version, no buffer", 128, false, nullptr, &length, -1201, nullptr},
      {"version, no buffer, handle", 128, true, nullptr, &length, -2, nullptr},
      {"pause", 130, false, &pause, nullptr, 0, nullptr},
      {"pause, no time", 130, false, nullptr, nullptr, -1201, nullptr},
      {"pause, no time, handle", 130, true, nullptr, nullptr, -2, nullptr},
      {"server setting", 256, false, server, &port, 0, nullptr},
      {"server setting, no port", 256, false, server, nullptr, -1201, nullptr},
      {"server version", 257, false, text, &length, 0, "1.33.4"},
      {"server version cut", 257, true, text, &three, 0, "1."},
      {"server version, no length", 257, false, text, nullptr, -1201, nullptr},
      // Only the serial port: nothing answers the search here.
      {"resources", 259, false, text, &length, 0, "/dev/ttyS3\n"},
      {"resources, no length", 259, true, text, nullptr, -2, nullptr},
      {"ip requests", 260, false, text, &length, 0, ""},
      {"listen", 260, false, &listen, nullptr, 0, nullptr},
      {"listening time", 260, false, nullptr, &listening, 0, nullptr},
      {"ip requests, nothing given", 260, false, nullptr, nullptr, -1201, nullptr},
      {"assign", 261, false, ip, mac, 0, nullptr},
      {"assign, bad mac", 261, true, ip, badMac, -20001, nullptr},
      {"assign, line end", 261, false, lineEnd, mac, -10002, nullptr},
      {"ping", 262, false, controllerAddress, &answered, 0, nullptr},
      {"ping, no answer", 262, false, nowhere, &unanswered, 0, nullptr},
      {"ping, line end", 262, false, lineEnd, &answered, -10002, nullptr},
      {"ping, no result", 262, false, controllerAddress, nullptr, -1201, nullptr},
      // This client is local, and the server lists remote ones only.
      {"connections", 267, false, text, &length, 0, ""},
      {"connections, no buffer, handle", 267, true, nullptr, &length, -2, nullptr},
      {"remember", 270, false, &on, nullptr, 0, nullptr},
      {"remembered", 269, false, &remembered, nullptr, 0, nullptr},
      {"remembered, no place", 269, true, nullptr, nullptr, -2, nullptr},
      // Nothing asks for an address here.
      {"ip requests heard directly", 132, false, text, &length, 0, ""},
      {"direct assignment, bad mac", 133, false, ip, badMac, -10002, nullptr},
      {"direct ping", 135, false, controllerAddress, &directlyAnswered, 0, nullptr},
      {"direct ping, no result", 135, true, controllerAddress, nullptr, -2, nullptr},
      {"publish, no flags", 264, false, localName, nullptr, -1201, nullptr},
      {"publish, line end", 264, false, lineEnd, &word, -10002, nullptr},
      {"local server by name", 265, false, localName, nullptr, 0, nullptr},
      {"server info, line end", 268, false, lineEnd, &length, -10002, nullptr},
      {"unknown", 99, false, text, &length, -1201, nullptr},
      {"unknown, handle", 99, true, text, &length, -2, nullptr},
      {"opened timeout", 1, true, &word, nullptr, 0, nullptr},
      {"opened timeout, no handle", 1, false, &word, nullptr, -1201, nullptr},
      {"timeout, nothing given", 2, true, nullptr, nullptr, -2, nullptr},
      {"timeout read", 2, true, nullptr, &timeout, 0, nullptr},
      {"information", 129, true, text, &length, 0, "127.0.0.2, 1.0b, 1234"},
      {"information, no handle", 129, false, text, &length, -1201, nullptr},
      {"set-up again", 134, true, nullptr, nullptr, 0, nullptr},
      // What the refused assignment above left on the handle.
      {"last error", 136, true, text, &length, 0, "backslash returned"},
      {"last error, no length", 136, true, text, nullptr, -2, nullptr},
      {"nothing", 258, true, nullptr, nullptr, 0, nullptr},
      {"nothing, no handle", 258, false, nullptr, nullptr, -1201, nullptr},
      {"description, none given", 100000, true, nullptr, nullptr, -2, nullptr},
      {"download, no program", 100001, true, nullptr, nullptr, -2, nullptr},
      {"callback", 100002, true, reinterpret_cast<void*>(+callback), nullptr, 0, nullptr},
      {"callback, no handle", 100002, false, reinterpret_cast<void*>(+callback), nullptr, -1201,
       nullptr},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    std::memset(text, '#', sizeof text);
    EXPECT_EQ(OrvUtility(row.withHandle ? handle : nullptr, row.option, row.data1, row.data2),
              row.code);
    if (row.written) {
      EXPECT_STREQ(text, row.written);
    } else if (row.data1 == text) {
      EXPECT_EQ(text[0], '#');
    }
  }
  EXPECT_EQ(word, 2000);
  EXPECT_EQ(timeout, 2000);
  EXPECT_EQ(listening, 600000u);
  EXPECT_EQ(answered, 1u);
  EXPECT_EQ(unanswered, 0u);
  EXPECT_EQ(remembered, 1);
  EXPECT_EQ(directlyAnswered, 1u);

  // The direct list ends with the serial port; what discovery finds comes before it.
  ASSERT_EQ(OrvUtility(nullptr, 131, text, &length), 0);
  const std::string direct = text;
  EXPECT_EQ(direct.substr(direct.rfind('\n') + 1), "/dev/ttyS3 -d") << direct;
}

TEST_F(UtilityRoad, DescriptionOfTheHardwareBehindTheServer) {
  OrvDescription description;
  std::memset(&description, 0, sizeof description);
  ASSERT_EQ(OrvUtility(handle, 100000, &description, nullptr), 0);
  EXPECT_STREQ(description.identity, "VKT4140 Rev 1.0b");
  EXPECT_STREQ(description.serialNumber, "1234");
}

// 256 moves the configured server: 257 and the next open follow it, while 267 keeps asking
// the local server. A failure's message waits on the handle that was given.
TEST_F(UtilityRoad, ConfiguredServerAndLocalServer) {
  char text[64];
  uint32_t length = sizeof text;
  uint16_t closed = 1;  // nothing listens there
  ASSERT_EQ(OrvUtility(nullptr, 256, const_cast<char*>("127.0.0.1"), &closed), 0);

  EXPECT_EQ(OrvUtility(handle, 257, text, &length), -20000);
  EXPECT_NE(LastError(), "");
  EXPECT_EQ(LastError(), "");
  EXPECT_EQ(OrvUtility(nullptr, 267, text, &length), 0);
  OrvCon* other = nullptr;
  EXPECT_EQ(OrvOpen("127.0.0.2", &other), -1101);
  EXPECT_EQ(other, nullptr);

  uint16_t port = 23;
  ASSERT_EQ(OrvUtility(nullptr, 256, const_cast<char*>("127.0.0.1"), &port), 0);
  EXPECT_EQ(OrvUtility(handle, 257, text, &length), 0);
  EXPECT_STREQ(text, "1.33.4");
  ASSERT_EQ(OrvOpen("127.0.0.2", &other), 0);
  EXPECT_EQ(OrvClose(other), 0);
}

TEST_F(UtilityRoad, TimeoutOfTheHandleChangesInOneCall) {
  int16_t next = 1500;
  int16_t old = 0;
  ASSERT_EQ(OrvUtility(handle, 2, &next, &old), 0);
  EXPECT_EQ(old, 2000);
  ASSERT_EQ(OrvUtility(handle, 2, nullptr, &old), 0);
  EXPECT_EQ(old, 1500);
  // The handle still talks to its controller with the new timeout.
  char reply[64];
  uint32_t got = 0;
  EXPECT_EQ(OrvCommand(handle, "MG 7", reply, sizeof reply, &got), 0);
}

}  // namespace
