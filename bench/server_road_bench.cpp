// What the road through the server costs, with the server as its own dravo_service process and
// the fake controller as its own process at 127.0.0.2 (TCP 23, UDP 60007). Run it inside a
// network namespace of its own (bench/server_road.sh makes one); every process it starts
// inherits its CPU placement, so each figure and its reference share one placement.
//
//   server_road_bench round-trip  --tls DIR   direct, through the server, through a TLS relay
//   server_road_bench clients                  100 clients sharing one controller
//   server_road_bench fan-out                  records to 10 subscribers at 20000/s for 10 s
//   server_road_bench tls-clients              1000 TLS clients answered "a -v"
//   server_road_bench silent-clients           5000 silent connections beside one real client
//
// DIR holds cert.pem and key.pem for the relay. --cpu N places everything on CPU N (-1: no
// placement).
#include <benchmark/benchmark.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <boost/asio.hpp>
#include <boost/asio/ssl.hpp>

#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bench_support.hpp"
#include "fakes/controller_process.hpp"
#include "fakes/fake_controller.hpp"
#include "pelko.h"
#include "server_client/shell_exchange.hpp"
#include "tls_relay_client.hpp"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;
namespace asio = boost::asio;
namespace ssl = asio::ssl;
using tcp = asio::ip::tcp;

const char kCommand[] = "SH";
const char kControllerAddress[] = "127.0.0.2";
constexpr uint16_t kRelayPort = 4433;

double Seconds(Clock::duration duration) { return std::chrono::duration<double>(duration).count(); }

// A child program, ended with SIGTERM and waited for when it goes out of scope.
class Child {
public:
  explicit Child(std::vector<std::string> arguments) {
    std::vector<char*> argv;
    for (auto& argument : arguments) argv.push_back(argument.data());
    argv.push_back(nullptr);
    if (posix_spawnp(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0)
      throw std::runtime_error("cannot start " + arguments[0]);
  }
  ~Child() {
    kill(pid, SIGTERM);
    int status = 0;
    waitpid(pid, &status, 0);
  }
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;
  pid_t Pid() const { return pid; }

private:
  pid_t pid = 0;
};

// Waits until something accepts at the address, at most 10 s.
bool WaitForListener(const std::string& address, uint16_t port) {
  const auto deadline = Clock::now() + 10s;
  while (Clock::now() < deadline) {
    const int probe = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in where{};
    where.sin_family = AF_INET;
    where.sin_port = htons(port);
    inet_pton(AF_INET, address.c_str(), &where.sin_addr);
    const bool connected = connect(probe, reinterpret_cast<sockaddr*>(&where), sizeof where) == 0;
    close(probe);
    if (connected) return true;
    std::this_thread::sleep_for(20ms);
  }
  return false;
}

// The server with a fresh program-data folder of its own; it makes its certificate there.
class Server {
public:
  Server() {
    char pattern[] = "/tmp/server-road-bench-XXXXXX";
    if (!mkdtemp(pattern)) throw std::runtime_error("mkdtemp");
    folder = pattern;
    setenv("ORVAN_PROGRAM_DATA", folder.c_str(), 1);
    child = std::make_unique<Child>(std::vector<std::string>{DRAVO_SERVICE});
    if (!WaitForListener("127.0.0.1", 23)) throw std::runtime_error("the server does not listen");
  }
  ~Server() {
    child.reset();
    std::error_code ignored;
    std::filesystem::remove_all(folder, ignored);
  }
  pid_t Pid() const { return child->Pid(); }
  // Where it keeps its settings and certificate.
  std::string Folder() const { return folder + "/Orvan/dravo"; }

  // Resident memory in KiB, from the kernel's account of the process.
  long ResidentKiB() const {
    std::ifstream status("/proc/" + std::to_string(Pid()) + "/status");
    std::string line;
    while (std::getline(status, line)) {
      if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
    }
    return -1;
  }

private:
  std::string folder;
  std::unique_ptr<Child> child;
};

orvan::fakes::ControllerProcess StartController() {
  return orvan::fakes::ControllerProcess(
      ORVAN_FAKE_CONTROLLER, {"--address", kControllerAddress, "--p1", "23", "--p2", "60007"});
}

OrvCon* Open(const std::string& options) {
  OrvCon* handle = nullptr;
  if (OrvOpen((std::string(kControllerAddress) + " " + options).c_str(), &handle) != 0)
    return nullptr;
  return handle;
}

void RaiseDescriptorLimit() {
  rlimit limit{};
  getrlimit(RLIMIT_NOFILE, &limit);
  limit.rlim_cur = limit.rlim_max;
  if (setrlimit(RLIMIT_NOFILE, &limit) != 0) std::perror("setrlimit");
}

struct Latency {
  double median = 0;
  double p99 = 0;
};

Latency Summarise(std::vector<double> samples) {
  if (samples.empty()) return {};
  std::sort(samples.begin(), samples.end());
  return {samples[samples.size() / 2],
          samples[std::min(samples.size() - 1, samples.size() * 99 / 100)]};
}

// ---- round trip ---------------------------------------------------------------------------

std::vector<double> directSamples, serverSamples, relaySamples;

void CommandRoundTrip(benchmark::State& state, const char* options, std::vector<double>& samples) {
  OrvCon* handle = Open(options);
  if (!handle) return state.SkipWithError("open");
  char reply[64];
  for (auto _ : state) {
    const auto start = Clock::now();
    if (OrvCommand(handle, kCommand, reply, sizeof reply, nullptr) != 0) {
      state.SkipWithError("command");
      break;
    }
    samples.push_back(Seconds(Clock::now() - start) * 1e9);
  }
  OrvClose(handle);
}

void BM_Direct(benchmark::State& state) { CommandRoundTrip(state, "-d -t 5000", directSamples); }
void BM_ThroughServer(benchmark::State& state) {
  CommandRoundTrip(state, "-t 5000", serverSamples);
}

void BM_TlsRelay(benchmark::State& state) {
  bench::TlsRelayClient client("127.0.0.1", kRelayPort);
  if (!client.Ready()) return state.SkipWithError("relay handshake");
  const std::string request = std::string(kCommand) + "\r";
  for (auto _ : state) {
    const auto start = Clock::now();
    if (!client.RoundTrip(request)) {
      state.SkipWithError("relay round trip");
      break;
    }
    relaySamples.push_back(Seconds(Clock::now() - start) * 1e9);
  }
}

void BM_BareSocket(benchmark::State& state) {
  bench::BareSocketRoundTrip(state, kControllerAddress, 23, kCommand);
}

int RoundTrip(int argc, char** argv, const std::string& tlsFolder) {
  if (tlsFolder.empty()) {
    std::cerr << "round-trip needs --tls DIR with cert.pem and key.pem\n";
    return 2;
  }
  auto controller = StartController();
  Server server;
  // The relay: TLS on 127.0.0.1:4433 to the controller, no-delay on both sides.
  Child relay({"socat",
               "OPENSSL-LISTEN:" + std::to_string(kRelayPort) +
                   ",bind=127.0.0.1,reuseaddr,fork,nodelay,verify=0,cert=" + tlsFolder +
                   "/cert.pem,key=" + tlsFolder + "/key.pem",
               std::string("TCP:") + kControllerAddress + ":23,nodelay"});
  if (!WaitForListener("127.0.0.1", kRelayPort))
    throw std::runtime_error("the relay does not listen");

  for (auto* benchmark : {benchmark::RegisterBenchmark("BM_BareSocket", BM_BareSocket),
                          benchmark::RegisterBenchmark("BM_Direct", BM_Direct),
                          benchmark::RegisterBenchmark("BM_TlsRelay", BM_TlsRelay),
                          benchmark::RegisterBenchmark("BM_ThroughServer", BM_ThroughServer)}) {
    benchmark->UseRealTime()->Repetitions(9)->ReportAggregatesOnly(true)->MinTime(0.2);
  }
  benchmark::Initialize(&argc, argv);
  bench::MedianReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();

  const Latency direct = Summarise(directSamples);
  const Latency through = Summarise(serverSamples);
  const Latency tls = Summarise(relaySamples);
  std::printf("\nround trip of \"%s\" (ns)          median      p99\n", kCommand);
  std::printf("  bare socket (reference)     %9.0f        -\n", reporter.medians["BM_BareSocket"]);
  std::printf("  direct (-d)                 %9.0f %9.0f\n", direct.median, direct.p99);
  std::printf("  socat TLS relay             %9.0f %9.0f\n", tls.median, tls.p99);
  std::printf("  through the server          %9.0f %9.0f\n", through.median, through.p99);
  if (direct.median > 0 && tls.median > 0) {
    std::printf(
        "ratios of medians: server/relay %.2f (goal <= 1.1), server/direct %.2f, relay/direct "
        "%.2f\n",
        through.median / tls.median, through.median / direct.median, tls.median / direct.median);
    std::printf("ratios of p99: server/relay %.2f, server/direct %.2f\n", through.p99 / tls.p99,
                through.p99 / direct.p99);
  }
  return 0;
}

// ---- clients sharing one controller -------------------------------------------------------

struct Tally {
  long good = 0;
  long wrong = 0;
  long missing = 0;
};

// Commands tagged with the client's own name for a while: a reply holding another tag went to
// the wrong client, an error or timeout is a reply that never came.
Tally RunClient(OrvCon* handle, int client, Clock::time_point until, long limit) {
  Tally tally;
  char reply[64];
  for (long i = 0; i < limit && Clock::now() < until; ++i) {
    const std::string tag = std::to_string(client) + "-" + std::to_string(i);
    if (OrvCommand(handle, ("MG \"" + tag + "\"").c_str(), reply, sizeof reply, nullptr) != 0) {
      ++tally.missing;
    } else if (std::string(reply) == tag + "\r\n:") {
      ++tally.good;
    } else {
      ++tally.wrong;
    }
  }
  return tally;
}

int Clients() {
  constexpr int kClients = 100;
  constexpr auto kPeriod = 5s;
  constexpr long kLimit = 1000000;
  auto controller = StartController();
  Server server;

  OrvCon* single = Open("-t 5000");
  if (!single) throw std::runtime_error("open through the server");
  auto start = Clock::now();
  const Tally alone = RunClient(single, 0, start + kPeriod, kLimit);
  const double aloneRate = alone.good / Seconds(Clock::now() - start);
  OrvClose(single);

  std::vector<OrvCon*> handles;
  for (int i = 0; i < kClients; ++i) {
    OrvCon* handle = Open("-t 5000");
    if (!handle) throw std::runtime_error("open of client " + std::to_string(i));
    handles.push_back(handle);
  }
  std::vector<Tally> tallies(kClients);
  std::vector<std::thread> threads;
  start = Clock::now();
  const auto until = start + kPeriod;
  for (int i = 0; i < kClients; ++i) {
    threads.emplace_back([&, i] { tallies[i] = RunClient(handles[i], i + 1, until, kLimit); });
  }
  for (auto& thread : threads) thread.join();
  const double elapsed = Seconds(Clock::now() - start);
  Tally total;
  long fewest = kLimit;
  for (const auto& tally : tallies) {
    total.good += tally.good;
    total.wrong += tally.wrong;
    total.missing += tally.missing;
    fewest = std::min(fewest, tally.good);
  }
  for (OrvCon* handle : handles) OrvClose(handle);
  const double sharedRate = total.good / elapsed;

  std::printf(
      "one client through the server: %.0f commands/s (%ld replies, %ld wrong, %ld missing)\n",
      aloneRate, alone.good, alone.wrong, alone.missing);
  std::printf(
      "%d clients sharing one controller: %.0f commands/s in all, fewest for one client %ld\n",
      kClients, sharedRate, fewest);
  std::printf("ratio shared/single %.2f (goal >= 0.9)\n", sharedRate / aloneRate);
  std::printf("replies to the wrong client %ld, missing %ld (goal 0 and 0)\n",
              total.wrong + alone.wrong, total.missing + alone.missing);
  return 0;
}

// ---- data-record fan-out ------------------------------------------------------------------

// UDP datagrams this namespace dropped because a socket's receive buffer was full.
long UdpReceiveBufferErrors() {
  std::ifstream snmp("/proc/net/snmp");
  std::string names, values;
  while (std::getline(snmp, names) && std::getline(snmp, values)) {
    if (names.rfind("Udp:", 0) != 0) continue;
    std::istringstream nameWords(names), valueWords(values);
    std::string name, value;
    while (nameWords >> name && valueWords >> value) {
      if (name == "RcvbufErrors") return std::atol(value.c_str());
    }
  }
  return -1;
}

int FanOut() {
  constexpr int kSubscribers = 10;
  constexpr int kRate = 20000;
  constexpr int kSeconds = 10;
  constexpr int kPerTick = kRate / 1000;  // one batch each millisecond
  auto controller = StartController();
  Server server;

  // The subscribers through the server, then the reference: one subscriber on the direct road,
  // fed by the controller itself.
  std::vector<OrvCon*> handles;
  for (int i = 0; i <= kSubscribers; ++i) {
    OrvCon* handle =
        Open(i < kSubscribers ? "--subscribe DR -t 2000" : "-d --subscribe DR -t 2000");
    if (!handle) throw std::runtime_error("open of subscriber " + std::to_string(i));
    handles.push_back(handle);
  }
  std::vector<long> received(kSubscribers + 1, 0);
  std::vector<long> damaged(kSubscribers + 1, 0);
  const std::string expected = orvan::fakes::FakeController::MakeRecord(64);
  std::vector<std::thread> threads;
  for (int i = 0; i <= kSubscribers; ++i) {
    threads.emplace_back([&, i] {
      OrvDataRecord record{};
      // Ends at the first wait of 2 s without a record, or at the longest the run may take.
      const auto until = Clock::now() + std::chrono::seconds(kSeconds + 30);
      while (Clock::now() < until && OrvRecord(handles[i], &record, 1) == 0) {
        ++received[i];
        if (std::memcmp(record.bytes, expected.data(), expected.size()) != 0) ++damaged[i];
      }
    });
  }

  const long droppedBefore = UdpReceiveBufferErrors();
  long sent = 0;
  const auto start = Clock::now();
  auto tick = start;
  for (int t = 0; t < kSeconds * 1000; ++t) {
    for (int k = 0; k < kPerTick; ++k) controller.Send("record");
    sent += kPerTick;
    tick += 1ms;
    std::this_thread::sleep_until(tick);
  }
  const double sendSeconds = Seconds(Clock::now() - start);
  for (auto& thread : threads) thread.join();
  const long dropped = UdpReceiveBufferErrors() - droppedBefore;
  for (OrvCon* handle : handles) OrvClose(handle);

  std::printf("records sent: %ld in %.2f s (%.0f/s, asked %d/s)\n", sent, sendSeconds,
              sent / sendSeconds, kRate);
  long worst = 0;
  for (int i = 0; i < kSubscribers; ++i) {
    std::printf("  subscriber %d: received %ld, lost %ld, damaged %ld\n", i, received[i],
                sent - received[i], damaged[i]);
    worst = std::max(worst, sent - received[i]);
  }
  std::printf("  direct subscriber (reference): received %ld, lost %ld, damaged %ld\n",
              received[kSubscribers], sent - received[kSubscribers], damaged[kSubscribers]);
  std::printf(
      "most records lost by one subscriber through the server: %ld (goal 0), by the direct one: "
      "%ld\n",
      worst, sent - received[kSubscribers]);
  std::printf("UDP datagrams dropped at full receive buffers in the namespace: %ld\n", dropped);
  return 0;
}

// ---- many TLS clients ---------------------------------------------------------------------

// One TLS client of the server: connect, handshake, "a -v", then it stays connected.
asio::io_context* clientIo = nullptr;

struct ShellClient : std::enable_shared_from_this<ShellClient> {
  ShellClient(asio::io_context& io, ssl::context& context) : stream(io, context) {}

  void Start(const tcp::endpoint& server, std::atomic<int>& shaken, std::atomic<int>& answered,
             std::atomic<int>& failed) {
    auto self = shared_from_this();
    stream.next_layer().async_connect(server, [self, &shaken, &answered,
                                               &failed](boost::system::error_code error) {
      if (error) return void(++failed);
      self->stream.next_layer().set_option(tcp::no_delay(true));
      self->stream.async_handshake(ssl::stream_base::client, [self, &shaken, &answered, &failed](
                                                                 boost::system::error_code error) {
        if (error) return void(++failed);
        ++shaken;
        asio::async_write(self->stream, asio::buffer(self->request),
                          [self, &answered, &failed](boost::system::error_code error, size_t) {
                            if (error) return void(++failed);
                            self->Read(answered, failed);
                          });
      });
    });
  }

  void Read(std::atomic<int>& answered, std::atomic<int>& failed) {
    auto self = shared_from_this();
    stream.async_read_some(asio::buffer(chunk), [self, &answered, &failed](
                                                    boost::system::error_code error, size_t count) {
      if (error) return void(++failed);
      switch (orvan::CollectShellReply(self->chunk.data(), count, self->reply)) {
        case orvan::ShellAnswer::Complete:
          ++answered;
          return;
        case orvan::ShellAnswer::Refused:
          ++failed;
          return;
        case orvan::ShellAnswer::Incomplete:
          self->Read(answered, failed);
      }
    });
  }

  ssl::stream<tcp::socket> stream;
  const std::string request = "a -v\r";
  std::array<char, 1024> chunk{};
  std::string reply;
};

// The reference for the handshake rate: a bare TLS listener in this process with the server's
// own certificate, which answers every read with the shell's end of reply.
class BareTlsServer {
public:
  BareTlsServer(const std::string& folder, uint16_t port)
      : context(ssl::context::tls_server),
        acceptor(io, tcp::endpoint(asio::ip::make_address("127.0.0.1"), port)) {
    context.use_certificate_chain_file(folder + "/cert.pem");
    context.use_private_key_file(folder + "/key.pem", ssl::context::pem);
    Accept();
    thread = std::thread([this] { io.run(); });
  }
  ~BareTlsServer() {
    io.stop();
    thread.join();
  }

private:
  struct Session {
    Session(asio::io_context& io, ssl::context& context) : stream(io, context) {}
    ssl::stream<tcp::socket> stream;
    std::array<char, 1024> chunk{};
  };

  void Accept() {
    auto session = std::make_shared<Session>(io, context);
    acceptor.async_accept(
        session->stream.next_layer(), [this, session](boost::system::error_code error) {
          if (error) return;
          session->stream.next_layer().set_option(tcp::no_delay(true));
          session->stream.async_handshake(ssl::stream_base::server,
                                          [this, session](boost::system::error_code error) {
                                            if (!error) Serve(session);
                                          });
          Accept();
        });
  }

  void Serve(const std::shared_ptr<Session>& session) {
    session->stream.async_read_some(
        asio::buffer(session->chunk), [this, session](boost::system::error_code error, size_t) {
          if (error) return;
          asio::async_write(session->stream, asio::buffer(kAnswer, sizeof kAnswer - 1),
                            [this, session](boost::system::error_code error, size_t) {
                              if (!error) Serve(session);
                            });
        });
  }

  static constexpr char kAnswer[] = "1.0~";
  asio::io_context io;
  ssl::context context;
  tcp::acceptor acceptor;
  std::thread thread;
};

struct ClientRun {
  int shaken = 0;
  int answered = 0;
  int failed = 0;
  int version = 0;
  double handshakeSeconds = 0;
  double answerSeconds = 0;
};

// Connects the clients all at once; they stay connected until `clients` is cleared.
ClientRun ConnectClients(uint16_t port, int count,
                         std::vector<std::shared_ptr<ShellClient>>& clients) {
  asio::io_context& io = *clientIo;
  io.restart();  // an earlier run that ran out of work left it stopped
  ssl::context context(ssl::context::tls_client);
  context.set_verify_mode(ssl::verify_none);
  const tcp::endpoint endpoint(asio::ip::make_address("127.0.0.1"), port);
  std::atomic<int> shaken{0}, answered{0}, failed{0};
  ClientRun run;
  const auto start = Clock::now();
  for (int i = 0; i < count; ++i) {
    clients.push_back(std::make_shared<ShellClient>(io, context));
    clients.back()->Start(endpoint, shaken, answered, failed);
  }
  // Runs until every client is answered or failed, at most 60 s.
  const auto deadline = start + 60s;
  while (answered + failed < count && Clock::now() < deadline) {
    io.run_for(1ms);
    if (run.handshakeSeconds == 0 && shaken + failed >= count)
      run.handshakeSeconds = Seconds(Clock::now() - start);
  }
  run.answerSeconds = Seconds(Clock::now() - start);
  if (run.handshakeSeconds == 0) run.handshakeSeconds = run.answerSeconds;
  run.shaken = shaken;
  run.answered = answered;
  run.failed = failed;
  for (const auto& client : clients) run.version += client->reply.find("1.") != std::string::npos;
  return run;
}

int TlsClients() {
  constexpr int kClients = 1000;
  constexpr uint16_t kReferencePort = 4434;
  Server server;
  std::this_thread::sleep_for(500ms);  // let the server settle before its idle figure
  const long idle = server.ResidentKiB();
  asio::io_context io;
  clientIo = &io;

  ClientRun reference;
  {
    BareTlsServer bare(server.Folder(), kReferencePort);
    std::vector<std::shared_ptr<ShellClient>> clients;
    reference = ConnectClients(kReferencePort, kClients, clients);
    clients.clear();
    io.run_for(100ms);
  }
  std::vector<std::shared_ptr<ShellClient>> clients;
  const ClientRun run = ConnectClients(23, kClients, clients);
  std::this_thread::sleep_for(500ms);
  const long loaded = server.ResidentKiB();
  clients.clear();
  io.run_for(100ms);
  clientIo = nullptr;

  const double rate = run.shaken / run.handshakeSeconds;
  const double referenceRate = reference.shaken / reference.handshakeSeconds;
  std::printf("%d TLS clients at once, connect+handshake (then \"a -v\" answered):\n", kClients);
  std::printf(
      "  bare TLS listener (reference): %d in %.2f s, %.0f/s; %d answered in %.2f s, %d failed\n",
      reference.shaken, reference.handshakeSeconds, referenceRate, reference.answered,
      reference.answerSeconds, reference.failed);
  std::printf(
      "  the server:                    %d in %.2f s, %.0f/s; %d answered in %.2f s, %d failed, "
      "%d replies holding a version\n",
      run.shaken, run.handshakeSeconds, rate, run.answered, run.answerSeconds, run.failed,
      run.version);
  std::printf("ratio of handshake rates server/reference %.2f\n", rate / referenceRate);
  std::printf(
      "server resident memory: idle %.2f MiB (goal <= 8), with %d clients %.2f MiB, "
      "%.1f KiB per client (goal <= 100)\n",
      idle / 1024.0, run.answered, loaded / 1024.0,
      run.answered > 0 ? static_cast<double>(loaded - idle) / run.answered : 0.0);
  return 0;
}

// Connections that never send a byte, held while one real client is served: what each costs
// the server, and how long the real client waits for its first answer.
int SilentClients() {
  constexpr int kSilent = 5000;
  Server server;
  std::this_thread::sleep_for(500ms);
  const long idle = server.ResidentKiB();
  asio::io_context io;
  clientIo = &io;
  const tcp::endpoint endpoint(asio::ip::make_address("127.0.0.1"), 23);
  std::vector<tcp::socket> silent;
  silent.reserve(kSilent);
  for (int i = 0; i < kSilent; ++i) {
    silent.emplace_back(io);
    boost::system::error_code error;
    silent.back().connect(endpoint, error);
    if (error) {
      silent.pop_back();
      break;
    }
  }
  std::this_thread::sleep_for(1s);  // all accepted by now, well inside their handshake deadline
  const long loaded = server.ResidentKiB();
  const size_t held = silent.size();
  std::vector<std::shared_ptr<ShellClient>> clients;
  const ClientRun run = ConnectClients(23, 1, clients);
  clients.clear();
  silent.clear();
  io.run_for(100ms);
  clientIo = nullptr;

  std::printf("%zu silent connections held (asked %d):\n", held, kSilent);
  std::printf("  a real client beside them: %s in %.3f s (goal <= 1)\n",
              run.answered == 1 ? "answered" : "NOT answered", run.answerSeconds);
  std::printf("server resident memory: idle %.2f MiB, with them %.2f MiB, %.2f KiB each\n",
              idle / 1024.0, loaded / 1024.0,
              held > 0 ? static_cast<double>(loaded - idle) / held : 0.0);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::cerr << "usage: server_road_bench round-trip|clients|fan-out|tls-clients|silent-clients "
                 "[--tls DIR] [--cpu N]\n";
    return 2;
  }
  const std::string mode = argv[1];
  std::string tlsFolder;
  int cpu = 0;
  std::vector<char*> rest{argv[0]};
  for (int i = 2; i < argc; ++i) {
    const std::string argument = argv[i];
    if (argument == "--tls" && i + 1 < argc) {
      tlsFolder = argv[++i];
    } else if (argument == "--cpu" && i + 1 < argc) {
      cpu = std::atoi(argv[++i]);
    } else {
      rest.push_back(argv[i]);
    }
  }
  signal(SIGPIPE, SIG_IGN);
  RaiseDescriptorLimit();
  // Children inherit the placement, so the server, the controller and the relay share it.
  if (cpu >= 0) bench::PinToCpu(0, cpu);
  int restCount = static_cast<int>(rest.size());
  try {
    if (mode == "round-trip") return RoundTrip(restCount, rest.data(), tlsFolder);
    if (mode == "clients") return Clients();
    if (mode == "fan-out") return FanOut();
    if (mode == "tls-clients") return TlsClients();
    if (mode == "silent-clients") return SilentClients();
  } catch (const std::exception& e) {
    std::cerr << "server_road_bench: " << e.what() << "\n";
    return 1;
  }
  std::cerr << "unknown mode " << mode << "\n";
  return 2;
}
