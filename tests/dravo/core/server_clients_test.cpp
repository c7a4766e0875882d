// The server core with its listeners on port 23: TLS and UDP clients served by a scripted
// shell, idle and handshake deadlines, the bound on handshakes in progress, many clients coming
// and going, set-up failures.
#include "clients/udp_socket_muxer.hpp"
#include "fakes/server_core_fakes.hpp"
#include "platform/os_version.hpp"
#include "support/test_support.hpp"

#include <gtest/gtest.h>

#include <sys/ioctl.h>
#include <sys/resource.h>

#include <boost/asio/ip/tcp.hpp>

#include <future>
#include <list>

namespace {

class ServerClients : public testing::Test {
protected:
  static void SetUpTestSuite() {
    SetDefaultShellFactory(ScriptedShell::Factory());
    folder = UseFreshDataFolder();
    WriteCertificate(folder, "first");
  }
  static std::string folder;
};
std::string ServerClients::folder;

// Waits until `holds` is true of the server, asked on its event loop.
bool WaitUntil(RunningServer& running, const std::function<bool(const Server&)>& holds) {
  for (int i = 0; i < 500; ++i) {
    if (running.OnLoop([&] { return holds(*running.server); })) return true;
    std::this_thread::sleep_for(10ms);
  }
  return false;
}

// Waits until the client list has `count` entries (the pending accept counts as one).
bool WaitForClients(RunningServer& running, size_t count) {
  return WaitUntil(running,
                   [count](const Server& server) { return server.Requestors().size() == count; });
}

// Plain TCP connections to the server that send `bytes` (nothing, or the start of a TLS
// record that never ends) and then stay quiet.
class QuietClients {
public:
  void Add(const std::string& bytes = "") {
    sockets.emplace_back(io);
    sockets.back().connect({boost::asio::ip::make_address("127.0.0.1"), 23});
    if (!bytes.empty()) boost::asio::write(sockets.back(), boost::asio::buffer(bytes));
  }
  void DropFirst() { sockets.pop_front(); }

private:
  boost::asio::io_context io;
  std::list<boost::asio::ip::tcp::socket> sockets;
};
// A handshake record header announcing 64 bytes that never come.
const std::string kStalledHello("\x16\x03\x01\x00\x40", 5);

TEST_F(ServerClients, TlsClientIsServedByItsShell) {
  RunningServer running;
  TlsClient client;
  ASSERT_TRUE(client.Connect());
  ASSERT_TRUE(client.Handshake());
  ASSERT_TRUE(client.Send("hello\n"));
  EXPECT_EQ(client.ReadLine(), "hello");
  ASSERT_TRUE(client.Send("quit\n"));
  EXPECT_TRUE(client.WaitClosed(5s));
  EXPECT_TRUE(WaitForClients(running, 1));
}

// One TLS record holds many receive buffers' worth: the rest is read without waiting for more
// bytes from the socket, and every reply goes back whole and in order.
TEST_F(ServerClients, TlsRecordLongerThanTheReceiveBufferIsReadWhole) {
  RunningServer running;
  TlsClient client;
  ASSERT_TRUE(client.Connect());
  ASSERT_TRUE(client.Handshake());
  const std::string longLine(5000, 'x');
  ASSERT_TRUE(client.Send(longLine + "\nafter\n"));
  EXPECT_EQ(client.ReadLine(), longLine);
  EXPECT_EQ(client.ReadLine(), "after");
  ASSERT_TRUE(client.Send("next\n"));
  EXPECT_EQ(client.ReadLine(), "next");
}

TEST_F(ServerClients, ManyTlsClientsComeAndGo) {
  RunningServer running;
  std::list<TlsClient> clients(120);
  int index = 0;
  for (auto& client : clients) {
    ASSERT_TRUE(client.Connect());
    if (index++ % 3 == 0) continue;  // a third never shakes hands
    ASSERT_TRUE(client.Handshake());
  }
  index = 0;
  for (auto& client : clients) {
    if (index++ % 3 == 0) continue;
    ASSERT_TRUE(client.Send("who\n"));
    EXPECT_FALSE(client.ReadLine().empty());
  }
  clients.clear();  // dropped without a word
  EXPECT_TRUE(WaitForClients(running, 1));
  TlsClient late;
  ASSERT_TRUE(late.Connect());
  ASSERT_TRUE(late.Handshake());
  ASSERT_TRUE(late.Send("still\n"));
  EXPECT_EQ(late.ReadLine(), "still");
}

TEST_F(ServerClients, UnfinishedHandshakeIsClosed) {
  RunningServer running;
  running.OnLoop([&] { running.server->SetHandshakeTimeout(200ms); });
  TlsClient silent;
  ASSERT_TRUE(silent.Connect());
  EXPECT_TRUE(silent.WaitClosed(5s));
}

TEST_F(ServerClients, SilentConnectionsBeyondTheBoundNeitherHandshakeNorDelayARealClient) {
  RunningServer running;
  running.OnLoop([&] { running.server->SetHandshakeLimit(4); });
  QuietClients silent;
  for (int i = 0; i < 20; ++i) silent.Add();
  ASSERT_TRUE(WaitForClients(running, 21));
  EXPECT_EQ(running.OnLoop([&] {
    return running.server->HandshakesInProgress() + running.server->HandshakesWaiting();
  }),
            0u);
  const auto start = std::chrono::steady_clock::now();
  TlsClient client;
  ASSERT_TRUE(client.Connect());
  ASSERT_TRUE(client.Handshake());
  ASSERT_TRUE(client.Send("first\n"));
  EXPECT_EQ(client.ReadLine(), "first");
  EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);
}

TEST_F(ServerClients, HandshakesBeyondTheBoundWaitForAnEarlierOneToEnd) {
  RunningServer running;
  running.OnLoop([&] { running.server->SetHandshakeLimit(2); });
  QuietClients stalled;
  stalled.Add(kStalledHello);
  stalled.Add(kStalledHello);
  ASSERT_TRUE(
      WaitUntil(running, [](const Server& server) { return server.HandshakesInProgress() == 2; }));

  auto served = std::async(std::launch::async, [] {
    TlsClient client;
    return client.Connect() && client.Handshake(10s) && client.Send("waited\n") &&
           client.ReadLine() == "waited";
  });
  ASSERT_TRUE(
      WaitUntil(running, [](const Server& server) { return server.HandshakesWaiting() == 1; }));
  EXPECT_EQ(served.wait_for(300ms), std::future_status::timeout);
  EXPECT_EQ(running.OnLoop([&] { return running.server->HandshakesInProgress(); }), 2u);
  stalled.DropFirst();
  ASSERT_EQ(served.wait_for(1s), std::future_status::ready);
  EXPECT_TRUE(served.get());
}

TEST_F(ServerClients, StalledAndWaitingHandshakesAreClosedAtTheDeadlineAndGiveUpTheirPlaces) {
  RunningServer running;
  running.OnLoop([&] {
    running.server->SetHandshakeLimit(1);
    running.server->SetHandshakeTimeout(1s);
  });
  std::list<TlsClient> stalled(2);
  for (auto& client : stalled) {
    ASSERT_TRUE(client.Connect());
    boost::asio::write(client.Socket(), boost::asio::buffer(kStalledHello));
  }
  ASSERT_TRUE(WaitUntil(running, [](const Server& server) {
    return server.HandshakesInProgress() == 1 && server.HandshakesWaiting() == 1;
  }));
  for (auto& client : stalled) EXPECT_TRUE(client.WaitClosed(5s));
  EXPECT_TRUE(WaitUntil(running, [](const Server& server) {
    return server.HandshakesInProgress() == 0 && server.HandshakesWaiting() == 0;
  }));
  running.OnLoop([&] { running.server->SetHandshakeTimeout(Server::kHandshakeTimeout); });
  TlsClient client;
  ASSERT_TRUE(client.Connect());
  ASSERT_TRUE(client.Handshake(1s));
  ASSERT_TRUE(client.Send("next\n"));
  EXPECT_EQ(client.ReadLine(), "next");
}

TEST_F(ServerClients, ResetBeforeAcceptEndsOnlyThatClient) {
  RunningServer running;
  for (int i = 0; i < 20; ++i) {
    boost::asio::io_context io;
    boost::asio::ip::tcp::socket socket(io);
    socket.connect({boost::asio::ip::make_address("127.0.0.1"), 23});
    socket.set_option(boost::asio::socket_base::linger(true, 0));
    socket.close();  // sends a reset
  }
  TlsClient client;
  ASSERT_TRUE(client.Connect());
  ASSERT_TRUE(client.Handshake());
  ASSERT_TRUE(client.Send("after\n"));
  EXPECT_EQ(client.ReadLine(), "after");
  EXPECT_TRUE(WaitForClients(running, 2));
}

TEST_F(ServerClients, IdleClientsAreClosedUnlessTheLimitIsOff) {
  RunningServer running;
  TlsClient idle, unlimited;
  for (auto* client : {&idle, &unlimited}) {
    ASSERT_TRUE(client->Connect());
    ASSERT_TRUE(client->Handshake());
  }
  ASSERT_TRUE(idle.Send("timeout 200\n"));
  EXPECT_EQ(idle.ReadLine(), "timeout 200");
  ASSERT_TRUE(unlimited.Send("timeout 0\n"));
  EXPECT_EQ(unlimited.ReadLine(), "timeout 0");
  // A new limit counts from the next bytes received.
  for (auto* client : {&idle, &unlimited}) {
    ASSERT_TRUE(client->Send("x\n"));
    EXPECT_EQ(client->ReadLine(), "x");
  }
  EXPECT_TRUE(idle.WaitClosed(5s));
  std::this_thread::sleep_for(300ms);
  ASSERT_TRUE(unlimited.Send("alive\n"));
  EXPECT_EQ(unlimited.ReadLine(), "alive");
}

TEST_F(ServerClients, ShellFailureClosesOnlyItsClient) {
  RunningServer running;
  TlsClient failing, other;
  for (auto* client : {&failing, &other}) {
    ASSERT_TRUE(client->Connect());
    ASSERT_TRUE(client->Handshake());
  }
  ASSERT_TRUE(failing.Send("throw\n"));
  EXPECT_TRUE(failing.WaitClosed(5s));
  ASSERT_TRUE(other.Send("fine\n"));
  EXPECT_EQ(other.ReadLine(), "fine");
}

TEST_F(ServerClients, NoSessionTicketWaitsAfterTheHandshake) {
  RunningServer running;
  TlsClient client;
  ASSERT_TRUE(client.Connect());
  ASSERT_TRUE(client.Handshake());
  ASSERT_TRUE(client.Send("x\n"));
  EXPECT_EQ(client.ReadLine(), "x");
  std::this_thread::sleep_for(100ms);
  int waiting = -1;
  ASSERT_EQ(ioctl(client.Socket().native_handle(), FIONREAD, &waiting), 0);
  EXPECT_EQ(waiting, 0);
  EXPECT_EQ(SSL_pending(client.Native()), 0);
}

TEST_F(ServerClients, ReplacedCertificateServesTheNextClient) {
  RunningServer running;
  auto commonName = [](TlsClient& client) {
    X509* certificate = SSL_get1_peer_certificate(client.Native());
    char name[64] = {};
    X509_NAME_get_text_by_NID(X509_get_subject_name(certificate), NID_commonName, name,
                              sizeof name);
    X509_free(certificate);
    return std::string(name);
  };
  TlsClient before;
  ASSERT_TRUE(before.Connect());
  ASSERT_TRUE(before.Handshake());
  EXPECT_EQ(commonName(before), "first");
  WriteCertificate(folder, "second");
  TlsClient after;
  ASSERT_TRUE(after.Connect());
  ASSERT_TRUE(after.Handshake());
  EXPECT_EQ(commonName(after), "second");
  WriteCertificate(folder, "first");
}

TEST_F(ServerClients, AcceptingGoesOnAfterRunningOutOfDescriptors) {
  RunningServer running;
  TlsClient probe;  // makes sure the listener is up before the limit drops
  ASSERT_TRUE(probe.Connect());
  ASSERT_TRUE(probe.Handshake());
  rlimit saved{};
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
  std::list<TlsClient> clients(5);
  for (auto& client : clients) ASSERT_TRUE(client.Connect());  // queued in the backlog
  // Leave no descriptor free for the server's accepts, then give them back.
  int highest = 0;
  for (int fd = 0; fd < 4096; ++fd)
    if (fcntl(fd, F_GETFD) != -1) highest = fd;
  rlimit tight = saved;
  tight.rlim_cur = highest + 1;
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &tight), 0);
  std::this_thread::sleep_for(300ms);
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &saved), 0);
  for (auto& client : clients) {
    ASSERT_TRUE(client.Handshake());
    ASSERT_TRUE(client.Send("back\n"));
    EXPECT_EQ(client.ReadLine(), "back");
  }
}

TEST_F(ServerClients, UdpClientsAreToldApartByAddressAndPort) {
  RunningServer running;
  UdpClient first("127.0.0.1", 40001), sameHostOtherPort("127.0.0.1", 40002),
      otherHostSamePort("127.0.0.2", 40001);
  std::set<std::string> shells;
  for (auto* client : {&first, &sameHostOtherPort, &otherHostSamePort}) {
    client->Send("who\n");
    shells.insert(client->Receive());
  }
  EXPECT_EQ(shells.size(), 3u);
  EXPECT_EQ(shells.count(""), 0u);
  first.Send("who\n");
  EXPECT_EQ(shells.count(first.Receive()), 1u);  // the same shell again
  EXPECT_EQ(running.OnLoop([&] {
    std::set<std::string> seen;
    for (const auto& requestor : running.server->Requestors())
      if (requestor->Protocol() == "udp")
        seen.insert(requestor->Address() + ":" + std::to_string(requestor->Port()));
    return seen;
  }),
            (std::set<std::string>{"127.0.0.1:40001", "127.0.0.1:40002", "127.0.0.2:40001"}));
}

TEST_F(ServerClients, UdpQuitStartsAFreshShellAndLongDatagramsAreDropped) {
  RunningServer running;
  UdpClient client;
  client.Send("who\n");
  const std::string shell = client.Receive();
  ASSERT_FALSE(shell.empty());
  client.Send("quit\n");
  client.Send(std::string(449, 'a') + "\n");  // 450 bytes: dropped
  EXPECT_EQ(client.Receive(300ms), "");
  client.Send("who\n");
  const std::string fresh = client.Receive();
  EXPECT_FALSE(fresh.empty());
  EXPECT_NE(fresh, shell);
  client.Send(std::string(447, 'b') + "\n");  // 448 bytes: served
  EXPECT_EQ(client.Receive(), std::string(447, 'b') + "\n");
}

TEST_F(ServerClients, UdpDatagramOfTheLargestSizeReachesTheShellWhole) {
  RunningServer running;
  UdpClient client;
  const std::string largest = std::string(448, 'c') + "\n";  // 449 bytes
  client.Send(largest);
  EXPECT_EQ(client.Receive(), largest);
}

TEST_F(ServerClients, UdpIdleClientIsForgotten) {
  RunningServer running;
  UdpClient client;
  client.Send("timeout 100\n");
  EXPECT_EQ(client.Receive(), "timeout 100\n");
  client.Send("who\n");
  const std::string shell = client.Receive();
  EXPECT_TRUE(WaitForClients(running, 1));
  client.Send("who\n");
  EXPECT_NE(client.Receive(), shell);
}

TEST_F(ServerClients, ListensOnLoopbackOnlyUnlessPublishing) {
  for (const bool publish : {false, true}) {
    PublishSettings settings;
    settings.publish = publish;
    settings.port = 23;
    RunningServer running(settings);
    TlsClient local, other;
    EXPECT_TRUE(local.Connect("127.0.0.1"));
    EXPECT_EQ(other.Connect("127.0.0.2"), publish);
  }
}

TEST_F(ServerClients, OlderSystemsNeverListenBeyondLoopback) {
  platform::ForceWindows10OrLater(false);
  PublishSettings settings;
  settings.publish = true;
  RunningServer running(settings);
  TlsClient local, other;
  EXPECT_TRUE(local.Connect("127.0.0.1"));
  EXPECT_FALSE(other.Connect("127.0.0.2"));
  platform::ResetWindows10OrLater();
}

TEST_F(ServerClients, NewPublishSettingsRestartTheCore) {
  RunningServer running;
  TlsClient client;
  ASSERT_TRUE(client.Connect());
  ASSERT_TRUE(client.Handshake());
  PublishSettings changed;
  changed.publish = true;
  changed.name = "lab";
  changed.port = 23;
  running.OnLoop([&] { running.server->ApplyPublishSettings(changed); });
  EXPECT_EQ(running.Finish(), Server::kRestart);
  EXPECT_TRUE(client.WaitClosed(5s));
  EXPECT_TRUE(running.settings.publish);
  EXPECT_EQ(running.settings.name, "lab");
}

TEST_F(ServerClients, RestartAndShutdownEndRunWithTheirState) {
  RunningServer restarted;
  TlsClient client;
  ASSERT_TRUE(client.Connect());
  ASSERT_TRUE(client.Handshake());
  ASSERT_TRUE(client.Send("restart\n"));
  EXPECT_EQ(client.ReadLine(), "restart");
  EXPECT_EQ(restarted.Finish(), Server::kRestart);
  EXPECT_TRUE(client.WaitClosed(5s));

  RunningServer shutDown;
  UdpClient udp;
  udp.Send("shutdown\n");
  EXPECT_EQ(shutDown.Finish(), Server::kShutdown);
}

TEST_F(ServerClients, SetUpFailuresAreRaisedNamedAfterTheStep) {
  {
    boost::asio::io_context io;
    boost::asio::ip::tcp::acceptor taken(io, {boost::asio::ip::make_address("127.0.0.1"), 23});
    RunningServer running;
    EXPECT_EQ(running.Finish(), -1);
    EXPECT_EQ(running.failure.rfind("bind", 0), 0u) << running.failure;
  }
  {
    boost::asio::io_context io;
    boost::asio::ip::udp::socket taken(io, {boost::asio::ip::make_address("127.0.0.1"), 23});
    RunningServer running;
    EXPECT_EQ(running.Finish(), -1);
    EXPECT_EQ(running.failure.rfind("bind", 0), 0u) << running.failure;
  }
  RunningServer afterwards;  // nothing of the failed cores holds the ports
  TlsClient client;
  EXPECT_TRUE(client.Connect());
}

}  // namespace
