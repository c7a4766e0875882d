// The UDP resource against a controller peer on loopback: reading starts with the first
// command, only the controller's address is heard, oversized datagrams are dropped, failed
// sends lose one datagram, the farewell datagram on close, and a burst taken whole and in order.
#include "support/network_resource_fixture.hpp"

namespace {

using boost::asio::ip::udp;
using namespace std::chrono_literals;

class UdpResourceTest : public NetworkResourceTest {
protected:
  void SetUp() override {
    controller.open(udp::v4());
    controller.bind({boost::asio::ip::make_address_v4("127.0.0.1"), 0});
    Receive();
  }
  // The peer's handler ends while this fixture still stands.
  void TearDown() override {
    boost::system::error_code ignored;
    controller.close(ignored);
    io().restart();
    io().poll();
  }
  void Receive() {
    controller.async_receive_from(boost::asio::buffer(chunk), sender,
                                  [this](const boost::system::error_code& error, size_t count) {
                                    if (error) return;
                                    datagrams.emplace_back(chunk.data(), count);
                                    resourceEnd = sender;
                                    Receive();
                                  });
  }
  void OpenController() {
    Open("127.0.0.1", controller.local_endpoint().port(), 1);
    ASSERT_TRUE(RunUntil([this] { return InTable(); }));
  }
  // A command from the client that the controller receives.
  void Exchange(const std::shared_ptr<LoopRequestor>& client, const std::string& command) {
    const size_t before = datagrams.size();
    Command(client, command);
    ASSERT_TRUE(RunUntil([&] { return datagrams.size() == before + 1; }));
    EXPECT_EQ(datagrams.back(), command);
    client->Recorder().FinishRequest();
  }
  void SendFrom(udp::socket& socket, const std::string& bytes) {
    socket.send_to(boost::asio::buffer(bytes), resourceEnd);
  }

  udp::socket controller{io()};
  udp::endpoint sender, resourceEnd;
  std::array<char, 2048> chunk{};
  std::vector<std::string> datagrams;
};

TEST_F(UdpResourceTest, ReadsOnlyOnceWrittenToAndRepliesReachTheOwner) {
  OpenController();
  EXPECT_EQ(server.ListResources(), "  1,        127.0.0.1, udp, dst(127.0.0.1:" +
                                        std::to_string(controller.local_endpoint().port()) +
                                        ")\r\n");
  auto client = Client({1, 3});
  Exchange(client, "MG 1\r");
  SendFrom(controller, "1\r\n:");
  ASSERT_TRUE(
      RunUntil([&] { return client->Recorder().Joined(true) == "1\r\n:"; }));  // nobody owns it now
  Command(client, "MG 2\r");
  ASSERT_TRUE(RunUntil([&] { return datagrams.size() == 2; }));
  SendFrom(controller, "2\r\n:");
  ASSERT_TRUE(RunUntil([&] { return client->Recorder().Joined(false) == "2\r\n:"; }));
}

TEST_F(UdpResourceTest, HearsOnlyTheControllerAndFollowsItsPort) {
  OpenController();
  auto client = Client({1, 3});
  Exchange(client, "A\r");
  udp::socket stranger(io(), {boost::asio::ip::make_address_v4("127.0.0.3"), 0});
  SendFrom(stranger, "forged\r\n");
  SendFrom(controller, std::string(600, 'x'));  // too long for one read: dropped whole
  SendFrom(controller, "ok\r\n");
  ASSERT_TRUE(RunUntil([&] { return client->Recorder().Joined(true) == "ok\r\n"; }));

  udp::socket moved(io(), {boost::asio::ip::make_address_v4("127.0.0.1"), 0});
  SendFrom(moved, "moved\r\n");
  ASSERT_TRUE(RunUntil([&] { return client->Recorder().Joined(true) == "ok\r\nmoved\r\n"; }));
  Command(client, "B\r");
  std::array<char, 64> bytes{};
  udp::endpoint from;
  moved.non_blocking(true);
  boost::system::error_code error = boost::asio::error::would_block;
  size_t count = 0;
  ASSERT_TRUE(RunUntil([&] {
    count = moved.receive_from(boost::asio::buffer(bytes), from, 0, error);
    return !error;
  }));
  EXPECT_EQ(std::string(bytes.data(), count), "B\r");
  EXPECT_EQ(datagrams.size(), 1u);
}

TEST_F(UdpResourceTest, NothingIsReadBeforeTheFirstCommand) {
  OpenController();
  auto client = Client({1, 3});
  // The resource's socket has no port yet; a datagram to where it will be cannot arrive.
  RunFor(20ms);
  EXPECT_TRUE(client->Recorder().deliveries.empty());
  Exchange(client, "A\r");
  SendFrom(controller, "late\r\n");
  ASSERT_TRUE(RunUntil([&] { return client->Recorder().Joined(true) == "late\r\n"; }));
}

TEST_F(UdpResourceTest, FarewellSaysWhetherRecordsCame) {
  for (const bool withRecord : {false, true}) {
    SCOPED_TRACE(withRecord);
    datagrams.clear();
    OpenController();
    auto client = Client({1, 5});
    Exchange(client, "A\r");
    if (withRecord) {
      std::string record(20, 'r');
      record[2] = 20;
      record[3] = 0;
      SendFrom(controller, record);
      ASSERT_TRUE(RunUntil([&] { return made->RecordsSeen(); }));
    }
    server.CloseResource(made->Id());
    ASSERT_TRUE(RunUntil([&] { return datagrams.size() == 2; }));
    EXPECT_EQ(datagrams.back(), withRecord ? "DR0;IHS=>-1\r" : "IHS=>-1\r");
    ASSERT_TRUE(RunUntil([&] { return client->Closed(); }));  // its read ended with the socket
  }
}

TEST_F(UdpResourceTest, AFailedSendLosesOneDatagramOnly) {
  // A datagram to port 0 is refused by the system every time.
  Open("127.0.0.1", 0, 1);
  ASSERT_TRUE(RunUntil([this] { return InTable(); }));
  auto client = Client({1});
  Command(client, "A\r");
  RunFor(20ms);
  client->Recorder().FinishRequest();
  Command(client, "B\r");
  RunFor(20ms);
  EXPECT_EQ(client->Recorder().ready.size(), 2u);
  EXPECT_EQ(made->WriteBacklog(), 0u);
  EXPECT_FALSE(made->Closing());
  EXPECT_FALSE(client->Closed());
}

TEST_F(UdpResourceTest, UnresolvableAddressSendsNothingAndLeavesNothing) {
  Open("no-such-host.invalid", 60007, 1);
  RunFor(300ms);
  EXPECT_FALSE(InTable());
  ASSERT_TRUE(made);
  made->Release();  // with no socket: no farewell, no failure
  RunFor(20ms);
}

TEST_F(UdpResourceTest, ABurstReachesEverySubscriberWholeAndInOrder) {
  OpenController();
  auto recordsOnly = Client({1, 5});
  auto everything = Client({1, 3, 5, 7});
  Exchange(recordsOnly, "A\r");
  // All of it waits on the socket before the resource wakes: more than one receive call takes.
  std::string records, all;
  for (int i = 0; i < 100; ++i) {
    std::string record(20 + i % 7, static_cast<char>('a' + i % 26));
    record[2] = static_cast<char>(record.size());
    record[3] = 0;
    SendFrom(controller, record);
    records += record;
    all += record;
    if (i == 40) {
      SendFrom(controller, "text\r\n");  // nobody is served: it goes to the message subscribers
      all += "text\r\n";
    }
    if (i == 70) {
      SendFrom(controller, std::string("\x01\x02\x03\x04", 4));  // interrupt: its status bytes
      all += "\x02\x03";
    }
  }
  ASSERT_TRUE(RunUntil([&] {
    return recordsOnly->written.size() == records.size() &&
           everything->written.size() == all.size();
  }));
  EXPECT_EQ(recordsOnly->Recorder().Joined(true), records);
  EXPECT_EQ(recordsOnly->written, records);
  EXPECT_EQ(everything->Recorder().Joined(true), all);
  EXPECT_EQ(everything->written, all);
  EXPECT_EQ(recordsOnly->Recorder().deliveries.size(), 100u);
  EXPECT_TRUE(made->RecordsSeen());
}

}  // namespace
