// The exported entry class: argument parsing, the certificate check, serving, restarts driven
// by a client, stopping (also in the middle of a restart) and failed starts.
#include "dravo.hpp"
#include "fakes/server_core_fakes.hpp"
#include "support/test_support.hpp"

#include <gtest/gtest.h>

#include <array>
#include <filesystem>
#include <fstream>

namespace {

class DravoServer : public testing::Test {
protected:
  void SetUp() override {
    SetDefaultShellFactory(ScriptedShell::Factory());
    folder = UseFreshDataFolder();
    WriteCertificate(folder, "dravo");
  }
  // Waits until Running() equals `wanted`.
  static bool WaitRunning(const Dravo& dravo, bool wanted) {
    for (int i = 0; i < 500; ++i) {
      if (dravo.Running() == wanted) return true;
      std::this_thread::sleep_for(10ms);
    }
    return false;
  }
  // A TLS client that got through to the shell.
  static bool Served(TlsClient& client, const std::string& line = "ping") {
    for (int i = 0; i < 100 && !client.Connect(); ++i) std::this_thread::sleep_for(20ms);
    return client.Handshake() && client.Send(line + "\n") && client.ReadLine() == line;
  }
  std::string folder;
};

TEST_F(DravoServer, ArgumentsAreParsedBeforeAThreadStarts) {
  struct Case {
    const char* arguments;
    int result;
  };
  const std::array<Case, 7> cases{{{"", 0},
                                   {"-l 127.0.0.1", 0},
                                   {" -l 127.0.0.1  --listen 0.0.0.0", 0},
                                   {"--listen=127.0.0.1", 0},
                                   {"-x", -1},
                                   {"-l", -1},
                                   {"stray", 0}}};
  for (const auto& entry : cases) {
    Dravo dravo;
    EXPECT_EQ(dravo.Start(entry.arguments), entry.result) << entry.arguments;
    EXPECT_EQ(dravo.Stop(), 0);
    EXPECT_FALSE(dravo.Running());
  }
}

TEST_F(DravoServer, ServesTlsAndUdpClientsAndStops) {
  Dravo dravo;
  ASSERT_EQ(dravo.Start("-l 127.0.0.1"), 0);
  ASSERT_TRUE(WaitRunning(dravo, true));
  TlsClient client;
  EXPECT_TRUE(Served(client));
  UdpClient udp;
  udp.Send("who\n");
  EXPECT_FALSE(udp.Receive().empty());
  EXPECT_EQ(dravo.Stop(), 0);
  EXPECT_FALSE(dravo.Running());
  EXPECT_TRUE(client.WaitClosed(5s));
  EXPECT_EQ(dravo.Failure(), "");
}

TEST_F(DravoServer, RestartKeepsRunningAndDropsClients) {
  Dravo dravo;
  ASSERT_EQ(dravo.Start(""), 0);
  ASSERT_TRUE(WaitRunning(dravo, true));
  for (int round = 0; round < 3; ++round) {
    TlsClient client;
    ASSERT_TRUE(Served(client));
    ASSERT_TRUE(client.Send("restart\n"));
    EXPECT_EQ(client.ReadLine(), "restart");
    EXPECT_TRUE(client.WaitClosed(5s));
    EXPECT_TRUE(dravo.Running());
  }
  TlsClient after;
  EXPECT_TRUE(Served(after));
  EXPECT_EQ(dravo.Stop(), 0);
}

TEST_F(DravoServer, ShutdownFromAClientEndsTheThread) {
  Dravo dravo;
  ASSERT_EQ(dravo.Start(""), 0);
  ASSERT_TRUE(WaitRunning(dravo, true));
  // Running comes before the listeners are bound, and a datagram sent before then is lost.
  ASSERT_TRUE(dravo.WaitServing(5s));
  UdpClient udp;
  udp.Send("shutdown\n");
  EXPECT_TRUE(WaitRunning(dravo, false));
  EXPECT_EQ(dravo.Failure(), "");
  EXPECT_EQ(dravo.Stop(), 0);  // at once: the thread has ended
}

TEST_F(DravoServer, StopDuringRestartsStopsTheServer) {
  for (int round = 0; round < 20; ++round) {
    Dravo dravo;
    ASSERT_EQ(dravo.Start(""), 0);
    ASSERT_TRUE(WaitRunning(dravo, true));
    std::thread restarts([] {
      for (int i = 0; i < 5; ++i) {
        UdpClient udp;
        udp.Send("restart\n");
        std::this_thread::sleep_for(1ms);
      }
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(round % 5));
    EXPECT_EQ(dravo.Stop(), 0);
    EXPECT_FALSE(dravo.Running());
    restarts.join();
  }
}

TEST_F(DravoServer, DestructorStopsARunningServer) {
  {
    Dravo dravo;
    ASSERT_EQ(dravo.Start(""), 0);
    ASSERT_TRUE(WaitRunning(dravo, true));
  }
  Dravo again;  // the port is free once the first is gone
  ASSERT_EQ(again.Start(""), 0);
  ASSERT_TRUE(WaitRunning(again, true));
  TlsClient client;
  EXPECT_TRUE(Served(client));
}

TEST_F(DravoServer, MissingCertificateEndsTheStart) {
  // A folder that cannot be written: the certificate can be neither found nor made.
  std::filesystem::remove_all(folder);
  std::filesystem::create_directories(std::filesystem::path(folder).parent_path());
  std::filesystem::create_directories(folder);
  std::filesystem::remove(folder);
  std::ofstream(folder) << "a file where the folder should be";
  testing::internal::CaptureStderr();
  Dravo dravo;
  ASSERT_EQ(dravo.Start(""), 0);
  // The thread is seen to end: a host waiting for it to serve learns at once that it will not.
  const auto started = std::chrono::steady_clock::now();
  EXPECT_FALSE(dravo.WaitServing(30s));
  EXPECT_LT(std::chrono::steady_clock::now() - started, 20s);
  EXPECT_EQ(dravo.Stop(), 0);
  const std::string written = testing::internal::GetCapturedStderr();
  EXPECT_NE(written.find("Failed to sign certificate\n"), std::string::npos) << written;
  EXPECT_FALSE(dravo.Running());
  EXPECT_EQ(dravo.Failure().rfind("certificate: key.pem: ", 0), 0u) << dravo.Failure();
}

TEST_F(DravoServer, FailedStartEndsWithTheFailureKept) {
  boost::asio::io_context io;
  boost::asio::ip::tcp::acceptor taken(io, {boost::asio::ip::make_address("127.0.0.1"), 23});
  Dravo dravo;
  ASSERT_EQ(dravo.Start(""), 0);
  for (int i = 0; i < 500 && dravo.Failure().empty(); ++i) std::this_thread::sleep_for(10ms);
  EXPECT_EQ(dravo.Failure(), "bind 127.0.0.1 port 23: Address already in use");
  EXPECT_FALSE(dravo.Running());
  EXPECT_EQ(dravo.Stop(), 0);
}

}  // namespace
