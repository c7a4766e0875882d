// The utility session against the stand-in server: one connection per session, made on first
// use, and left by "exit" when the session goes, whichever way the call ends.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "api/orv_con.hpp"
#include "fakes/error_code.hpp"
#include "fakes/fake_dravo.hpp"
#include "pelko.h"
#include "server_client/client_device.hpp"
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

}  // namespace
