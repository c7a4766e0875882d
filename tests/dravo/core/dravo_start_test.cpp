// Starting and re-listening with the real shell: publish is checked before it answers, a saved
// publish setting that cannot be bound falls back to loopback, and a certificate that is no
// regular file never holds the server thread.
#include "dravo.hpp"
#include "support/test_support.hpp"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

namespace {

namespace fs = std::filesystem;

// Port 23 held on 127.0.0.2, as another program on another local address would.
struct HeldPort {
  boost::asio::io_context io;
  boost::asio::ip::tcp::acceptor acceptor{io, {boost::asio::ip::make_address("127.0.0.2"), 23}};
};

class DravoStart : public testing::Test {
protected:
  void SetUp() override {
    folder = UseFreshDataFolder();
    WriteCertificate(folder, "dravo");
  }
  void TearDown() override { dravo.Stop(); }
  // One shell answer, through its terminator.
  static std::string Ask(TlsClient& client, const std::string& line) {
    if (!client.Send(line + "\r")) return "(not sent)";
    return client.ReadThrough("~\\");
  }
  static bool Connected(TlsClient& client, const std::string& address = "127.0.0.1") {
    return client.Connect(address) && client.Handshake();
  }
  std::string Settings() const {
    std::ifstream file(folder + "/dravo.xml");
    return std::string(std::istreambuf_iterator<char>(file), {});
  }
  std::string folder;
  Dravo dravo;
};

TEST_F(DravoStart, PublishThatCannotListenIsRefusedAndTheServerServesOn) {
  ASSERT_EQ(dravo.Start(""), 0);
  ASSERT_TRUE(dravo.WaitServing(30s)) << dravo.Failure();
  TlsClient client;
  ASSERT_TRUE(Connected(client));
  {
    HeldPort held;
    EXPECT_EQ(Ask(client, "publish --name lab --port 23 --save"), "\\");
    // Same connection: the server did not restart.
    EXPECT_EQ(Ask(client, "te"), "bind 0.0.0.0 port 23: Address already in use\r\n~");
    // The IP assigner may have saved its own settings; the publish ones are not there.
    EXPECT_EQ(Settings().find("lab"), std::string::npos) << Settings();
    EXPECT_TRUE(dravo.Running());
  }
  // Once the port is free the same request is taken, beside the server's own listeners.
  EXPECT_EQ(Ask(client, "publish --name lab --port 23 --save"), "~");
  EXPECT_TRUE(client.WaitClosed(5s));
  TlsClient remote;
  bool connected = false;
  for (int i = 0; i < 500 && !(connected = Connected(remote, "127.0.0.2")); ++i)
    std::this_thread::sleep_for(20ms);
  EXPECT_TRUE(connected);
  EXPECT_NE(Settings().find("lab"), std::string::npos) << Settings();
  EXPECT_TRUE(dravo.Running());
}

TEST_F(DravoStart, RestartThatCannotBindListensWhereItDidBefore) {
  // A holder that shares its port passes the check, yet the server's own exclusive bind fails.
  boost::asio::io_context io;
  boost::asio::ip::tcp::acceptor sharing(io);
  const boost::asio::ip::tcp::endpoint other(boost::asio::ip::make_address("127.0.0.2"), 23);
  sharing.open(other.protocol());
  sharing.set_option(boost::asio::detail::socket_option::boolean<SOL_SOCKET, SO_REUSEPORT>(true));
  sharing.bind(other);
  sharing.listen();
  ASSERT_EQ(dravo.Start(""), 0);
  ASSERT_TRUE(dravo.WaitServing(30s)) << dravo.Failure();
  TlsClient client;
  ASSERT_TRUE(Connected(client));
  testing::internal::CaptureStderr();
  EXPECT_EQ(Ask(client, "publish --name lab --port 23"), "~");
  EXPECT_TRUE(client.WaitClosed(5s));
  TlsClient again;
  bool connected = false;
  for (int i = 0; i < 500 && !(connected = Connected(again)); ++i)
    std::this_thread::sleep_for(20ms);
  const std::string written = testing::internal::GetCapturedStderr();
  ASSERT_TRUE(connected) << dravo.Failure();
  EXPECT_EQ(Ask(again, "te"), "~");
  EXPECT_TRUE(dravo.Running());
  EXPECT_NE(written.find("Cannot listen on 0.0.0.0 (bind 0.0.0.0 port 23: Address already in "
                         "use); serving on 127.0.0.1\n"),
            std::string::npos)
      << written;
}

TEST_F(DravoStart, SavedPublishThatCannotBeBoundServesOnLoopbackAndSaysSo) {
  std::ofstream(folder + "/dravo.xml")
      << "<server><publish>true</publish><name>lab</name></server>";
  HeldPort held;
  testing::internal::CaptureStderr();
  ASSERT_EQ(dravo.Start(""), 0);
  const bool serving = dravo.WaitServing(30s);
  const std::string written = testing::internal::GetCapturedStderr();
  ASSERT_TRUE(serving) << dravo.Failure();
  EXPECT_NE(written.find("Cannot listen on 0.0.0.0 (bind 0.0.0.0 port 23: Address already in "
                         "use); serving on 127.0.0.1\n"),
            std::string::npos)
      << written;
  TlsClient client;
  ASSERT_TRUE(Connected(client));
  EXPECT_EQ(Ask(client, "te"), "~");
  EXPECT_TRUE(dravo.Running());
}

TEST_F(DravoStart, CertificateReplacedByAFifoFailsHandshakesWithoutHoldingTheServer) {
  ASSERT_EQ(dravo.Start(""), 0);
  ASSERT_TRUE(dravo.WaitServing(30s)) << dravo.Failure();
  const std::string certificate = folder + "/cert.pem";
  fs::remove(certificate);
  ASSERT_EQ(mkfifo(certificate.c_str(), 0600), 0);
  // The handshake builds its context from the changed file: no certificate, no handshake.
  TlsClient client;
  EXPECT_TRUE(client.Connect());
  EXPECT_FALSE(client.Handshake());
  UdpClient udp;
  udp.Send("te\r");
  EXPECT_EQ(udp.Receive(), "~");
  // A server thread blocked in the FIFO is let go, so that a failure here does not hang.
  const int writer = open(certificate.c_str(), O_WRONLY | O_NONBLOCK);
  if (writer >= 0) close(writer);
}

}  // namespace
