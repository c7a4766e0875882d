// The shared PCI workers against simulated cards: a reply's round trip on one card while
// another sits idle, how often an idle or empty card is asked for its status, and how long a
// card that takes nothing holds another card's write. No server core and no socket: the card
// resources run on this thread's loop with a small table and client of their own.
#include <benchmark/benchmark.h>

#include <boost/asio/io_context.hpp>

#include <chrono>
#include <functional>
#include <memory>
#include <string>

#include "fakes/simulated_card.hpp"
#include "resources/pci_resource.hpp"
#include "resources/resource_client.hpp"
#include "resources/resource_table.hpp"
#include "shell/request.hpp"

namespace {

using namespace std::chrono_literals;
using orvan::fakes::CardAnswer;
using orvan::fakes::SimulatedCard;
using platform::CardRequestKind;
using Clock = std::chrono::steady_clock;

class Table : public ResourceTable {
public:
  void OnResourceOpened(std::shared_ptr<Resource>,
                        const boost::system::error_code& error) override {
    opened += error ? 0 : 1;
  }
  void CloseResource(std::uint32_t) override {}
  int opened = 0;
};

// Writes its request's bytes when its turn comes and keeps what comes back.
class Client : public ResourceClient {
public:
  void Deliver(const std::uint8_t* bytes, std::size_t length, bool, bool, bool) override {
    received.append(reinterpret_cast<const char*>(bytes), length);
  }
  bool RawMode() const override { return false; }
  bool Closed() const override { return false; }
  void OnRequestReady(std::shared_ptr<Request> request,
                      std::shared_ptr<ShellResource> resource) override {
    resource->QueueWrite(request->commandBytes.data(), request->length);
    serving = resource;
  }
  void Close() override {}
  void Done() {
    if (auto resource = serving.lock()) resource->RequestDone();
  }
  std::string received;
  std::weak_ptr<ShellResource> serving;
};

struct Bench {
  boost::asio::io_context io;
  Table table;
  orvan::fakes::SimulatedCards cards;
  SimulatedCard& one = cards.Insert(1);
  SimulatedCard& two = cards.Insert(2);
  std::shared_ptr<PciResource> first, second;
  std::shared_ptr<Client> client = std::make_shared<Client>();

  bool RunUntil(const std::function<bool()>& done, std::chrono::milliseconds limit = 5s) {
    const auto end = Clock::now() + limit;
    while (!done() && Clock::now() < end) {
      io.restart();
      io.run_for(1ms);
    }
    return done();
  }
  bool Open() {
    first = std::make_shared<PciResource>(io, table, 1);
    second = std::make_shared<PciResource>(io, table, 2);
    OpenParameters parameters;
    parameters.kind = 3;
    parameters.address = "RUREZIVU1";
    first->Open(parameters);
    parameters.address = "RUREZIVU2";
    second->Open(parameters);
    auto link = std::make_shared<Request>(nullptr, 0, client);
    link->PushOp(1);
    second->Submit(link);
    return RunUntil([&] { return table.opened == 2; });
  }
  void Command(const std::string& text) {
    second->Submit(std::make_shared<Request>(reinterpret_cast<const uint8_t*>(text.data()),
                                             text.size(), client));
  }
  ~Bench() {
    for (auto* resource : {first.get(), second.get()})
      if (resource) resource->Release();
    io.restart();
    io.run_for(100ms);
  }
};

// Card 2's round trip while card 1 is idle (state.range(0): 0 its status waits pend, 1 they
// never answer and each ends at its bound).
void BM_SecondCardReply(benchmark::State& state) {
  Bench bench;
  bench.one.Answer(CardRequestKind::StatusWait,
                   state.range(0) ? CardAnswer::Never : CardAnswer::Normal);
  if (!bench.Open()) return state.SkipWithError("open");
  for (auto _ : state) {
    bench.client->received.clear();
    const auto start = Clock::now();
    bench.Command("MG 1\r");
    if (!bench.RunUntil([&] { return bench.client->received == "1\r\n:"; }))
      return state.SkipWithError("no reply");
    state.SetIterationTime(std::chrono::duration<double>(Clock::now() - start).count());
    bench.client->Done();
  }
}
BENCHMARK(BM_SecondCardReply)->Arg(0)->Arg(1)->UseManualTime()->Unit(benchmark::kMillisecond);

// Status waits a second on an idle card (0: they pend until the bound, 1: never answer, 2: a
// driver that answers status and count at once with nothing).
void BM_IdleCardStatusWaits(benchmark::State& state) {
  Bench bench;
  const CardAnswer answers[] = {CardAnswer::Normal, CardAnswer::Never, CardAnswer::Empty};
  bench.one.Answer(CardRequestKind::StatusWait, answers[state.range(0)]);
  if (state.range(0) == 2) bench.one.Answer(CardRequestKind::Count, CardAnswer::Empty);
  if (!bench.Open()) return state.SkipWithError("open");
  double waits = 0, seconds = 0;
  for (auto _ : state) {
    const size_t before = bench.one.Requests(CardRequestKind::StatusWait);
    const auto start = Clock::now();
    bench.RunUntil([] { return false; }, 1s);
    waits += bench.one.Requests(CardRequestKind::StatusWait) - before;
    seconds += std::chrono::duration<double>(Clock::now() - start).count();
  }
  state.counters["waits_per_s"] = waits / seconds;
}
BENCHMARK(BM_IdleCardStatusWaits)->DenseRange(0, 2)->Iterations(3)->Unit(benchmark::kMillisecond);

// How long card 2's command waits behind a write to card 1 that the card never takes.
void BM_WriteBehindAStuckCard(benchmark::State& state) {
  for (auto _ : state) {
    Bench bench;
    bench.one.Answer(CardRequestKind::Write, CardAnswer::Never);
    if (!bench.Open()) return state.SkipWithError("open");
    const std::string stuck = "MG 0\r";
    bench.first->QueueWrite(reinterpret_cast<const uint8_t*>(stuck.data()), stuck.size());
    if (!bench.RunUntil([&] { return bench.one.PendingNow(CardRequestKind::Write) == 1; }))
      return state.SkipWithError("no stuck write");
    const auto start = Clock::now();
    bench.Command("MG 1\r");
    if (!bench.RunUntil([&] { return bench.client->received == "1\r\n:"; }))
      return state.SkipWithError("no reply");
    state.SetIterationTime(std::chrono::duration<double>(Clock::now() - start).count());
  }
}
BENCHMARK(BM_WriteBehindAStuckCard)->Iterations(3)->UseManualTime()->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
