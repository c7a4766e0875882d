// The TCP resource against a controller peer on loopback: open, the LF before every read,
// commands and replies, failures to open, losing the peer, and teardown during an open.
#include "support/network_resource_fixture.hpp"

#include <boost/asio/write.hpp>

namespace {

using boost::asio::ip::tcp;
using namespace std::chrono_literals;

class TcpResourceTest : public NetworkResourceTest {
protected:
  void SetUp() override {
    acceptor.open(tcp::v4());
    acceptor.bind({boost::asio::ip::make_address_v4("127.0.0.1"), 0});
    acceptor.listen();
    acceptor.async_accept(peer, [this](const boost::system::error_code& error) {
      if (!error) Read();
      accepted = !error;
    });
  }
  // The peers' handlers end while this fixture still stands.
  void TearDown() override {
    boost::system::error_code ignored;
    acceptor.close(ignored);
    peer.close(ignored);
    io().restart();
    io().poll();
  }
  void Read() {
    peer.async_read_some(boost::asio::buffer(chunk),
                         [this](const boost::system::error_code& error, size_t count) {
                           if (error) {
                             peerEnded = true;
                             return;
                           }
                           received.append(chunk.data(), count);
                           Read();
                         });
  }
  void Reply(const std::string& bytes) { boost::asio::write(peer, boost::asio::buffer(bytes)); }
  uint16_t Port() { return acceptor.local_endpoint().port(); }
  void OpenPeer() {
    Open("127.0.0.1", Port(), 0);
    ASSERT_TRUE(RunUntil([this] { return InTable() && accepted && received == "\n"; }));
  }

  tcp::acceptor acceptor{io()};
  tcp::socket peer{io()};
  std::array<char, 1024> chunk{};
  std::string received;
  bool accepted = false, peerEnded = false;
};

TEST_F(TcpResourceTest, OpensAndListsBothEnds) {
  OpenPeer();
  const auto local = peer.remote_endpoint();
  EXPECT_EQ(server.ListResources(),
            "  1,        127.0.0.1, tcp, src(127.0.0.1:" + std::to_string(local.port()) +
                ") dst(127.0.0.1:" + std::to_string(Port()) + ")\r\n");
  OpenParameters same;
  same.address = "127.0.0.1";
  same.kind = orvan::protocol::kKindTcp;
  EXPECT_TRUE(made->Matches(same));
  same.kind = orvan::protocol::kKindUdp;
  EXPECT_FALSE(made->Matches(same));
}

TEST_F(TcpResourceTest, CommandsAndRepliesWithAnLfAfterEveryRead) {
  OpenPeer();
  auto client = Client({1});
  Command(client, "MG 1\r");
  ASSERT_TRUE(RunUntil([&] { return received == "\nMG 1\r"; }));
  for (const std::string part : {"1", "\r\n", ":"}) {
    const size_t before = client->Recorder().Joined(false).size();
    Reply(part);
    ASSERT_TRUE(
        RunUntil([&] { return client->Recorder().Joined(false).size() == before + part.size(); }));
  }
  EXPECT_EQ(client->Recorder().Joined(false), "1\r\n:");
  ASSERT_TRUE(RunUntil([&] { return received == "\nMG 1\r\n\n\n"; }));
  EXPECT_EQ(client->written, "1\r\n:");
}

TEST_F(TcpResourceTest, RefusedAndUnresolvableOpensLeaveNothing) {
  const uint16_t port = Port();
  acceptor.close();
  Open("127.0.0.1", port, 0);
  Open("no-such-host.invalid", 23, 0);
  RunFor(300ms);
  EXPECT_FALSE(InTable());
  Open("127.0.0.1", port, 0);  // nothing was left half open: a new try is made
  RunFor(100ms);
  EXPECT_FALSE(InTable());
}

TEST_F(TcpResourceTest, LosingTheControllerClosesItsClients) {
  OpenPeer();
  auto linked = Client({1}), listener = Client({1, 3});
  RunFor(20ms);
  peer.close();
  ASSERT_TRUE(RunUntil([&] { return linked->Closed() && listener->Closed() && !InTable(); }));
}

TEST_F(TcpResourceTest, ClosingEndsTheConnection) {
  OpenPeer();
  server.CloseResource(made->Id());
  ASSERT_TRUE(RunUntil([&] { return peerEnded; }));
  EXPECT_EQ(received, "\n");
}

TEST(TcpResourceTeardown, AnOpenUnderWayIsClosedNotEntered) {
  boost::asio::io_context peerIo;
  tcp::acceptor acceptor(peerIo, {boost::asio::ip::make_address_v4("127.0.0.1"), 0});
  std::weak_ptr<Resource> opened;
  {
    Server server(RecordingShell::Factory(),
                  [&](uint32_t kind, boost::asio::io_context& io, Server& core, uint32_t id) {
                    auto resource = MakeResource(kind, io, core, id);
                    opened = resource;
                    return resource;
                  });
    auto parameters = std::make_unique<OpenParameters>();
    parameters->address = "127.0.0.1";
    parameters->port = acceptor.local_endpoint().port();
    server.OpenResource(std::move(parameters));
  }
  EXPECT_TRUE(opened.expired());
  // Whatever reached the listener was closed without a byte.
  acceptor.non_blocking(true);
  tcp::socket peer(peerIo);
  boost::system::error_code error;
  acceptor.accept(peer, error);
  if (!error) {
    peer.non_blocking(false);
    std::array<char, 8> bytes{};
    EXPECT_EQ(peer.read_some(boost::asio::buffer(bytes), error), 0u);
    EXPECT_EQ(error, boost::asio::error::eof);
  }
}

}  // namespace
