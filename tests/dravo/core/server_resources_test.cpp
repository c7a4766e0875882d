// The server core's resource table and client list, driven directly on its event loop
// with recording resources: no listener runs here.
#include "core/server.hpp"
#include "fakes/server_core_fakes.hpp"

#include <gtest/gtest.h>

#include <array>

namespace {

class FixedRequestor : public Requestor {
public:
  FixedRequestor(boost::asio::io_context& io, Server& server, std::string address)
      : Requestor(io, server), address(std::move(address)) {}
  std::string Protocol() const override { return "tcp"; }
  uint16_t Port() const override { return 1; }
  std::string Address() const override { return address; }
  void StartRead() override {}

private:
  bool WriteFront() override { return true; }
  std::string address;
};

class ResourceTable : public testing::Test {
protected:
  ResourceTable()
      : server(ScriptedShell::Factory(),
               [this](uint32_t kind, boost::asio::io_context& io, Server& core, uint32_t id) {
                 auto resource = std::make_shared<FakeResource>(kind, io, core, id, failOpens);
                 made.push_back(resource);
                 return resource;
               }) {}

  void Open(const std::string& address, uint32_t kind, uint32_t baud = 0) {
    auto parameters = std::make_unique<OpenParameters>();
    parameters->address = address;
    parameters->kind = kind;
    parameters->baud = baud;
    server.OpenResource(std::move(parameters));
  }
  void Settle() {
    server.EventLoop().restart();
    server.EventLoop().poll();
  }

  // First, so that it goes last: resources must not outlive its event loop.
  Server server;
  bool failOpens = false;
  std::vector<std::shared_ptr<FakeResource>> made;
};

TEST_F(ResourceTable, IdsCountUpAndAreNeverReused) {
  Open("10.0.0.5", 0);
  Open("10.0.0.6", 1);
  Settle();
  EXPECT_EQ(server.ListResources(),
            "  1,         10.0.0.5, tcp, none\r\n  2,         10.0.0.6, udp, none\r\n");
  server.CloseResource(1);
  EXPECT_EQ(made[0]->released, 1);
  Open("10.0.0.5", 0);
  Settle();
  EXPECT_EQ(server.FindResource("10.0.0.5", ""), 3u);
  server.CloseResource(99);  // unknown: nothing
  server.CloseAllResources();
  EXPECT_EQ(server.ListResources(), "");
  EXPECT_EQ(made[1]->released, 1);
  EXPECT_EQ(made[2]->released, 1);
}

TEST_F(ResourceTable, OpensUnderWayOrDoneAreNotRepeated) {
  Open("10.0.0.5", 0);
  Open("10.0.0.5", 0);  // same kind and address before the first completes
  Settle();
  Open("10.0.0.5", 0);  // open already
  Settle();
  EXPECT_EQ(made.size(), 1u);
  Open("10.0.0.5", 1);  // another kind is another resource
  Settle();
  EXPECT_EQ(made.size(), 2u);
}

TEST_F(ResourceTable, ReopeningASerialPortChangesItsBaud) {
  Open("/dev/ttyS0", 2, 9600);
  Settle();
  Open("/dev/ttyS0", 2, 115200);
  Settle();
  ASSERT_EQ(made.size(), 1u);
  ASSERT_EQ(made[0]->submitted.size(), 1u);
  const auto& request = *made[0]->submitted[0];
  EXPECT_EQ(request.operationCodes, std::deque<int>{9});
  EXPECT_EQ(request.controlParameter, 2u);
  EXPECT_EQ(request.controlValue, 115200u);
  EXPECT_TRUE(request.requestor.expired());
}

TEST_F(ResourceTable, FailedOpensAndUnknownKindsLeaveNothing) {
  Open("10.0.0.5", 7);
  Settle();
  EXPECT_TRUE(made.empty());
  failOpens = true;
  Open("10.0.0.5", 0);
  Settle();
  EXPECT_EQ(server.ListResources(), "");
  failOpens = false;
  Open("10.0.0.5", 0);  // no queue record of the failed open is left to block it
  Settle();
  EXPECT_EQ(server.FindResource("10.0.0.5", "tcp"), 2u);
}

TEST_F(ResourceTable, NewResourcesBeyondTheBoundAreRefusedOpensUnderWayCounted) {
  server.SetResourceLimit(3);
  Open("10.0.0.1", 0);
  Open("10.0.0.2", 0);
  Settle();
  Open("10.0.0.3", 0);  // still under way
  EXPECT_THROW(Open("10.0.0.4", 0), std::runtime_error);
  EXPECT_THROW(Open("10.0.0.1", 1), std::runtime_error);  // another kind is another resource
  EXPECT_NO_THROW(Open("10.0.0.1", 0));                   // open already
  EXPECT_NO_THROW(Open("10.0.0.3", 0));                   // under way already
  Settle();
  EXPECT_EQ(made.size(), 3u);
  // A closed resource and a failed open both give their places back.
  server.CloseResource(1);
  failOpens = true;
  Open("10.0.0.4", 0);
  Settle();
  failOpens = false;
  Open("10.0.0.5", 0);
  Settle();
  EXPECT_EQ(server.FindResource("10.0.0.5", "tcp"), 5u);
  EXPECT_THROW(Open("10.0.0.6", 0), std::runtime_error);
}

TEST_F(ResourceTable, SubmitReachesOnlyOpenResources) {
  Open("10.0.0.5", 0);
  Settle();
  const auto request = Request::RequestWithOp(1, {});
  EXPECT_EQ(server.Submit(1, request), 0);
  EXPECT_EQ(made[0]->submitted.size(), 1u);
  EXPECT_EQ(server.Submit(0, request), -2);
  server.CloseResource(1);
  EXPECT_EQ(server.Submit(1, request), -2);
}

TEST_F(ResourceTable, FindResourceByAddressAndKindWord) {
  Open("10.0.0.5", 1);
  Open("10.0.0.5", 0);
  Open("/dev/ttyS1", 2);
  Settle();
  struct Case {
    const char* address;
    const char* protocol;
    std::optional<uint32_t> id;
  };
  const std::array<Case, 6> cases{{{"10.0.0.5", "", 1u},
                                   {"10.0.0.5", "udp", 1u},
                                   {"10.0.0.5", "tcp", 2u},
                                   {"10.0.0.5", "ser", std::nullopt},
                                   {"/dev/ttyS1", "ser", 3u},
                                   {"10.0.0.6", "", std::nullopt}}};
  for (const auto& entry : cases)
    EXPECT_EQ(server.FindResource(entry.address, entry.protocol), entry.id)
        << entry.address << " " << entry.protocol;
}

TEST_F(ResourceTable, ConnectionsListEachRemoteAddressOnce) {
  for (const char* address : {"127.0.0.1", "110.0.0.1", "", "10.0.0.1", "110.0.0.1", "10.0.0.1"})
    server.AddRequestor(std::make_shared<FixedRequestor>(server.EventLoop(), server, address));
  EXPECT_EQ(server.ListConnections(), "110.0.0.1\n10.0.0.1\n");
}

TEST_F(ResourceTable, ClosedRequestorsLeaveTheList) {
  auto requestor = std::make_shared<FixedRequestor>(server.EventLoop(), server, "10.0.0.1");
  server.AddRequestor(requestor);
  requestor->Close();
  requestor->Close();  // a second close is harmless
  Settle();
  EXPECT_TRUE(server.Requestors().empty());
  auto& shell = static_cast<ScriptedShell&>(requestor->GetShell());
  EXPECT_EQ(shell.finished, 1);
  EXPECT_EQ(shell.unlinked, 1);
}

TEST_F(ResourceTable, RestartGivesWayToShutdown) {
  server.Shutdown();
  server.Restart();
  EXPECT_EQ(server.RunState(), Server::kShutdown);
}

}  // namespace
