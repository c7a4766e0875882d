// The library through the real server, both in this process and in a namespace of their own:
// the server-client device connects over TLS to the server on 127.0.0.1 port 23, passes its
// compatibility check and speaks its shell.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

#include "client_device.hpp"
#include "error_code.hpp"
#include "orvan_error.hpp"
#include "orvan_options.hpp"
#include "test_support.hpp"

namespace {

using orvan::ClientDevice;
using orvan::fakes::CodeOf;

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

}  // namespace
