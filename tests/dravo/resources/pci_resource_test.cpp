// The card resource through the server core against two simulated cards: commands, records,
// interrupts and long writes; no stale status; the pacing of idle and failing cards; the bounds
// the shared workers keep for the other card; driver failures at each request; closing while a
// request pends; and stopping or restarting a core with requests pending.
#include "services/local_device_lists.hpp"
#include "support/network_resource_fixture.hpp"

#include "fakes/simulated_card.hpp"

#include <algorithm>
#include <cerrno>
#include <future>
#include <thread>

namespace {

using namespace std::chrono_literals;
using orvan::fakes::CardAnswer;
using orvan::fakes::ControllerCore;
using orvan::fakes::SimulatedCard;
using platform::CardRequestKind;
using Clock = std::chrono::steady_clock;

constexpr uint32_t kPci = 3;

// Waits on another thread's state, which needs no turn of the loop.
bool WaitFor(const std::function<bool()>& done, std::chrono::milliseconds limit = 5s) {
  const auto end = Clock::now() + limit;
  while (!done()) {
    if (Clock::now() > end) return false;
    std::this_thread::sleep_for(1ms);
  }
  return true;
}

class PciResourceTest : public NetworkResourceTest {
protected:
  // The card's resource, once the server has entered it.
  std::shared_ptr<Resource> OpenCard(const std::string& name) {
    Open(name, 0, kPci);
    const auto resource = made;
    EXPECT_TRUE(RunUntil([&] { return Listed(name); })) << name;
    return resource;
  }
  bool Listed(const std::string& name) {
    return server.ListResources().find(name) != std::string::npos;
  }
  std::shared_ptr<LoopRequestor> Client(const std::shared_ptr<Resource>& resource,
                                        std::initializer_list<int> codes) {
    made = resource;
    return NetworkResourceTest::Client(codes);
  }
  void Command(const std::shared_ptr<Resource>& resource,
               const std::shared_ptr<LoopRequestor>& client, const std::string& text) {
    made = resource;
    NetworkResourceTest::Command(client, text);
  }
  // A command and its whole reply, which hands the resource on.
  std::string Exchange(const std::shared_ptr<Resource>& resource,
                       const std::shared_ptr<LoopRequestor>& client, const std::string& command) {
    const size_t before = client->Recorder().Joined(false).size();
    Command(resource, client, command);
    RunUntil([&] {
      const auto reply = client->Recorder().Joined(false);
      return reply.size() > before && reply.back() == ':';
    });
    client->Recorder().FinishRequest();
    return client->Recorder().Joined(false).substr(before);
  }
  static std::vector<std::string> Unsolicited(const std::shared_ptr<LoopRequestor>& client) {
    std::vector<std::string> bytes;
    for (const auto& delivery : client->Recorder().deliveries)
      if (delivery.unsolicited) bytes.push_back(delivery.bytes);
    return bytes;
  }

  orvan::fakes::SimulatedCards cards;
  SimulatedCard& one = cards.Insert(1);
  SimulatedCard& two = cards.Insert(2);
};

TEST_F(PciResourceTest, CommandsRecordsInterruptsAndLongWritesReachTheirPlaces) {
  const auto first = OpenCard("RUREZIVU1");
  const auto second = OpenCard("RUREZIVU2");
  EXPECT_EQ(server.ListResources(),
            "  1,        RUREZIVU1, pci, none\r\n  2,        RUREZIVU2, pci, none\r\n");
  EXPECT_EQ(one.Inputs(CardRequestKind::Configure),
            std::vector<std::string>{std::string("\x0f\0\0\0", 4)});
  auto subscriber = Client(first, {1, 5, 7});
  auto other = Client(second, {1, 5, 7});

  EXPECT_EQ(Exchange(first, subscriber, "MG \"one\"\r"), "one\r\n:");
  EXPECT_EQ(Exchange(second, other, "MG \"two\"\r"), "two\r\n:");

  const std::string record = ControllerCore::MakeRecord(300);
  one.QueueRecord(record);
  ASSERT_TRUE(RunUntil([&] { return Unsolicited(subscriber).size() == 1; }));
  EXPECT_EQ(Unsolicited(subscriber)[0], record);
  one.QueueInterrupt(0x05);
  ASSERT_TRUE(RunUntil([&] { return Unsolicited(subscriber).size() == 2; }));
  EXPECT_EQ(Unsolicited(subscriber)[1], "\x05");
  EXPECT_TRUE(Unsolicited(other).empty());

  // Status waits ask with the same argument every time.
  for (const auto& input : one.Inputs(CardRequestKind::StatusWait))
    EXPECT_EQ(input, std::string("\x02\0\0\0", 4));

  const std::string bytes(1000, 'w');
  first->QueueWrite(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
  ASSERT_TRUE(RunUntil([&] { return first->WriteBacklog() == 0; }));
  const auto writes = one.Inputs(CardRequestKind::Write);
  ASSERT_GE(writes.size(), 2u);
  EXPECT_EQ(writes[writes.size() - 2], bytes.substr(0, 512));
  EXPECT_EQ(writes.back(), bytes.substr(512));
}

TEST_F(PciResourceTest, AReadThatFindsNothingRepeatsNoInterruptAndNoEmptyRecord) {
  const auto resource = OpenCard("RUREZIVU1");
  auto subscriber = Client(resource, {1, 5, 7});
  one.QueueInterrupt(0x31);
  ASSERT_TRUE(RunUntil([&] { return Unsolicited(subscriber).size() == 1; }));
  // Several reads end with nothing after it.
  const size_t waits = one.Requests(CardRequestKind::StatusWait);
  ASSERT_TRUE(RunUntil([&] { return one.Requests(CardRequestKind::StatusWait) >= waits + 5; }));
  EXPECT_EQ(Unsolicited(subscriber), std::vector<std::string>{"\x31"});

  // A record request that brings nothing broadcasts nothing; the record comes once it can.
  one.Answer(CardRequestKind::Record, CardAnswer::Empty);
  const std::string record = ControllerCore::MakeRecord(40);
  one.QueueRecord(record);
  ASSERT_TRUE(RunUntil([&] { return one.Requests(CardRequestKind::Record) >= 3; }));
  EXPECT_EQ(Unsolicited(subscriber).size(), 1u);
  one.Answer(CardRequestKind::Record, CardAnswer::Normal);
  ASSERT_TRUE(RunUntil([&] { return Unsolicited(subscriber).size() == 2; }));
  EXPECT_EQ(Unsolicited(subscriber)[1], record);
}

TEST_F(PciResourceTest, AStatusAnsweredAtOnceIsHeard) {
  one.Answer(CardRequestKind::StatusWait, CardAnswer::Never);
  const auto resource = OpenCard("RUREZIVU1");
  auto subscriber = Client(resource, {1, 7});
  ASSERT_TRUE(WaitFor([&] { return one.PendingNow(CardRequestKind::StatusWait) == 1; }));
  // The wait under way never answers; the next one finds the interrupt at once.
  one.QueueInterrupt(0x42);
  one.Answer(CardRequestKind::StatusWait, CardAnswer::Normal);
  ASSERT_TRUE(RunUntil([&] { return Unsolicited(subscriber).size() == 1; }));
  EXPECT_EQ(Unsolicited(subscriber)[0], "\x42");
}

// An idle card, and a driver that answers everything at once with nothing, are asked at most
// once per 10 ms: never a loop on the read worker, and yet reading goes on.
TEST_F(PciResourceTest, IdleAndEmptyCardsArePaced) {
  struct Case {
    const char* what;
    CardAnswer status, count;
  };
  const Case cases[] = {
      {"status wait pends until its bound", CardAnswer::Normal, CardAnswer::Normal},
      {"status wait never answers", CardAnswer::Never, CardAnswer::Normal},
      {"status and count answer nothing at once", CardAnswer::Empty, CardAnswer::Empty},
      {"count pends until its bound", CardAnswer::Empty, CardAnswer::Never},
  };
  int number = 10;
  for (const auto& item : cases) {
    SCOPED_TRACE(item.what);
    SimulatedCard& card = cards.Insert(number);
    card.Answer(CardRequestKind::StatusWait, item.status);
    card.Answer(CardRequestKind::Count, item.count);
    const auto resource = OpenCard("RUREZIVU" + std::to_string(number++));
    auto client = Client(resource, {1});
    const size_t before = card.Requests(CardRequestKind::StatusWait);
    const auto start = Clock::now();
    RunFor(500ms);
    const size_t waits = card.Requests(CardRequestKind::StatusWait) - before;
    const auto elapsed = Clock::now() - start;
    EXPECT_LE(waits, static_cast<size_t>(elapsed / 10ms) + 2);
    EXPECT_GE(waits, 2u);
    EXPECT_TRUE(Listed(resource->Address()));
    EXPECT_FALSE(client->Closed());
    server.CloseResource(resource->Id());
  }
}

TEST_F(PciResourceTest, AnIdleCardKeepsTheOtherCardsRepliesPrompt) {
  one.Answer(CardRequestKind::StatusWait, CardAnswer::Never);  // each wait ends at its bound
  const auto idle = OpenCard("RUREZIVU1");
  const auto busy = OpenCard("RUREZIVU2");
  auto client = Client(busy, {1});
  std::vector<Clock::duration> times;
  for (int i = 0; i < 5; ++i) {
    const auto start = Clock::now();
    ASSERT_EQ(Exchange(busy, client, "MG " + std::to_string(i) + "\r"),
              std::to_string(i) + "\r\n:");
    times.push_back(Clock::now() - start);
  }
  std::sort(times.begin(), times.end());
  EXPECT_LT(times[2], 200ms);  // the median, so one stall of a loaded machine does not count
  EXPECT_TRUE(Listed("RUREZIVU1"));
}

TEST_F(PciResourceTest, ACardThatTakesNothingHoldsTheOtherCardsWritesOnlyToTheBound) {
  one.Answer(CardRequestKind::Write, CardAnswer::Never);
  const auto stuck = OpenCard("RUREZIVU1");
  const auto fine = OpenCard("RUREZIVU2");
  auto stuckClient = Client(stuck, {1});
  auto fineClient = Client(fine, {1});
  Command(stuck, stuckClient, "MG 1\r");
  ASSERT_TRUE(RunUntil([&] { return one.PendingNow(CardRequestKind::Write) == 1; }));
  const auto start = Clock::now();
  EXPECT_EQ(Exchange(fine, fineClient, "MG 2\r"), "2\r\n:");
  const auto waited = Clock::now() - start;
  EXPECT_LT(waited, 2000ms);  // the 1000 ms bound, with room for a loaded machine
  EXPECT_GT(waited, 500ms);   // it did wait behind the stuck card
  // The stuck card's write failed: its resource and clients are gone, the card let go.
  ASSERT_TRUE(RunUntil([&] { return stuckClient->Closed() && !Listed("RUREZIVU1"); }));
  ASSERT_TRUE(RunUntil([&] { return !one.Held(); }));
  EXPECT_FALSE(fineClient->Closed());
}

TEST_F(PciResourceTest, ADriverFailureAtAnyRequestEndsTheResourceAndItsClients) {
  struct Case {
    const char* what;
    CardRequestKind kind;
    CardAnswer answer;
    std::function<void(SimulatedCard&)> provoke;
  };
  const Case cases[] = {
      {"status wait fails", CardRequestKind::StatusWait, CardAnswer::Fail, nullptr},
      {"count fails", CardRequestKind::Count, CardAnswer::Fail,
       [](SimulatedCard& card) { card.Answer(CardRequestKind::StatusWait, CardAnswer::Empty); }},
      {"read fails", CardRequestKind::Read, CardAnswer::Fail,
       [](SimulatedCard& card) { card.Deliver("x"); }},
      {"record fails", CardRequestKind::Record, CardAnswer::Fail,
       [](SimulatedCard& card) { card.QueueRecord(ControllerCore::MakeRecord(30)); }},
      {"write fails", CardRequestKind::Write, CardAnswer::Fail, nullptr},
      {"write takes nothing", CardRequestKind::Write, CardAnswer::Empty, nullptr},
  };
  int number = 20;
  for (const auto& item : cases) {
    SCOPED_TRACE(item.what);
    SimulatedCard& card = cards.Insert(number);
    const std::string name = "RUREZIVU" + std::to_string(number++);
    card.Answer(CardRequestKind::StatusWait, CardAnswer::Never);  // holds reading still
    const auto resource = OpenCard(name);
    auto linked = Client(resource, {1});
    auto listener = Client(resource, {5, 7});
    card.Answer(CardRequestKind::StatusWait, CardAnswer::Normal);
    card.Answer(item.kind, item.answer, EIO);
    if (item.provoke) item.provoke(card);
    if (item.kind == CardRequestKind::Write) Command(resource, linked, "MG 1\r");
    ASSERT_TRUE(RunUntil([&] { return linked->Closed() && listener->Closed() && !Listed(name); }));
    ASSERT_TRUE(RunUntil([&] { return !card.Held(); }));
  }
}

TEST_F(PciResourceTest, OpensOnlyACardThatIsThereFreeAndConfigured) {
  cards.SetInUse(2, true);
  one.Answer(CardRequestKind::Configure, CardAnswer::Fail, EIO);
  for (const char* name : {"RUREZIVU3", "RUREZIVU2", "RUREZIVU1", "PCI1"}) {
    SCOPED_TRACE(name);
    Open(name, 0, kPci);
    const std::weak_ptr<Resource> resource = made;
    made.reset();
    // The open ends at once and the server forgets the resource.
    ASSERT_TRUE(RunUntil([&] { return resource.expired(); }));
    EXPECT_TRUE(server.ListResources().empty());
  }
  EXPECT_FALSE(one.Held());
  EXPECT_EQ(one.Requests(CardRequestKind::StatusWait), 0u);
}

TEST_F(PciResourceTest, ClosingEndsTheStatusWaitUnderWayAndLetsTheCardGo) {
  one.Answer(CardRequestKind::StatusWait, CardAnswer::Never);
  auto resource = OpenCard("RUREZIVU1");
  auto client = Client(resource, {1});
  ASSERT_TRUE(WaitFor([&] { return one.PendingNow(CardRequestKind::StatusWait) == 1; }));
  const std::weak_ptr<Resource> gone = resource;
  const uint32_t id = resource->Id();
  resource.reset();
  made.reset();
  server.CloseResource(id);
  // The wait's completion, an error, is the last thing that holds the resource.
  ASSERT_TRUE(RunUntil([&] { return gone.expired(); }));
  EXPECT_FALSE(one.Held());
  EXPECT_EQ(one.PendingNow(CardRequestKind::StatusWait), 0u);
  EXPECT_TRUE(server.ListResources().empty());
}

TEST_F(PciResourceTest, TheSearchListsTheFirstSixteenCards) {
  cards.Insert(16);
  cards.Insert(17);
  EXPECT_EQ(SystemDeviceLists().cards(),
            (std::vector<std::string>{"RUREZIVU1", "RUREZIVU2", "RUREZIVU16"}));
}

// A core run on its own thread, as the server thread runs it, stops or restarts at once while
// a write and status waits pend on cards that never answer.
TEST(PciServerCore, StopAndRestartEndPendingRequestsQuickly) {
  for (const bool restart : {false, true}) {
    SCOPED_TRACE(restart ? "restart" : "stop");
    orvan::fakes::SimulatedCards cards;
    SimulatedCard& one = cards.Insert(1);
    SimulatedCard& two = cards.Insert(2);
    for (SimulatedCard* card : {&one, &two})
      card->Answer(CardRequestKind::StatusWait, CardAnswer::Never);
    one.Answer(CardRequestKind::Write, CardAnswer::Never);
    auto core = std::make_unique<Server>(RecordingShell::Factory(), MakeResource);
    std::promise<int> ran;
    std::thread serving([&] { ran.set_value(core->Run(nullptr)); });
    struct Joiner {  // a failed assertion still ends the core's thread
      ~Joiner() {
        if (!thread.joinable()) return;
        core->Shutdown();
        thread.join();
      }
      std::unique_ptr<Server>& core;
      std::thread& thread;
    } joiner{core, serving};
    boost::asio::post(core->EventLoop(), [&] {
      for (const char* name : {"RUREZIVU1", "RUREZIVU2"}) {
        auto parameters = std::make_unique<OpenParameters>();
        parameters->address = name;
        parameters->kind = kPci;
        core->OpenResource(std::move(parameters));
      }
    });
    // The read worker serves the cards in turn: each has been asked.
    ASSERT_TRUE(WaitFor([&] {
      return one.Requests(CardRequestKind::StatusWait) > 0 &&
             two.Requests(CardRequestKind::StatusWait) > 0;
    }));
    boost::asio::post(core->EventLoop(), [&] {  // the opens are in the table by now
      auto client = std::make_shared<LoopRequestor>(core->EventLoop(), *core);
      core->AddRequestor(client);
      auto link = std::make_shared<Request>(nullptr, 0, client);
      link->PushOp(1);
      core->Submit(1, link);
      const std::string command = "MG 1\r";
      core->Submit(1, std::make_shared<Request>(reinterpret_cast<const uint8_t*>(command.data()),
                                                command.size(), client));
    });
    ASSERT_TRUE(WaitFor([&] { return one.PendingNow(CardRequestKind::Write) == 1; }));

    const auto start = Clock::now();
    if (restart) {
      core->Restart();
    } else {
      core->Shutdown();
    }
    serving.join();
    core.reset();
    EXPECT_LT(Clock::now() - start, 500ms);
    EXPECT_EQ(ran.get_future().get(), restart ? Server::kRestart : Server::kShutdown);
    EXPECT_FALSE(one.Held());
    EXPECT_FALSE(two.Held());
  }
}

}  // namespace
