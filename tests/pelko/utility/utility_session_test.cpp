// The utility session against the stand-in server: one connection per session, made on first
// use, and left by "exit" when the session goes, whichever way the call ends.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <future>
#include <memory>
#include <string>
#include <vector>

#include "api/orv_con.hpp"
#include "fakes/error_code.hpp"
#include "fakes/fake_dravo.hpp"
#include "pelko.h"
#include "server_client/client_device.hpp"
#include "server_client/shell_exchange.hpp"
#include "utility/utility_session.hpp"

using namespace orvan;
using orvan::fakes::CodeOf;
using orvan::fakes::FakeDravo;

namespace {

class UtilitySessionTest : public ::testing::Test {
protected:
  void Serve(fakes::FakeDravoSettings settings = {}) {
    server = std::make_unique<FakeDravo>(settings);
    server->Start();
  }
  void TearDown() override { SetDefaultServer("127.0.0.1", 23); }

  // The session's connection has gone from the server.
  bool Gone() {
    return server->WaitUntil([&] { return server->TlsClients() == 0; });
  }

  std::unique_ptr<FakeDravo> server;
};

TEST_F(UtilitySessionTest, ConnectsOnceAndLeavesTheShellWhenItGoes) {
  Serve();
  server->ScriptShell("connections", "10.0.0.5\r\n10.0.0.6\r\n~");
  {
    UtilitySession session;
    EXPECT_EQ(session.Device(), nullptr);
    session.Connect("127.0.0.1", 23);
    session.Connect("127.0.0.1", 23);  // already connected: nothing more
    EXPECT_EQ(session.Connections(), "10.0.0.5\n10.0.0.6");
    EXPECT_EQ(session.Shell("a -v"), "1.33.4");
    EXPECT_EQ(CodeOf([&] { session.Shell("no such command"); }), -20001);
    EXPECT_EQ(server->TlsClients(), 1u);
  }
  ASSERT_TRUE(Gone());
  EXPECT_EQ(server->ShellLines(),
            (std::vector<std::string>{"tcp a -c", "tcp connections", "tcp a -v",
                                      "tcp no such command", "tcp exit"}));
}

// A failed check leaves the device made but not connected: the session only drops it.
TEST_F(UtilitySessionTest, FailedConnectIsReportedAndSendsNoExit) {
  fakes::FakeDravoSettings incompatible;
  incompatible.compatibility = "2";
  Serve(incompatible);
  {
    UtilitySession session;
    EXPECT_EQ(CodeOf([&] { session.Connect("127.0.0.1", 23); }), -20003);
    ASSERT_NE(session.Device(), nullptr);
    EXPECT_FALSE(session.Device()->IsConnected());
    EXPECT_EQ(CodeOf([&] { session.Shell("a -v"); }), -1102);
  }
  EXPECT_TRUE(Gone());
  EXPECT_EQ(server->ShellLines(), std::vector<std::string>{"tcp a -c"});

  UtilitySession nobody;
  EXPECT_EQ(CodeOf([&] { nobody.Connect("127.0.0.1", 24); }), -20000);
}

// Through the C interface: 257 asks the configured server, 267 the local one, each over a
// connection of its own that is closed before the call returns.
TEST_F(UtilitySessionTest, ServerOptionsOpenAndCloseTheirOwnConnection) {
  Serve();
  char buffer[32];
  uint32_t length = sizeof buffer;
  for (int call = 0; call < 2; ++call) {
    ASSERT_EQ(OrvUtility(nullptr, 257, buffer, &length), 0);
    EXPECT_STREQ(buffer, "1.33.4");
    EXPECT_TRUE(Gone());
  }
  ASSERT_EQ(OrvUtility(nullptr, 267, buffer, &length), 0);
  EXPECT_STREQ(buffer, "127.0.0.1");
  EXPECT_TRUE(Gone());
  const auto lines = server->ShellLines();
  EXPECT_EQ(std::count(lines.begin(), lines.end(), "tcp a -c"), 3);
  EXPECT_EQ(std::count(lines.begin(), lines.end(), "tcp exit"), 3);

  // A refusal on the way still closes the connection.
  server->ScriptShell("connections", "\\");
  EXPECT_EQ(OrvUtility(nullptr, 267, buffer, &length), -20001);
  EXPECT_TRUE(Gone());

  // The local server is asked whatever the configured one is.
  SetDefaultServer("127.0.0.1", 24);
  server->ScriptShell("connections", "~");
  EXPECT_EQ(OrvUtility(nullptr, 267, buffer, &length), 0);
  EXPECT_STREQ(buffer, "");
  EXPECT_EQ(OrvUtility(nullptr, 257, buffer, &length), -20000);
}

// The list through the server: a controller seen on two interfaces is pinged once, one that
// does not answer is bracketed with its other fields kept, serial and card entries pass
// unpinged, and a refused search still gives the list.
TEST_F(UtilitySessionTest, ResourcesPingEachNetworkAddressOnce) {
  Serve();
  server->ScriptShell("r -s", "\\");
  server->ScriptShell("r",
                      "10.0.0.5, ctl A, 10.0.0.1, eth0\r\n10.0.0.5, ctl A, 10.0.1.1, eth1\r\n"
                      "10.0.0.6, ctl B, 10.0.0.1, eth0\r\n/dev/ttyS0\r\n/dev/rurezivu0\r\n~");
  server->ScriptShell("ping 10.0.0.5", "64 bytes from 10.0.0.5\r\n~");
  char buffer[256];
  uint32_t length = sizeof buffer;
  ASSERT_EQ(OrvUtility(nullptr, 259, buffer, &length), 0);
  EXPECT_STREQ(buffer,
               "10.0.0.5, ctl A, 10.0.0.1, eth0\n10.0.0.5, ctl A, 10.0.1.1, eth1\n"
               "(10.0.0.6), ctl B, 10.0.0.1, eth0\n/dev/ttyS0\n/dev/rurezivu0\n");
  ASSERT_TRUE(Gone());
  EXPECT_EQ(server->ShellLines(),
            (std::vector<std::string>{"tcp a -c", "tcp r -s", "tcp r", "tcp ping 10.0.0.5",
                                      "tcp ping 10.0.0.6", "tcp exit"}));

  server->ScriptShell("r", "~");
  ASSERT_EQ(OrvUtility(nullptr, 259, buffer, &length), 0);
  EXPECT_STREQ(buffer, "");
}

// The settings requests report a refusal; the ping stores it as "no answer".
TEST_F(UtilitySessionTest, RefusedRequestsThroughTheServer) {
  Serve();
  uint32_t milliseconds = 7;
  uint32_t answered = 5;
  uint8_t on = 1;
  struct Case {
    const char* line;
    int32_t option;
    void* data1;
    void* data2;
    int32_t code;
  } const cases[] = {
      {"noip -l 7", 260, &milliseconds, nullptr, -20001},
      {"noip --timeout", 260, nullptr, &milliseconds, -20001},
      {"assign -m 02-6D-41-00-00-01 -a 10.0.0.9", 261, const_cast<char*>("10.0.0.9"),
       const_cast<char*>("02-6D-41-00-00-01"), -20001},
      {"assign --clear all", 261, const_cast<char*>(""), const_cast<char*>(""), -20001},
      {"noip --remember 1", 270, &on, nullptr, -20001},
      {"noip --remembered", 269, &on, nullptr, -20001},
      {"noip", 260, nullptr, nullptr, -20001},  // the text form, given below
      {"ping 10.0.0.9", 262, const_cast<char*>("10.0.0.9"), &answered, 0},
  };
  char buffer[32];
  uint32_t length = sizeof buffer;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.line);
    server->ScriptShell(c.line, "\\");
    const bool text = c.data1 == nullptr && c.data2 == nullptr;
    EXPECT_EQ(OrvUtility(nullptr, c.option, text ? buffer : c.data1, text ? &length : c.data2),
              c.code);
    EXPECT_TRUE(Gone());
    const auto lines = server->ShellLines();
    EXPECT_NE(std::find(lines.begin(), lines.end(), std::string("tcp ") + c.line), lines.end());
  }
  EXPECT_EQ(answered, 0u);
}

// Texts that would end the shell line or change the channel's mode never reach the server.
TEST_F(UtilitySessionTest, ControlCharactersInCallerTextsAreRefused) {
  Serve();
  uint32_t answered = 5;
  for (const char* bad : {"10.0.0.9\r", "10.0.0.9\nr -s",
                          "\x1b"
                          "c",
                          "10.0.0.99\b"}) {
    SCOPED_TRACE(bad);
    char* text = const_cast<char*>(bad);
    char* fine = const_cast<char*>("02-6D-41-00-00-01");
    EXPECT_EQ(OrvUtility(nullptr, 261, text, fine), -10002);
    EXPECT_EQ(OrvUtility(nullptr, 261, const_cast<char*>("10.0.0.9"), text), -10002);
    EXPECT_EQ(OrvUtility(nullptr, 262, text, &answered), -10002);
  }
  EXPECT_EQ(answered, 5u);
  EXPECT_TRUE(server->ShellLines().empty());
}

// Numbers in replies: 260's listening time and 269's flag.
TEST_F(UtilitySessionTest, NumbersInReplies) {
  struct Case {
    const char* reply;
    uint32_t value;
  } const cases[] = {{"5000", 5000},    {"$1F", 31},      {"$", 0},  {"abc", 0},
                     {"12 ms", 12},     {"", 0},          {"-4", 0}, {"4294967295", 4294967295u},
                     {"4294967296", 0}, {"$fffffffff", 0}};
  for (const auto& c : cases) EXPECT_EQ(ReadReplyNumber(c.reply), c.value) << c.reply;

  Serve();
  server->ScriptShell("noip --timeout", "$3E8\r\n~");
  server->ScriptShell("noip --remembered", "$10~");
  uint32_t milliseconds = 0;
  uint8_t remembered = 0;
  EXPECT_EQ(OrvUtility(nullptr, 260, nullptr, &milliseconds), 0);
  EXPECT_EQ(milliseconds, 1000u);
  EXPECT_EQ(OrvUtility(nullptr, 269, &remembered, nullptr), 0);
  EXPECT_EQ(remembered, 1);
  server->ScriptShell("noip --remembered", "0~");
  EXPECT_EQ(OrvUtility(nullptr, 269, &remembered, nullptr), 0);
  EXPECT_EQ(remembered, 0);
}

}  // namespace

namespace {

// The local server's management requests: the exact lines sent, the replies handed over.
TEST_F(UtilitySessionTest, ServerManagementLines) {
  Serve();
  server->ScriptShell("servers", "lab, 10.0.0.4, 23\r\nhall, 10.0.0.5, 23\r\n~");
  server->ScriptShell("serverstatus", "running\r\npublished\r\n~");
  server->ScriptShell("serverinfo --name lab", "lab.local,23\r\n~");
  char buffer[64];
  uint32_t length = sizeof buffer;
  ASSERT_EQ(OrvUtility(nullptr, 263, buffer, &length), 0);
  EXPECT_STREQ(buffer, "lab, 10.0.0.4, 23\nhall, 10.0.0.5, 23");
  ASSERT_EQ(OrvUtility(nullptr, 266, buffer, &length), 0);
  EXPECT_STREQ(buffer, "running\r\npublished");
  // The reply is written over the name.
  std::strcpy(buffer, "lab");
  ASSERT_EQ(OrvUtility(nullptr, 268, buffer, &length), 0);
  EXPECT_STREQ(buffer, "lab.local,23");
  for (uint16_t flags : {0, 1, 2, 3}) {
    SCOPED_TRACE(flags);
    ASSERT_EQ(OrvUtility(nullptr, 264, const_cast<char*>("lab"), &flags), 0);
    EXPECT_TRUE(Gone());
  }
  EXPECT_EQ(server->ShellLines(),
            (std::vector<std::string>{"tcp a -c",
                                      "tcp servers",
                                      "tcp exit",
                                      "tcp a -c",
                                      "tcp serverstatus",
                                      "tcp exit",
                                      "tcp a -c",
                                      "tcp serverinfo --name lab",
                                      "tcp exit",
                                      "tcp a -c",
                                      "tcp publish --remove --name lab --port 23",
                                      "tcp exit",
                                      "tcp a -c",
                                      "tcp publish --name lab --port 23",
                                      "tcp exit",
                                      "tcp a -c",
                                      "tcp publish --remove --name lab --port 23 --save",
                                      "tcp exit",
                                      "tcp a -c",
                                      "tcp publish --name lab --port 23 --save",
                                      "tcp exit"}));

  // Only an explicit refusal of a publish is reported.
  server->ScriptShell("publish --name lab --port 23", "\\");
  uint16_t publish = 1;
  EXPECT_EQ(OrvUtility(nullptr, 264, const_cast<char*>("lab"), &publish), -20001);
  server->ScriptShell("servers", "\\");
  EXPECT_EQ(OrvUtility(nullptr, 263, buffer, &length), -20001);
  EXPECT_TRUE(Gone());
  // A publish whose answer the restart cuts short counts as done.
  server->ScriptShell("publish --name lab --port 23 --save", "restarting");
  uint16_t save = 3;
  auto call = std::async(std::launch::async,
                         [&] { return OrvUtility(nullptr, 264, const_cast<char*>("lab"), &save); });
  ASSERT_TRUE(server->WaitUntil([&] {
    const auto lines = server->ShellLines();
    return !lines.empty() && lines.back() == "tcp publish --name lab --port 23 --save";
  }));
  server->DropClients();
  EXPECT_EQ(call.get(), 0);

  // The local server is asked whatever the configured one is.
  SetDefaultServer("127.0.0.1", 24);
  server->ScriptShell("servers", "~");
  EXPECT_EQ(OrvUtility(nullptr, 263, buffer, &length), 0);
}

// Choosing a server by its published name: the reply's host resolved, its port kept; a reply
// that names no server leaves the setting alone.
TEST_F(UtilitySessionTest, SelectServerByName) {
  Serve();
  struct Case {
    const char* reply;
    int32_t code;
    const char* address;
    uint16_t port;
  } const cases[] = {
      {"localhost,4000~", 0, "127.0.0.1", 4000},
      {"127.0.0.2, 70000 more~", 0, "127.0.0.2", 70000 & 0xFFFF},
      {"none~", -20000, "10.9.9.9", 99},
      {"~", -20000, "10.9.9.9", 99},
      {"127.0.0.1~", -20000, "10.9.9.9", 99},
      {"127.0.0.1,port~", -20000, "10.9.9.9", 99},
      {"127.0.0.1,99999999999~", -20000, "10.9.9.9", 99},
      {"no.such.host.invalid,23~", -20000, "10.9.9.9", 99},
      {"\\", -20001, "10.9.9.9", 99},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.reply);
    SetDefaultServer("10.9.9.9", 99);
    server->ScriptShell("serverinfo --name local", c.reply);
    EXPECT_EQ(OrvUtility(nullptr, 265, const_cast<char*>("local"), nullptr), c.code);
    EXPECT_EQ(GetDefaultServer().address, c.address);
    EXPECT_EQ(GetDefaultServer().port, c.port);
  }
  // "Local" needs no server at all.
  const size_t asked = server->ShellLines().size();
  EXPECT_EQ(OrvUtility(nullptr, 265, const_cast<char*>("Local"), nullptr), 0);
  EXPECT_EQ(GetDefaultServer().address, "127.0.0.1");
  EXPECT_EQ(GetDefaultServer().port, 23);
  EXPECT_EQ(server->ShellLines().size(), asked);
}

// Names that would end the line or edit it never reach the server.
TEST_F(UtilitySessionTest, ControlCharactersInServerNamesAreRefused) {
  Serve();
  uint16_t flags = 1;
  for (const char* bad : {"lab\r", "lab\nexit", "\x1b", "lab\b"}) {
    SCOPED_TRACE(bad);
    char buffer[16];
    std::strcpy(buffer, bad);
    uint32_t length = sizeof buffer;
    EXPECT_EQ(OrvUtility(nullptr, 264, buffer, &flags), -10002);
    EXPECT_EQ(OrvUtility(nullptr, 265, buffer, nullptr), -10002);
    EXPECT_EQ(OrvUtility(nullptr, 268, buffer, &length), -10002);
  }
  EXPECT_TRUE(server->ShellLines().empty());
}

// Direct options: assignment texts that do not parse send nothing; a ping of loopback answers.
TEST_F(UtilitySessionTest, DirectAssignmentAndPing) {
  struct Case {
    const char* ip;
    const char* mac;
  } const cases[] = {{"10.0.0.9", "02-6D-41-00-01"},
                     {"10.0.0.9", "02-6D-41-00-00-0G"},
                     {"10.0.0", "02-6D-41-00-00-01"},
                     {"10.0.0.9.1", "02:6D:41:00:00:01"},
                     {"", ""}};
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.ip) + " " + c.mac);
    EXPECT_EQ(OrvUtility(nullptr, 133, const_cast<char*>(c.ip), const_cast<char*>(c.mac)), -10002);
  }
  uint32_t answered = 5;
  ASSERT_EQ(OrvUtility(nullptr, 135, const_cast<char*>("127.0.0.1"), &answered), 0);
  EXPECT_EQ(answered, 1u);
  ASSERT_EQ(OrvUtility(nullptr, 135, const_cast<char*>("not an address"), &answered), 0);
  EXPECT_EQ(answered, 0u);
}

}  // namespace
