// The real shell of a client connection, driven through its Requestor on a server core with
// recording resources: the road of a command from the client's bytes to the resource and back.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "core/composition_root.hpp"
#include "core/server.hpp"
#include "fakes/server_core_fakes.hpp"
#include "shell/request.hpp"
#include "shell/shell.hpp"

namespace {

class RecordingRequestor : public Requestor {
public:
  using Requestor::Requestor;
  std::string Protocol() const override { return "tcp"; }
  uint16_t Port() const override { return 1; }
  std::string Address() const override { return "10.0.0.9"; }
  void StartRead() override {}
  std::string Take() {
    std::string taken;
    taken.swap(output);
    return taken;
  }

private:
  bool WriteFront() override {
    if (stalled) return false;  // the client stopped reading: the write never completes
    output.append(writeQueue.front()->begin(), writeQueue.front()->end());
    return true;
  }
  std::string output;

public:
  bool stalled = false;
};

class ConnectionShellTest : public testing::Test {
protected:
  ConnectionShellTest()
      : server(MakeShell,
               [this](uint32_t kind, boost::asio::io_context& io, Server& core, uint32_t id) {
                 auto resource = std::make_shared<FakeResource>(kind, io, core, id, false);
                 made.push_back(resource);
                 return resource;
               }) {
    client = std::make_shared<RecordingRequestor>(server.EventLoop(), server);
    server.AddRequestor(client);
  }
  ~ConnectionShellTest() override {
    client->Close();
    Settle();
  }

  void Feed(const std::string& bytes) {
    std::copy(bytes.begin(), bytes.end(), client->ReceiveBuffer().begin());
    client->OnRead({}, bytes.size());
    Settle();
  }
  void Settle() {
    server.EventLoop().restart();
    server.EventLoop().poll();
  }
  // Opens and links 10.0.0.5 in cooked mode; the resource's submissions start empty.
  FakeResource& OpenAndLink() {
    Feed("o 10.0.0.5\r");
    Feed("l -a 10.0.0.5 -m 2\r");
    EXPECT_EQ(client->Take(), "~~");
    EXPECT_EQ(made.size(), 1u);
    made.at(0)->submitted.clear();
    return *made.at(0);
  }
  static std::string Bytes(const Request& request) {
    return std::string(request.commandBytes.begin(), request.commandBytes.begin() + request.length);
  }

  // First, so that it goes last: resources must not outlive its event loop.
  Server server;
  std::vector<std::shared_ptr<FakeResource>> made;
  std::shared_ptr<RecordingRequestor> client;
};

TEST_F(ConnectionShellTest, CookedCommandTravelsToTheControllerAndItsReplyBack) {
  auto& resource = OpenAndLink();
  Feed(
      "\x1b"
      "cTP\r");
  ASSERT_EQ(resource.submitted.size(), 1u);
  const auto request = resource.submitted[0];
  EXPECT_EQ(Bytes(*request), "TP\r");
  client->OnRequestReady(request, made[0]);
  EXPECT_EQ(resource.written, "TP\r");
  auto& shell = client->GetShell();
  shell.Send(reinterpret_cast<const uint8_t*>(" 12\r\n"), 5, false, false);
  EXPECT_EQ(resource.done, 0);
  shell.Send(reinterpret_cast<const uint8_t*>(":"), 1, false, false);
  EXPECT_EQ(resource.done, 1);
  Settle();
  EXPECT_EQ(client->Take(), " 12\r\n:");
}

TEST_F(ConnectionShellTest, AClosedClientHandsItsStartedRequestStraightBack) {
  auto& resource = OpenAndLink();
  Feed("TP\r");
  ASSERT_EQ(resource.submitted.size(), 1u);
  const auto request = resource.submitted[0];
  client->Close();
  // Closing withdrew the waiting request and left the resource.
  EXPECT_EQ(request->length, 0u);
  EXPECT_EQ(resource.submitted.back()->PopOp(), Request::kLeaveLinked);
  client->OnRequestReady(request, made[0]);
  EXPECT_EQ(resource.done, 1);
  EXPECT_EQ(resource.written, "");
}

TEST_F(ConnectionShellTest, QuitEndsTheConnection) {
  Feed("a -c\rquit\ra -v\r");
  EXPECT_TRUE(client->Closed());
  EXPECT_EQ(client->Take(), "1\r\n~");
  EXPECT_TRUE(server.Requestors().empty());
}

TEST_F(ConnectionShellTest, OpenBeyondTheResourceBoundFailsAndOpenResourcesStillServe) {
  server.SetResourceLimit(3);
  Feed("o 10.0.0.1\ro 10.0.0.2\ro 10.0.0.3\r");
  EXPECT_EQ(client->Take(), "~~~");
  Feed("o 10.0.0.4\r");
  EXPECT_EQ(client->Take(), "\\");
  Feed("te\r");
  EXPECT_EQ(client->Take(), "the server holds too many hardware connections (3 at most)\r\n~");
  Feed("o 10.0.0.2\rl -a 10.0.0.2\r");
  EXPECT_EQ(client->Take(), "~2\r\n~");
  EXPECT_EQ(made.size(), 3u);
}

TEST_F(ConnectionShellTest, AClientThatStopsReadingIsClosedNotBuffered) {
  client->stalled = true;
  std::string chunk;
  while (chunk.size() + 12 <= Requestor::kReceiveSize) chunk += "ctrl --help\r";
  int chunks = 0;
  while (!client->Closed() && chunks < 10000) {
    Feed(chunk);
    ++chunks;
  }
  EXPECT_TRUE(client->Closed());
  // Closed once its unread answers passed the limit, not long after.
  const size_t answered = static_cast<size_t>(chunks) * (chunk.size() / 12) * 400;
  EXPECT_LT(answered, 4 * Requestor::kMaxWriteBacklog);
}

}  // namespace
