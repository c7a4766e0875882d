// Clients of the running server sharing one controller when things go wrong: a client that
// gives up on its reply (closes, or withdraws with ESC c) before or while the controller answers
// must not have that late reply handed to the next client, over a TCP or a UDP resource; and a
// raw TLS client that sends faster than the controller takes its bytes is held back instead of
// growing the server without bound.
#include "fakes/fake_controller.hpp"
#include "protocol/shell_wire.hpp"
#include "resources/resource.hpp"
#include "resources/resource_factory.hpp"
#include "support/test_support.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

namespace {

using orvan::fakes::FakeChannel;
using orvan::fakes::FakeController;
using orvan::fakes::FakeControllerSettings;
using orvan::fakes::FakeReply;

const std::string kEsc = "\x1b";
constexpr size_t kWriteLimit = 64 << 10;

class SharedController : public testing::Test {
protected:
  static void SetUpTestSuite() { WriteCertificate(UseFreshDataFolder(), "shared"); }

  SharedController()
      : controller(Settings()),
        running({}, [this](uint32_t kind, boost::asio::io_context& io, ResourceTable& table,
                           uint32_t id) {
          auto resource = MakeResource(kind, io, table, id);
          if (resource) resource->SetWriteLimit(kWriteLimit);
          std::lock_guard<std::mutex> guard(madeLock);
          made.push_back(resource);
          return resource;
        }) {}
  static FakeControllerSettings Settings() {
    FakeControllerSettings settings;
    settings.address = "127.0.0.2";
    settings.commandPort = 23;
    settings.unsolicitedPort = 60007;
    return settings;
  }
  void SetUp() override { controller.Start(); }

  static std::unique_ptr<TlsClient> Connect() {
    auto client = std::make_unique<TlsClient>();
    if (!client->Connect() || !client->Handshake()) return nullptr;
    return client;
  }
  static std::string Shell(TlsClient& client, const std::string& line) {
    if (!client.Send(line + "\r")) return "";
    return client.ReadThrough("~\\");
  }
  // Opens (in the background) and links once open, then passes commands in cooked mode.
  static bool OpenAndLink(TlsClient& client, const std::string& protocol) {
    if (!client.Send(kEsc + "s") || Shell(client, "o 127.0.0.2 --protocol " + protocol) != "~")
      return false;
    for (int attempt = 0; attempt < 200; ++attempt) {
      const std::string answer = Shell(client, "l -a 127.0.0.2 -p " + protocol);
      if (answer.size() > 1 && answer.back() == '~') return client.Send(kEsc + "c");
      std::this_thread::sleep_for(10ms);
    }
    return false;
  }
  static std::string Command(TlsClient& client, const std::string& command) {
    if (!client.Send(command + "\r")) return "";
    return client.ReadThrough(":?");
  }
  // The bytes the first resource holds for its controller, read on the server's loop.
  size_t WriteBacklog() {
    return running.OnLoop([this] {
      std::lock_guard<std::mutex> guard(madeLock);
      const auto first = made.empty() ? nullptr : made.front().lock();
      return first ? first->WriteBacklog() : size_t{0};
    });
  }

  FakeController controller;
  std::mutex madeLock;
  std::vector<std::weak_ptr<Resource>> made;  // weak: resources must not outlive the server
  RunningServer running;
};

struct GiveUpCase {
  const char* name;
  const char* protocol;
  bool midReply;  // the controller has sent part of the reply when the client gives up
  bool close;     // the client closes its connection; else it withdraws with ESC c
};

class LateReply : public SharedController, public testing::WithParamInterface<GiveUpCase> {};

TEST_P(LateReply, NeverReachesAnotherClient) {
  const auto& param = GetParam();
  const FakeChannel channel =
      std::string(param.protocol) == "udp" ? FakeChannel{true, 60007} : FakeChannel{false, 23};
  // A long command: the controller answers (the rest of) it only when the test says so, and
  // works through later commands after it.
  FakeReply slow;
  slow.lead = param.midReply ? " 12\r\n" : "";
  slow.bytes = "late reply\r\n:";
  slow.hold = true;
  controller.Script("WT 60000", slow);
  auto owner = Connect(), next = Connect();
  ASSERT_TRUE(owner && next);
  ASSERT_TRUE(OpenAndLink(*owner, param.protocol));
  ASSERT_TRUE(OpenAndLink(*next, param.protocol));
  ASSERT_TRUE(owner->Send("WT 60000\r"));
  ASSERT_TRUE(controller.WaitForCommand("WT 60000"));
  if (param.midReply) {
    EXPECT_EQ(owner->ReadThrough("\n"), " 12\r\n");
  }
  if (param.close) {
    owner.reset();
  } else {
    ASSERT_TRUE(owner->Send(kEsc + "c"));
  }
  ASSERT_TRUE(next->Send("MG \"next\"\r"));
  // The server asks the controller for a token of its own before it serves anyone again.
  ASSERT_TRUE(controller.WaitForBytes(channel, "MG \""));
  controller.ReleaseHeld();
  EXPECT_EQ(next->ReadThrough(":?"), "next\r\n:");
  EXPECT_EQ(Command(*next, "MG \"again\""), "again\r\n:");
  if (owner) {
    EXPECT_EQ(Command(*owner, "MG \"mine\""), "mine\r\n:");
  }
}

INSTANTIATE_TEST_SUITE_P(Cases, LateReply,
                         testing::Values(GiveUpCase{"TcpCloseBeforeReply", "tcp", false, true},
                                         GiveUpCase{"TcpWithdrawBeforeReply", "tcp", false, false},
                                         GiveUpCase{"TcpCloseMidReply", "tcp", true, true},
                                         GiveUpCase{"TcpWithdrawMidReply", "tcp", true, false},
                                         GiveUpCase{"UdpCloseBeforeReply", "udp", false, true},
                                         GiveUpCase{"UdpWithdrawMidReply", "udp", true, false}),
                         [](const testing::TestParamInfo<GiveUpCase>& info) {
                           return info.param.name;
                         });

// Raw data without CR: the controller takes it as one long command once the CR comes.
std::string RawData(size_t length) {
  std::string data(length, 'a');
  for (size_t i = 0; i < length; ++i) data[i] = static_cast<char>('a' + i % 26);
  return data;
}

TEST_F(SharedController, ARawTlsClientIsHeldBackWhileTheControllerDoesNotReadAndLosesNothing) {
  auto client = Connect();
  ASSERT_TRUE(client);
  ASSERT_TRUE(OpenAndLink(*client, "tcp"));
  controller.PauseReading(true);
  ASSERT_TRUE(client->Send(kEsc + "r"));
  // Far more than the sockets between server and controller hold.
  const std::string data = RawData(12 << 20);
  std::atomic<bool> sent{false};
  bool delivered = false;
  std::thread writer([&] {
    delivered = client->Send(data, 120s);
    sent = true;
  });
  // While the controller reads nothing the server holds no more than its bound (and the one
  // chunk that crossed it), however long the client goes on sending.
  size_t most = 0;
  std::optional<std::chrono::steady_clock::time_point> filled;
  while (!sent && (!filled || std::chrono::steady_clock::now() < *filled + 2s)) {
    const size_t backlog = WriteBacklog();
    most = std::max(most, backlog);
    if (backlog >= kWriteLimit / 2 && !filled) filled = std::chrono::steady_clock::now();
    std::this_thread::yield();
  }
  EXPECT_LE(most, kWriteLimit + orvan::protocol::kRequestSize);
  controller.PauseReading(false);
  writer.join();
  ASSERT_TRUE(delivered) << "the connection ended while the client was held back";
  ASSERT_TRUE(client->Send("\rMG \"done\"\r"));
  ASSERT_TRUE(controller.WaitForCommand("MG \"done\"", 1, 60s));
  const auto commands = controller.CommandsOn({false, 23});
  ASSERT_GE(commands.size(), 2u);
  EXPECT_TRUE(commands[commands.size() - 2] == data)
      << "the controller got " << commands[commands.size() - 2].size() << " of " << data.size()
      << " bytes";
}

}  // namespace
