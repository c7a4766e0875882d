// The resource base over a scripted transport: requests served one client at a time, the
// sorting of controller input, fan-out to subscribers, write failures and closing when unused.
#include "core/server.hpp"
#include "fakes/server_core_fakes.hpp"
#include "protocol/shell_wire.hpp"
#include "shell/request.hpp"

#include <gtest/gtest.h>

#include <boost/asio/post.hpp>

#include <chrono>
#include <functional>
#include <thread>
#include <utility>

namespace {

using namespace std::chrono_literals;

// A transport whose writes are recorded and complete on the next turn (or fail as scripted), and
// whose reads are what the test feeds.
class ScriptedResource : public Resource {
public:
  ScriptedResource(uint32_t kind, boost::asio::io_context& io, Server& server, uint32_t id)
      : Resource(io, server, id), kind(kind) {}
  uint32_t Kind() const override { return kind; }
  void Open(const OpenParameters& parameters) override {
    Resource::Open(parameters);
    ReportOpened({});
  }
  // One read of the controller.
  void Feed(const std::string& bytes) {
    std::copy(bytes.begin(), bytes.end(), readBuffer.begin());
    OnRead({}, bytes.size());
  }
  void FailRead() { OnRead(boost::asio::error::connection_reset, 0); }
  // The stalled write completes.
  void CompleteWrite() { OnWrite({}, std::exchange(stalled, 0)); }

  uint32_t kind;
  std::string written;
  std::vector<std::pair<uint32_t, uint32_t>> options;
  size_t writes = 0, inFlight = 0, mostInFlight = 0;
  size_t failWrite = 0;  // the write with this number (from 1) fails
  bool stall = false;    // writes wait for CompleteWrite, as to a controller that stopped reading
  size_t stalled = 0;
  int closes = 0, reads = 0;

protected:
  void Close(std::shared_ptr<Resource>) override { ++closes; }
  void Write(const uint8_t* bytes, size_t length) override {
    if (stall) {
      written.append(reinterpret_cast<const char*>(bytes), length);
      stalled = length;
      return;
    }
    const bool fails = ++writes == failWrite;
    mostInFlight = std::max(mostInFlight, ++inFlight);
    if (!fails) written.append(reinterpret_cast<const char*>(bytes), length);
    boost::asio::post(io, [self = shared_from_this(), this, fails, length] {
      --inFlight;
      OnWrite(fails ? boost::asio::error::broken_pipe : boost::system::error_code(),
              fails ? 0 : length);
    });
  }
  void StartRead() override { ++reads; }
  void SetOption(uint32_t parameter, uint32_t value) override {
    options.emplace_back(parameter, value);
  }
};

class ResourceBase : public testing::Test {
protected:
  ResourceBase()
      : server(RecordingShell::Factory(),
               [this](uint32_t kind, boost::asio::io_context& io, Server& core, uint32_t id) {
                 auto made = std::make_shared<ScriptedResource>(kind, io, core, id);
                 made->SetIdleTimeout(idleTimeout);
                 resource = made;
                 return made;
               }) {}

  void SetUp() override { Open(0); }
  void Open(uint32_t kind) {
    auto parameters = std::make_unique<OpenParameters>();
    parameters->address = "10.0.0.5";
    parameters->kind = kind;
    server.OpenResource(std::move(parameters));
    Settle();
  }
  void Settle() {
    io().restart();
    io().poll();
  }
  boost::asio::io_context& io() { return server.EventLoop(); }
  std::shared_ptr<LoopRequestor> Client() {
    auto client = std::make_shared<LoopRequestor>(io(), server);
    server.AddRequestor(client);
    return client;
  }
  void Codes(const std::shared_ptr<LoopRequestor>& client, std::initializer_list<int> codes) {
    auto request = std::make_shared<Request>(nullptr, 0, client);
    for (int code : codes) request->PushOp(code);
    server.Submit(resource->Id(), request);
    Settle();
  }
  std::shared_ptr<Request> Command(const std::shared_ptr<LoopRequestor>& client,
                                   const std::string& text) {
    auto request = std::make_shared<Request>(reinterpret_cast<const uint8_t*>(text.data()),
                                             text.size(), client);
    server.Submit(resource->Id(), request);
    Settle();
    return request;
  }
  bool Open() const { return server.FindResource("10.0.0.5", "").has_value(); }

  // First, so that it goes last: resources must not outlive its event loop.
  Server server;
  uint32_t idleTimeout = Resource::kDefaultIdleTimeout;
  std::shared_ptr<ScriptedResource> resource;
};

TEST_F(ResourceBase, ServesOneClientAtATimeInArrivalOrder) {
  auto first = Client(), second = Client();
  Codes(first, {1});
  Codes(second, {1});
  Command(first, "MG 1\r");
  Command(second, "MG 2\r");
  Command(first, "MG 3\r");
  ASSERT_EQ(first->Recorder().ready.size(), 1u);
  EXPECT_TRUE(second->Recorder().ready.empty());
  EXPECT_EQ(resource->written, "MG 1\r");

  resource->Feed("1\r\n:");  // the reply goes to the owner only
  Settle();
  EXPECT_EQ(first->Recorder().Joined(false), "1\r\n:");
  EXPECT_TRUE(second->Recorder().deliveries.empty());
  EXPECT_TRUE(second->Recorder().ready.empty());

  first->Recorder().FinishRequest();
  Settle();
  ASSERT_EQ(second->Recorder().ready.size(), 1u);
  resource->Feed("2\r\n:");
  second->Recorder().FinishRequest();
  Settle();
  EXPECT_EQ(first->Recorder().ready.size(), 2u);
  EXPECT_EQ(second->Recorder().Joined(false), "2\r\n:");
  EXPECT_EQ(resource->written, "MG 1\rMG 2\rMG 3\r");
  EXPECT_EQ(resource->mostInFlight, 1u);
}

TEST_F(ResourceBase, ClosedClientsGiveUpTheirTurn) {
  auto owner = Client(), waiting = Client(), next = Client(), late = Client();
  for (const auto& client : {owner, waiting, next, late}) Codes(client, {1});
  Command(owner, "A\r");
  Command(waiting, "B\r");
  Command(next, "C\r");
  waiting->Close();  // while its request waits in the queue
  owner->Recorder().FinishRequest();
  Settle();
  EXPECT_TRUE(waiting->Recorder().ready.empty());
  ASSERT_EQ(next->Recorder().ready.size(), 1u);

  // Closed once its turn was posted, before the turn arrived: the turn is handed on.
  Command(owner, "D\r");
  next->Recorder().FinishRequest();
  boost::asio::post(io(), [&] { owner->Close(); });  // runs before the posted turn
  Settle();
  Command(late, "E\r");
  EXPECT_EQ(late->Recorder().ready.size(), 1u);

  // An owner that vanished without a word frees the resource for the next request.
  std::weak_ptr<Requestor> gone = late;
  server.RemoveRequestor(late);
  late.reset();
  Settle();
  ASSERT_TRUE(gone.expired());
  auto another = Client();
  Codes(another, {1});
  Command(another, "F\r");
  EXPECT_EQ(another->Recorder().ready.size(), 1u);
  EXPECT_EQ(resource->written, "A\rC\rE\rF\r");
}

TEST_F(ResourceBase, CodesChangeTheSetsAndTheLastLeaverClosesTheResource) {
  auto client = Client();
  Codes(client, {1, 3, 5, 7, 42});
  EXPECT_EQ(resource->Linked().size(), 1u);
  EXPECT_EQ(resource->Messages().size(), 1u);
  EXPECT_EQ(resource->Records().size(), 1u);
  EXPECT_EQ(resource->Interrupts().size(), 1u);
  Codes(client, {1});  // a second join changes nothing
  EXPECT_EQ(resource->Linked().size(), 1u);
  Codes(client, {4, 6, 8});
  EXPECT_TRUE(resource->Messages().empty());
  EXPECT_TRUE(Open());
  Codes(client, {2});
  EXPECT_FALSE(Open());
  EXPECT_GE(resource->closes, 1);
  EXPECT_TRUE(resource->Closing());
}

TEST_F(ResourceBase, OptionsWaitForTheOwnersRequest) {
  auto owner = Client(), other = Client();
  Codes(owner, {1});
  Codes(other, {1});
  server.Submit(resource->Id(), Request::RequestWithControl(3, 2, other));  // free: at once
  Settle();
  ASSERT_EQ(resource->options.size(), 1u);
  Command(owner, "A\r");
  server.Submit(resource->Id(), Request::RequestWithControl(3, 1, owner));  // the owner itself
  Settle();
  EXPECT_EQ(resource->options.size(), 2u);
  server.Submit(resource->Id(), Request::RequestWithControl(2, 9600, other));
  Command(other, "B\r");
  EXPECT_EQ(resource->options.size(), 2u);
  owner->Recorder().FinishRequest();
  Settle();
  ASSERT_EQ(resource->options.size(), 3u);
  EXPECT_EQ(resource->options[2], std::make_pair(2u, 9600u));
  // Applied before the request queued behind it is served.
  EXPECT_EQ(other->Recorder().ready.size(), 1u);
}

TEST_F(ResourceBase, AnOptionAloneLeavesAResourceThatNobodyLinkedYetOpen) {
  // The server's own rate change on a second open of a port: no requestor, no subscriber yet.
  server.Submit(resource->Id(), Request::RequestWithControl(2, 9600, {}));
  Settle();
  ASSERT_EQ(resource->options.size(), 1u);
  EXPECT_TRUE(Open());
  EXPECT_EQ(resource->closes, 0);
}

struct InputCase {
  const char* name;
  bool withOwner;
  std::string input;
  std::string owner;     // bytes the owner gets, joined
  std::string messages;  // bytes the message subscribers get, joined
  bool complete;         // the owner's last delivery ends the reply
};

class InputSorting : public ResourceBase, public testing::WithParamInterface<InputCase> {};

std::string Binary(size_t declared, size_t length) {
  std::string bytes(length, 'x');
  bytes[0] = static_cast<char>(0x87);
  bytes[1] = 0x0F;
  bytes[2] = static_cast<char>(declared & 0xFF);
  bytes[3] = static_cast<char>(declared >> 8);
  return bytes;
}

TEST_P(InputSorting, SplitsRepliesFromUnsolicitedBytes) {
  const auto& param = GetParam();
  auto owner = Client(), listener = Client();
  Codes(owner, {1});
  Codes(listener, {1, 3});
  if (param.withOwner) Command(owner, "MG\r");
  resource->Feed(param.input);
  Settle();
  EXPECT_EQ(owner->Recorder().Joined(false), param.owner);
  EXPECT_EQ(listener->Recorder().Joined(true), param.messages);
  if (!param.owner.empty()) {
    EXPECT_EQ(owner->Recorder().deliveries.back().replyComplete, param.complete);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, InputSorting,
    testing::Values(
        InputCase{"TextToOwner", true, "12\r\n:", "12\r\n:", "", false},
        InputCase{"HighBytesToMessages", true,
                  "1\xC8"
                  "2:",
                  "12:", "H", false},
        InputCase{"NoOwnerTextToMessages", false, "hello\r\n", "", "hello\r\n", false},
        InputCase{"BinaryReplyIsOneDelivery", true, Binary(256, 257), Binary(256, 257), "", true},
        InputCase{"BytesAfterBinaryReply", true, Binary(8, 9) + ":", Binary(8, 9) + ":", "", false},
        InputCase{"MarkerDropsItsTextAndTheUnsolicited", true,
                  std::string("ab\x50\x11\x01zz\0q", 9) + "\xC1"
                                                          "1:",
                  "1:", "", false},
        InputCase{"MarkerAfterColonStays", true, std::string("a:\x50\x11\x01", 5),
                  std::string("a:\x50\x11\x01", 5), "", false},
        InputCase{"ShortBinaryEndsAtItsHeader", true, Binary(1, 4) + "ok", Binary(1, 4) + "ok", "",
                  false}),
    [](const testing::TestParamInfo<InputCase>& info) { return info.param.name; });

TEST_F(ResourceBase, SplitBinaryReplyIsMarkedUntilItsEnd) {
  auto owner = Client();
  Codes(owner, {1});
  Command(owner, "QR\r");
  const std::string reply = Binary(300, 301);
  resource->Feed(reply.substr(0, 200));
  resource->Feed(reply.substr(200));
  auto& deliveries = owner->Recorder().deliveries;
  ASSERT_EQ(deliveries.size(), 2u);
  EXPECT_TRUE(deliveries[0].binaryPart);
  EXPECT_FALSE(deliveries[0].replyComplete);
  EXPECT_FALSE(deliveries[1].binaryPart);
  EXPECT_TRUE(deliveries[1].replyComplete);
  EXPECT_EQ(deliveries[0].bytes + deliveries[1].bytes, reply);
}

TEST_F(ResourceBase, RawOwnerGetsBytesAsTheyCome) {
  auto owner = Client(), listener = Client();
  Codes(owner, {1});
  Codes(listener, {1, 3});
  owner->Recorder().mode = orvan::protocol::kRawMode;
  Command(owner, "x");
  resource->Feed(
      "\x87\xC8"
      "abc");
  EXPECT_EQ(owner->Recorder().Joined(false),
            "\x87\xC8"
            "abc");
  EXPECT_TRUE(listener->Recorder().deliveries.empty());
}

struct DatagramCase {
  const char* name;
  std::string datagram;
  std::string records, interrupts, messages;
};

class DatagramSorting : public ResourceBase, public testing::WithParamInterface<DatagramCase> {
  void SetUp() override { Open(1); }
};

std::string Record(size_t length) {
  std::string record(length, 'r');
  record[2] = static_cast<char>(length);
  record[3] = 0;
  return record;
}

TEST_P(DatagramSorting, SortsRecordsInterruptsAndText) {
  const auto& param = GetParam();
  auto records = Client(), interrupts = Client(), messages = Client();
  Codes(records, {1, 5});
  Codes(interrupts, {1, 7});
  Codes(messages, {1, 3});
  resource->Feed(param.datagram);
  EXPECT_EQ(records->Recorder().Joined(true), param.records);
  EXPECT_EQ(interrupts->Recorder().Joined(true), param.interrupts);
  EXPECT_EQ(messages->Recorder().Joined(true), param.messages);
  EXPECT_EQ(resource->RecordsSeen(), !param.records.empty());
  EXPECT_EQ(resource->reads, 1);  // reading goes on
}

INSTANTIATE_TEST_SUITE_P(
    Cases, DatagramSorting,
    testing::Values(DatagramCase{"RecordOf19", Record(19), Record(19), "", ""},
                    DatagramCase{"InterruptOf18",
                                 "\x01"
                                 "ABCDEFGHIJKLMNOP"
                                 "z",
                                 "", "ABCDEFGHIJKLMNOP", ""},
                    DatagramCase{"ShortInterrupt", "\x01\xF0z", "", "\xF0", ""},
                    DatagramCase{"TwoBytesAreText", "ok", "", "", "ok"},
                    DatagramCase{"RecordOfWrongLengthIsText", Record(19) + "s", "", "",
                                 Record(19) + "s"}),
    [](const testing::TestParamInfo<DatagramCase>& info) { return info.param.name; });

TEST_F(ResourceBase, ReadFailureClosesEverySubscriberAndTheResource) {
  auto linked = Client(), listener = Client();
  Codes(linked, {1});
  Codes(listener, {1, 5});
  resource->FailRead();
  EXPECT_TRUE(resource->Closing());
  OpenParameters same;
  same.address = "10.0.0.5";
  EXPECT_FALSE(resource->Matches(same));  // a new open gets a fresh resource
  EXPECT_FALSE(server.FindResource("10.0.0.5", "").has_value());
  EXPECT_TRUE(linked->Closed());
  EXPECT_TRUE(listener->Closed());
  Settle();
  EXPECT_EQ(server.ListResources(), "");
  EXPECT_EQ(resource->reads, 0);
}

TEST_F(ResourceBase, WriteFailureEndsTheResourceWithoutResending) {
  auto client = Client();
  Codes(client, {1});
  resource->failWrite = 1;
  Command(client, "AB\r");
  Settle();
  EXPECT_EQ(resource->writes, 1u);  // the failed buffer is not written again
  EXPECT_EQ(resource->WriteBacklog(), 0u);
  EXPECT_TRUE(client->Closed());
  EXPECT_FALSE(Open());
}

TEST_F(ResourceBase, NothingIsWrittenOrTimedAfterRelease) {
  auto client = Client();
  Codes(client, {1});
  server.CloseResource(resource->Id());
  Settle();
  EXPECT_EQ(resource->closes, 1);
  resource->QueueWrite(reinterpret_cast<const uint8_t*>("x"), 1);
  resource->Feed("late:");
  resource->Submit(std::make_shared<Request>(reinterpret_cast<const uint8_t*>("AB\r"), 3, client));
  Settle();
  EXPECT_EQ(resource->writes, 0u);
  EXPECT_EQ(resource->reads, 0);
  EXPECT_TRUE(client->Recorder().ready.empty());
  EXPECT_TRUE(client->Recorder().deliveries.empty());
}

TEST_F(ResourceBase, ASlowClientIsClosedAndHoldsNobodyUp) {
  auto slow = Client(), quick = Client();
  Codes(slow, {1, 3});
  Codes(quick, {1, 3});
  slow->stalled = true;
  const std::string chunk(512, static_cast<char>(0xC1));
  const size_t chunks = (Requestor::kMaxWriteBacklog / chunk.size()) + 8;
  for (size_t i = 0; i < chunks; ++i) {
    resource->Feed(chunk);
    Settle();
  }
  EXPECT_TRUE(slow->Closed());
  EXPECT_FALSE(quick->Closed());
  EXPECT_EQ(quick->written.size(), chunks * chunk.size());
  EXPECT_EQ(quick->written.substr(0, 2), "AA");
}

// ---- a reply whose client gave up on it ----

class AbandonedReply : public ResourceBase {
protected:
  // The owner's client gives up on the reply to `command` after the shell counted `counted`.
  void Abandon(const std::shared_ptr<LoopRequestor>& client, const std::string& command,
               const std::string& counted = "") {
    ReplyTracker tracker;
    tracker.Start(reinterpret_cast<const uint8_t*>(command.data()), command.size());
    tracker.Count(reinterpret_cast<const uint8_t*>(counted.data()), counted.size());
    client->Recorder().serving.reset();
    resource->ReplyAbandoned(tracker);
    Settle();
  }
  bool RunUntil(const std::function<bool()>& done, std::chrono::milliseconds limit = 5s) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!done()) {
      if (std::chrono::steady_clock::now() > end) return false;
      io().restart();
      io().run_for(5ms);
    }
    return true;
  }
  // The tokens of the questions written to the controller so far.
  std::vector<std::string> Tokens() const {
    std::vector<std::string> tokens;
    for (size_t at = resource->written.find("MG \""); at != std::string::npos;
         at = resource->written.find("MG \"", at + 1)) {
      const size_t start = at + 4;
      tokens.push_back(resource->written.substr(start, resource->written.find('"', start) - start));
    }
    return tokens;
  }
};

TEST_F(AbandonedReply, TheRestReachesNobodyAndTheNextRequestWaitsForItsEnd) {
  auto owner = Client(), next = Client(), listener = Client();
  Codes(owner, {1});
  Codes(next, {1});
  Codes(listener, {1, 3});
  Command(owner, "TP\r");
  resource->Feed(" 12");
  Abandon(owner, "TP\r", " 12");
  Command(next, "MG 2\r");
  resource->Feed("\r\n\xC1");  // more of the reply, and a message byte
  Settle();
  EXPECT_TRUE(next->Recorder().ready.empty());
  EXPECT_EQ(listener->Recorder().Joined(true), "A");  // messages still go out
  resource->Feed(":");
  Settle();
  EXPECT_FALSE(resource->Syncing());
  ASSERT_EQ(next->Recorder().ready.size(), 1u);
  resource->Feed("2\r\n:");
  Settle();
  EXPECT_EQ(next->Recorder().Joined(false), "2\r\n:");
  EXPECT_EQ(listener->Recorder().Joined(true), "A");
  EXPECT_EQ(owner->Recorder().Joined(false), " 12");
  EXPECT_EQ(resource->written, "TP\rMG 2\r");  // ended in time: the controller was not asked
}

TEST_F(AbandonedReply, AReplyThatDoesNotEndInTimeEndsAtTheEchoOfTheNewestToken) {
  resource->SetSyncTiming({20ms, 40ms, 600s});
  auto owner = Client(), next = Client();
  Codes(owner, {1});
  Codes(next, {1});
  Command(owner, "WT 5000\r");
  Abandon(owner, "WT 5000\r");
  Command(next, "MG 2\r");
  // Asked again and again, with a fresh token each time.
  ASSERT_TRUE(RunUntil([&] { return Tokens().size() >= 2; }));
  const auto tokens = Tokens();
  EXPECT_NE(tokens[0], tokens[1]);
  EXPECT_EQ(resource->written.find("MG 2"), std::string::npos);
  // The late reply and the echo of an older question end nothing.
  resource->Feed(":" + tokens[0] + "\r\n:");
  Settle();
  EXPECT_TRUE(resource->Syncing());
  EXPECT_TRUE(next->Recorder().ready.empty());
  resource->Feed(Tokens().back() + "\r\n:");
  Settle();
  EXPECT_FALSE(resource->Syncing());
  ASSERT_EQ(next->Recorder().ready.size(), 1u);
  EXPECT_TRUE(next->Recorder().deliveries.empty());
  EXPECT_EQ(resource->written.substr(resource->written.size() - 5), "MG 2\r");
}

TEST_F(AbandonedReply, AControllerSilentWhileAskedIsLost) {
  resource->SetSyncTiming({10ms, 20ms, 150ms});
  auto owner = Client(), next = Client();
  Codes(owner, {1});
  Codes(next, {1});
  Command(owner, "WT 5000\r");
  Abandon(owner, "WT 5000\r");
  Command(next, "MG 2\r");
  ASSERT_TRUE(RunUntil([&] { return resource->Closing(); }));
  EXPECT_TRUE(next->Closed());
  EXPECT_TRUE(next->Recorder().ready.empty());
}

// ---- the bytes waiting for the controller ----

// Counts ResumeReading calls.
class DrainWatcher : public ResourceClient {
public:
  void Deliver(const uint8_t*, size_t, bool, bool, bool) override {}
  bool RawMode() const override { return true; }
  bool Closed() const override { return false; }
  void OnRequestReady(std::shared_ptr<Request>, std::shared_ptr<ShellResource>) override {}
  void Close() override {}
  void ResumeReading() override { ++resumed; }
  int resumed = 0;
};

TEST_F(ResourceBase, AHeldClientReadsAgainOnceTheQueueHasDrainedToHalfItsBound) {
  resource->SetWriteLimit(100);
  resource->stall = true;
  const std::string block(60, 'x');
  const auto* bytes = reinterpret_cast<const uint8_t*>(block.data());
  EXPECT_FALSE(resource->QueueFull(100));
  resource->QueueWrite(bytes, block.size());
  resource->QueueWrite(bytes, block.size());
  EXPECT_TRUE(resource->QueueFull(0));
  auto watcher = std::make_shared<DrainWatcher>();
  resource->WhenDrained(watcher);
  resource->CompleteWrite();  // 60 still waiting: more than half
  Settle();
  EXPECT_EQ(watcher->resumed, 0);
  resource->CompleteWrite();
  Settle();
  EXPECT_EQ(watcher->resumed, 1);
  EXPECT_EQ(resource->written, block + block);
}

class IdleResource : public ResourceBase {
protected:
  IdleResource() { idleTimeout = 30; }
  void Wait(std::chrono::milliseconds time) {
    const auto end = std::chrono::steady_clock::now() + time;
    while (std::chrono::steady_clock::now() < end) {
      io().restart();
      io().run_for(5ms);
    }
  }
};

TEST_F(IdleResource, StaysWhileUsedAndClosesOnceNobodyIsLeft) {
  EXPECT_TRUE(Open());
  auto client = Client();
  Codes(client, {1});
  Wait(100ms);
  EXPECT_TRUE(Open());  // checked several times, kept each time
  server.RemoveRequestor(client);
  client.reset();  // gone without unlinking
  Wait(100ms);
  EXPECT_FALSE(Open());
}

TEST_F(IdleResource, AnOpenedResourceNobodyLinksGoesInTime) {
  EXPECT_TRUE(Open());
  Wait(100ms);
  EXPECT_FALSE(Open());
}

TEST(ResourceListing, LinePadsIdAndAddress) {
  Server server(RecordingShell::Factory());
  ScriptedResource resource(3, server.EventLoop(), server, 7);
  OpenParameters parameters;
  parameters.address = "10.1.2.3";
  resource.Resource::Open(parameters);
  EXPECT_EQ(resource.ListLine(), "  7,         10.1.2.3, pci, none");
  ScriptedResource odd(9, server.EventLoop(), server, 1234);
  parameters.address = "a-very-long-host-name.example";
  odd.Resource::Open(parameters);
  EXPECT_EQ(odd.ListLine(), "1234, a-very-long-host-name.example, ???, none");
}

}  // namespace
