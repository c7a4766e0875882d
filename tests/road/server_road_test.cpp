// The library through the real server, both in this process and in a namespace of their own:
// the server-client device connects over TLS to the server on 127.0.0.1 port 23, passes its
// compatibility check, speaks its shell and reaches the fake controller on 127.0.0.2 through
// it with the same C interface as the direct road.
#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <cstring>
#include <functional>
#include <string>
#include <thread>

#include "api/orv_con.hpp"
#include "core/orvan_error.hpp"
#include "core/orvan_options.hpp"
#include "fakes/error_code.hpp"
#include "fakes/fake_controller.hpp"
#include "pelko.h"
#include "server_client/client_device.hpp"
#include "support/test_support.hpp"

namespace {

using orvan::ClientDevice;
using orvan::fakes::CodeOf;
using orvan::fakes::FakeController;

orvan::fakes::FakeControllerSettings ControllerSettings() {
  orvan::fakes::FakeControllerSettings settings;
  settings.address = "127.0.0.2";
  settings.commandPort = 23;
  settings.unsolicitedPort = 60007;
  return settings;
}

class ServerRoad : public testing::Test {
protected:
  static void SetUpTestSuite() { WriteCertificate(UseFreshDataFolder(), "server road"); }

  void SetUp() override {
    options->address = "127.0.0.2";
    options->timeout = 2000;
  }

  // Waits until the server holds `count` clients (its pending accept counts as one).
  bool WaitForClients(size_t count) {
    for (int i = 0; i < 300; ++i) {
      if (running.Clients() == count) return true;
      std::this_thread::sleep_for(10ms);
    }
    return false;
  }

  RunningServer running;
  boost::asio::io_context io;
  std::shared_ptr<orvan::OrvanOptions> options = std::make_shared<orvan::OrvanOptions>();
};

TEST_F(ServerRoad, ConnectsPassesTheCheckAndSpeaksTheShell) {
  auto device = std::make_shared<ClientDevice>(io);
  device->Connect("127.0.0.1", 23);
  ASSERT_TRUE(device->IsConnected());
  EXPECT_EQ(device->Shell("a -v", true), "1.33.4");
  // The server lists remote clients only; this one is local.
  EXPECT_EQ(device->Connections(), "");
  EXPECT_EQ(CodeOf([&] { device->Shell("no such command", true); }), -20001);
  EXPECT_EQ(device->Shell("te", true), "invalid dravo command");
  EXPECT_EQ(device->Shell("te", true), "");

  device->Disconnect();
  EXPECT_FALSE(device->IsConnected());
  EXPECT_TRUE(WaitForClients(1));
}

TEST_F(ServerRoad, OpenFailsWhenTheServerCannotReachTheController) {
  // Nothing answers at this address, so the server never holds a resource to link to.
  options->address = "127.0.0.9";
  auto device = std::make_shared<ClientDevice>(io);
  std::string message;
  EXPECT_EQ(CodeOf([&] { device->Open(options); }, &message), -1101);
  EXPECT_EQ(message, "device failed to open");
  EXPECT_FALSE(device->IsOpen());
  device.reset();
  EXPECT_TRUE(WaitForClients(1));
}

// The C test of the direct road, through the server: commands, messages, records,
// interrupts, program and array transfer on one handle.
TEST_F(ServerRoad, CInterfaceReachesTheControllerThroughTheServer) {
  FakeController controller(ControllerSettings());
  orvan::fakes::FakeIdentity identity;
  identity.identity = "VKTA240 Rev 2.1a";  // a model with interrupts
  controller.SetIdentity(identity);
  controller.Start();

  OrvCon* handle = nullptr;
  ASSERT_EQ(OrvOpen("127.0.0.2 --subscribe ALL", &handle), 0);
  ASSERT_NE(handle, nullptr);
  std::array<char, 64> reply{};
  uint32_t length = 0;
  EXPECT_EQ(OrvCommand(handle, "MG \"road\"", reply.data(), reply.size(), &length), 0);
  EXPECT_EQ(std::string(reply.data()).substr(0, 4), "road");
  EXPECT_TRUE(controller.WaitForCommand("CFI"));
  EXPECT_TRUE(controller.WaitForCommand("DR,_WH"));
  EXPECT_TRUE(controller.WaitForCommand("EI,,_WH"));

  controller.SendMessage("note");
  EXPECT_EQ(OrvMessage(handle, reply.data(), reply.size()), 0);
  EXPECT_STREQ(reply.data(), "note");

  controller.SendRecord();
  OrvDataRecord record{};
  EXPECT_EQ(OrvRecord(handle, &record, 1), 0);
  EXPECT_EQ(std::memcmp(record.bytes, FakeController::MakeRecord(64).data(), 64), 0);

  controller.SendInterrupt("\x31\x32");
  uint8_t status = 0;
  EXPECT_EQ(OrvInterrupt(handle, &status), 0);
  EXPECT_EQ(status, 0x31);
  EXPECT_EQ(OrvInterrupt(handle, &status), 0);
  EXPECT_EQ(status, 0x32);

  EXPECT_EQ(OrvLost(handle), 0);
  EXPECT_EQ(OrvClose(handle), 0);
}

TEST_F(ServerRoad, TwoHandlesShareOneController) {
  FakeController controller(ControllerSettings());
  controller.Start();
  OrvCon* first = nullptr;
  OrvCon* second = nullptr;
  ASSERT_EQ(OrvOpen("127.0.0.2", &first), 0);
  ASSERT_EQ(OrvOpen("127.0.0.2", &second), 0);
  std::array<char, 64> reply{};
  uint32_t length = 0;
  for (int i = 0; i < 20; ++i) {
    const std::string text = std::to_string(i);
    OrvCon* handle = i % 2 ? first : second;
    ASSERT_EQ(
        OrvCommand(handle, ("MG \"" + text + "\"").c_str(), reply.data(), reply.size(), &length),
        0);
    EXPECT_EQ(std::string(reply.data()), text + "\r\n:");
  }
  // One hardware connection serves both.
  EXPECT_EQ(controller.TcpConnections(), 1u);
  EXPECT_EQ(OrvClose(first), 0);
  EXPECT_EQ(OrvCommand(second, "MG \"still\"", reply.data(), reply.size(), &length), 0);
  EXPECT_EQ(OrvClose(second), 0);
}

TEST_F(ServerRoad, ServerStoppedUnderAnOpenHandle) {
  FakeController controller(ControllerSettings());
  controller.Start();
  OrvCon* handle = nullptr;
  ASSERT_EQ(OrvOpen("127.0.0.2 --subscribe MG", &handle), 0);
  running.server->Shutdown();
  running.Finish();

  const auto start = std::chrono::steady_clock::now();
  std::array<char, 64> reply{};
  uint32_t length = 0;
  const int32_t code = OrvCommand(handle, "MG \"x\"", reply.data(), reply.size(), &length);
  EXPECT_TRUE(code == -1100 || code == -1104) << code;
  EXPECT_EQ(OrvLost(handle), -1);
  EXPECT_EQ(OrvCommand(handle, "MG \"x\"", reply.data(), reply.size(), &length), -1104);
  EXPECT_EQ(OrvWrite(handle, "abc", 3), -1104);
  EXPECT_EQ(OrvClose(handle), 0);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 4s);
}

// A download refused on the way leaves the controller to its other clients at once: the first
// client is back in command mode before the error reaches it.
TEST_F(ServerRoad, RefusedDownloadLeavesTheControllerFreeForOtherClients) {
  FakeController controller(ControllerSettings());
  controller.Start();
  OrvCon* first = nullptr;
  ASSERT_EQ(OrvOpen("127.0.0.2 -t 1000", &first), 0);
  const struct {
    const char* what;
    std::function<int32_t()> download;
    int32_t code;
  } cases[] = {
      {"array not dimensioned", [&] { return OrvArrayDownload(first, "NONE", 0, 1, "1,2"); },
       -1200},
      {"program the preprocessor refuses",
       [&] { return OrvProgramDownload(first, "MG \"\\\"", ""); }, -1202},
  };
  std::array<char, 64> reply{};
  uint32_t length = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(c.download(), c.code);
    const auto start = std::chrono::steady_clock::now();
    OrvCon* second = nullptr;
    ASSERT_EQ(OrvOpen("127.0.0.2 -t 1000", &second), 0);
    EXPECT_EQ(OrvCommand(second, "MG \"free\"", reply.data(), reply.size(), &length), 0);
    EXPECT_STREQ(reply.data(), "free\r\n:");
    EXPECT_LT(std::chrono::steady_clock::now() - start, 900ms);
    EXPECT_EQ(OrvClose(second), 0);
    EXPECT_EQ(OrvCommand(first, "MG \"again\"", reply.data(), reply.size(), &length), 0);
    EXPECT_STREQ(reply.data(), "again\r\n:");
  }
  EXPECT_EQ(OrvClose(first), 0);
}

// The server takes a command of at most 448 characters (449 bytes with its CR); a longer one is
// refused at once, before anything is sent, and says why.
TEST_F(ServerRoad, CommandTooLongForTheServerIsRefusedAtOnce) {
  FakeController controller(ControllerSettings());
  controller.Start();
  OrvCon* handle = nullptr;
  ASSERT_EQ(OrvOpen("127.0.0.2 -t 1000", &handle), 0);
  const auto quoted = [](size_t size, const std::string& before = "") {
    return before + "MG \"" + std::string(size - 5, 'x') + "\"";  // `size` characters in all
  };
  std::array<char, 1024> reply{};
  uint32_t length = 0;
  const struct {
    const char* what;
    std::string command;
    int32_t code;
  } cases[] = {
      {"448 characters", quoted(448), 0},
      {"448 after leading blanks", quoted(448, "  "), 0},
      {"449 characters", quoted(449), -10002},
      {"4000 characters", quoted(4000), -10002},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    controller.ClearLog();
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(OrvCommand(handle, c.command.c_str(), reply.data(), reply.size(), &length), c.code);
    if (c.code == 0) {
      EXPECT_EQ(std::string(reply.data()), std::string(443, 'x') + "\r\n:");
      continue;
    }
    EXPECT_LT(std::chrono::steady_clock::now() - start, 200ms);
    EXPECT_NE(handle->lastError.find("too long to pass through the server"), std::string::npos)
        << handle->lastError;
    // The controller saw nothing, and the next command is answered as usual.
    EXPECT_EQ(OrvCommand(handle, "MG \"next\"", reply.data(), reply.size(), &length), 0);
    EXPECT_STREQ(reply.data(), "next\r\n:");
    EXPECT_EQ(controller.Commands().size(), 1u);
  }
  EXPECT_EQ(OrvClose(handle), 0);
}

// After a command times out the server drops the reply that comes too late, and the library
// does not wait for it: the next command gets its own reply.
TEST_F(ServerRoad, LateReplyIsNotTheNextCommandsReply) {
  FakeController controller(ControllerSettings());
  controller.Start();
  OrvCon* handle = nullptr;
  ASSERT_EQ(OrvOpen("127.0.0.2 -t 400", &handle), 0);
  orvan::fakes::FakeReply slow;
  slow.bytes = "late\r\n:";
  slow.once = true;
  slow.delay = 600ms;
  controller.Script("MG \"slow\"", slow);
  std::array<char, 64> reply{};
  uint32_t length = 0;
  EXPECT_EQ(OrvCommand(handle, "MG \"slow\"", reply.data(), reply.size(), &length), -1100);
  std::this_thread::sleep_for(500ms);
  for (const std::string word : {"next", "after"}) {
    ASSERT_EQ(
        OrvCommand(handle, ("MG \"" + word + "\"").c_str(), reply.data(), reply.size(), &length),
        0);
    EXPECT_EQ(std::string(reply.data()), word + "\r\n:");
  }
  EXPECT_EQ(OrvClose(handle), 0);
}

}  // namespace
