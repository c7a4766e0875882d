// Clients of the running server share a controller: the fake controller on 127.0.0.2 (TCP 23,
// UDP 60007) while the server owns 127.0.0.1:23. Shell commands open and link, cooked mode
// carries commands and replies, and ESC m/d/i subscribers get the unsolicited data.
#include "fakes/fake_controller.hpp"
#include "support/test_support.hpp"

#include <gtest/gtest.h>

#include <list>
#include <memory>

namespace {

using orvan::fakes::FakeController;
using orvan::fakes::FakeControllerSettings;

const std::string kEsc = "\x1b";

class ResourcesEndToEnd : public testing::Test {
protected:
  static void SetUpTestSuite() { WriteCertificate(UseFreshDataFolder(), "resources"); }

  ResourcesEndToEnd() : controller(Settings()) {}
  static FakeControllerSettings Settings() {
    FakeControllerSettings settings;
    settings.address = "127.0.0.2";
    settings.commandPort = 23;
    settings.unsolicitedPort = 60007;
    return settings;
  }
  void SetUp() override { controller.Start(); }

  // A TLS client at the shell prompt.
  static std::unique_ptr<TlsClient> Connect() {
    auto client = std::make_unique<TlsClient>();
    if (!client->Connect() || !client->Handshake()) return nullptr;
    return client;
  }
  // One shell line and its answer, terminator included.
  static std::string Shell(TlsClient& client, const std::string& line) {
    if (!client.Send(line + "\r")) return "";
    return client.ReadThrough("~\\");
  }
  // Opens the address (as the shell's open does, in the background) and links to it once it
  // is open; then passes commands through in cooked mode. Returns the link number.
  static std::string OpenAndLink(TlsClient& client, const std::string& open,
                                 const std::string& link) {
    if (!client.Send(kEsc + "s") || Shell(client, "o " + open) != "~") return "";
    for (int attempt = 0; attempt < 200; ++attempt) {
      const std::string answer = Shell(client, "l " + link);
      if (answer.size() > 1 && answer.back() == '~') {
        if (!client.Send(kEsc + "c")) return "";
        return answer.substr(0, answer.find('\r'));
      }
      std::this_thread::sleep_for(10ms);
    }
    return "";
  }
  static std::string Command(TlsClient& client, const std::string& command) {
    if (!client.Send(command + "\r")) return "";
    return client.ReadThrough(":?");
  }
  // Waits until the server's resource table (the open listing) reads `listing`.
  static bool WaitForListing(TlsClient& client, const std::string& listing) {
    for (int attempt = 0; attempt < 300; ++attempt) {
      if (Shell(client, "o") == listing + "~") return true;
      std::this_thread::sleep_for(10ms);
    }
    return false;
  }

  FakeController controller;
  RunningServer running;
};

TEST_F(ResourcesEndToEnd, CommandsAndRepliesOverTcp) {
  auto client = Connect();
  ASSERT_TRUE(client);
  ASSERT_EQ(OpenAndLink(*client, "127.0.0.2 --protocol tcp", "-a 127.0.0.2 -p tcp"), "1");
  EXPECT_EQ(Command(*client, "MG \"hello\""), "hello\r\n:");
  EXPECT_EQ(Command(*client, "x=5"), ":");
  EXPECT_EQ(Command(*client, "MG x"), "5\r\n:");
  EXPECT_EQ(Command(*client, "XYZ"), "?");
  // A binary reply reaches the client whole and ends its request.
  const std::string record = FakeController::MakeRecord(64);
  ASSERT_TRUE(client->Send("QR\r"));
  EXPECT_EQ(client->ReadCount(record.size() + 1), record + ":");
  EXPECT_EQ(Command(*client, "MG \"after\""), "after\r\n:");
  ASSERT_TRUE(controller.WaitForCommand("MG \"after\""));

  // Back in the shell the resource is listed, and the option commands are taken.
  ASSERT_TRUE(client->Send(kEsc + "s"));
  const std::string listing = Shell(*client, "o");
  EXPECT_EQ(listing.rfind("  1,        127.0.0.2, tcp, src(127.0.0.", 0), 0u) << listing;
  EXPECT_NE(listing.find(") dst(127.0.0.2:23)\r\n~"), std::string::npos) << listing;
  EXPECT_EQ(Shell(*client, "ctrl --baud 9600"), "~");
}

TEST_F(ResourcesEndToEnd, CommandsAndRepliesOverUdp) {
  auto client = Connect();
  ASSERT_TRUE(client);
  ASSERT_EQ(OpenAndLink(*client, "127.0.0.2", "-a 127.0.0.2 -p udp"), "1");
  EXPECT_EQ(Command(*client, "MG \"over udp\""), "over udp\r\n:");
  EXPECT_EQ(Command(*client, "MG \"again\""), "again\r\n:");
  const auto commands = controller.CommandsOn({true, 60007});
  ASSERT_EQ(commands.size(), 2u);
  EXPECT_EQ(commands[0], "MG \"over udp\"");
  ASSERT_TRUE(client->Send(kEsc + "s"));
  EXPECT_EQ(Shell(*client, "o"), "  1,        127.0.0.2, udp, dst(127.0.0.2:60007)\r\n~");
}

TEST_F(ResourcesEndToEnd, ManyClientsShareOneResourceAndEachGetsItsOwnReplies) {
  std::vector<std::unique_ptr<TlsClient>> clients;
  for (int i = 0; i < 12; ++i) {
    clients.push_back(Connect());
    ASSERT_TRUE(clients.back());
    ASSERT_EQ(OpenAndLink(*clients.back(), "127.0.0.2 --protocol tcp", "-a 127.0.0.2 -p tcp"), "1");
  }
  ASSERT_TRUE(controller.WaitForConnections(1));
  // Every client sends before any reads: the requests queue at the resource.
  for (int round = 0; round < 5; ++round) {
    for (size_t i = 0; i < clients.size(); ++i) {
      ASSERT_TRUE(
          clients[i]->Send("MG \"c" + std::to_string(i) + "r" + std::to_string(round) + "\"\r"));
    }
  }
  for (int round = 0; round < 5; ++round) {
    for (size_t i = 0; i < clients.size(); ++i) {
      EXPECT_EQ(clients[i]->ReadThrough(":?"),
                "c" + std::to_string(i) + "r" + std::to_string(round) + "\r\n:");
    }
  }
  EXPECT_EQ(controller.TcpConnections(), 1u);  // one connection to the controller for all of them
}

TEST_F(ResourcesEndToEnd, AClientThatLeavesWhileWaitingHoldsNobodyUp) {
  controller.Script("HANG", {});  // never answered
  auto owner = Connect(), leaving = Connect(), next = Connect();
  ASSERT_TRUE(owner && leaving && next);
  for (auto* client : {owner.get(), leaving.get(), next.get()}) {
    ASSERT_EQ(OpenAndLink(*client, "127.0.0.2 --protocol tcp", "-a 127.0.0.2 -p tcp"), "1");
  }
  ASSERT_TRUE(owner->Send("HANG\r"));
  ASSERT_TRUE(controller.WaitForCommand("HANG"));
  ASSERT_TRUE(leaving->Send("MG \"never\"\r"));
  ASSERT_TRUE(next->Send("MG \"next\"\r"));
  std::this_thread::sleep_for(50ms);  // both wait behind the owner now
  leaving.reset();
  ASSERT_TRUE(owner->Send(kEsc + "c"));  // the owner gives up on its reply
  EXPECT_EQ(next->ReadThrough(":?"), "next\r\n:");
  EXPECT_FALSE(controller.WaitForCommand("MG \"never\"", 1, 200ms));
  EXPECT_EQ(Command(*owner, "MG \"owner again\""), "owner again\r\n:");
}

TEST_F(ResourcesEndToEnd, SubscribersReceiveMessagesRecordsAndInterrupts) {
  // Messages over TCP, to the client that asked with ESC m.
  auto listener = Connect(), quiet = Connect();
  ASSERT_TRUE(listener && quiet);
  ASSERT_EQ(OpenAndLink(*listener, "127.0.0.2 --protocol tcp", "-a 127.0.0.2 -p tcp"), "1");
  ASSERT_EQ(OpenAndLink(*quiet, "127.0.0.2 --protocol tcp", "-a 127.0.0.2 -p tcp"), "1");
  ASSERT_TRUE(listener->Send(kEsc + "m"));
  EXPECT_EQ(Command(*listener, "CFI"), ":");
  controller.SendMessage("motion done\r\n");
  EXPECT_EQ(listener->ReadThrough("\n"), "motion done\r\n");
  EXPECT_EQ(Command(*quiet, "MG \"only mine\""), "only mine\r\n:");  // the message never reached it

  // Records and interrupts over UDP, to a UDP client that asked with ESC d and ESC i.
  auto owner = Connect();
  ASSERT_TRUE(owner);
  ASSERT_EQ(OpenAndLink(*owner, "127.0.0.2", "-a 127.0.0.2 -p udp"), "2");
  UdpClient records;
  records.Send("l --id 2\r");
  EXPECT_EQ(records.Receive(), "2\r\n~");
  records.Send(kEsc + "d" + kEsc + "i");
  EXPECT_EQ(Command(*owner, "DR,_WH"), ":");
  EXPECT_EQ(Command(*owner, "EI,,_WH"), ":");
  const std::string record = FakeController::MakeRecord(64);
  controller.SetRecord(record);
  std::string received;
  for (int attempt = 0; attempt < 50 && received != record; ++attempt) {
    controller.SendRecord();  // the subscriptions may still be on their way
    received = records.Receive(100ms);
  }
  EXPECT_EQ(received, record);
  while (!records.Receive(200ms).empty()) {
  }  // repeats of the record
  controller.SendInterrupt("\xF0");
  EXPECT_EQ(records.Receive(), "\xF0");
}

TEST_F(ResourcesEndToEnd, ResourcesCloseWhenTheirLastClientGoes) {
  auto first = Connect(), second = Connect(), watcher = Connect();
  ASSERT_TRUE(first && second && watcher);
  ASSERT_EQ(OpenAndLink(*first, "127.0.0.2 --protocol tcp", "-a 127.0.0.2 -p tcp"), "1");
  ASSERT_EQ(OpenAndLink(*second, "127.0.0.2 --protocol tcp", "-a 127.0.0.2 -p tcp"), "1");
  ASSERT_EQ(OpenAndLink(*second, "127.0.0.2", "-a 127.0.0.2 -p udp"), "2");  // leaves the TCP one
  EXPECT_EQ(Command(*second, "MG \"udp\""), "udp\r\n:");
  ASSERT_TRUE(first->Send(kEsc + "s"));
  EXPECT_EQ(Shell(*first, "q"), "");  // quits without an answer
  first.reset();
  ASSERT_TRUE(WaitForListing(*watcher, "  2,        127.0.0.2, udp, dst(127.0.0.2:60007)\r\n"));
  second.reset();  // gone without a word
  ASSERT_TRUE(WaitForListing(*watcher, ""));
  EXPECT_TRUE(controller.WaitForCommand("IHS=>-1"));  // the UDP resource said goodbye

  // A controller that goes away takes its clients with it.
  auto client = Connect();
  ASSERT_TRUE(client);
  ASSERT_EQ(OpenAndLink(*client, "127.0.0.2 --protocol tcp", "-a 127.0.0.2 -p tcp"), "3");
  EXPECT_EQ(Command(*client, "MG 1"), "1\r\n:");
  controller.CloseConnections();
  EXPECT_TRUE(client->WaitClosed(5s));
  ASSERT_TRUE(WaitForListing(*watcher, ""));
}

}  // namespace
