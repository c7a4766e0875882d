// Round trip of one short command to the fake controller (run as its own process on loopback):
// through NetworkDevice::Command and through a bare blocking socket that writes the same bytes
// and reads to the ':' prompt, under the same CPU placement; prints both medians and their
// ratio. Also the time to open and identify a controller.
#include <benchmark/benchmark.h>

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <arpa/inet.h>
#include <sched.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <boost/asio/io_context.hpp>

#include <cstdio>
#include <iostream>
#include <map>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>

#include "network_device.hpp"
#include "orvan_options.hpp"

extern char** environ;

namespace {

const char kCommand[] = "SH";

// The fake controller in a child process: its ports from the ready line, its end when the
// pipe to its standard input closes.
class ControllerProcess {
public:
  ControllerProcess() {
    int toChild[2], fromChild[2];
    if (pipe(toChild) != 0 || pipe(fromChild) != 0) throw std::runtime_error("pipe");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, toChild[0], 0);
    posix_spawn_file_actions_adddup2(&actions, fromChild[1], 1);
    posix_spawn_file_actions_addclose(&actions, toChild[1]);
    posix_spawn_file_actions_addclose(&actions, fromChild[0]);
    char program[] = ORVAN_FAKE_CONTROLLER;
    char* argv[] = {program, nullptr};
    if (posix_spawn(&pid_, program, &actions, nullptr, argv, environ) != 0)
      throw std::runtime_error("cannot start " + std::string(program));
    posix_spawn_file_actions_destroy(&actions);
    close(toChild[0]);
    close(fromChild[1]);
    input_ = toChild[1];

    FILE* output = fdopen(fromChild[0], "r");
    char line[128] = {};
    if (!output || !fgets(line, sizeof line, output)) throw std::runtime_error("no ready line");
    fclose(output);
    std::istringstream words(line);
    std::string ready;
    words >> ready >> address >> commandPort >> unsolicitedPort;
    if (ready != "ready") throw std::runtime_error("unexpected: " + std::string(line));
  }

  ~ControllerProcess() {
    close(input_);
    waitpid(pid_, nullptr, 0);
  }

  std::string address;
  uint16_t commandPort = 0;
  uint16_t unsolicitedPort = 0;

private:
  pid_t pid_ = 0;
  int input_ = -1;
};

ControllerProcess* controller = nullptr;

std::shared_ptr<orvan::OrvanOptions> Options() {
  auto options = std::make_shared<orvan::OrvanOptions>();
  options->address = controller->address;
  options->commandPort = controller->commandPort;
  options->unsolicitedPort = controller->unsolicitedPort;
  options->timeout = 2000;
  options->direct = true;
  return options;
}

void BM_NetworkDeviceCommand(benchmark::State& state) {
  boost::asio::io_context io;
  auto device = std::make_shared<orvan::NetworkDevice>(io);
  device->Open(Options());
  for (auto _ : state) benchmark::DoNotOptimize(device->Command(kCommand, false, -1, true));
  device->Close();
}

void BM_PosixSocketCommand(benchmark::State& state) {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  const int on = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  sockaddr_in peer{};
  peer.sin_family = AF_INET;
  peer.sin_port = htons(controller->commandPort);
  inet_pton(AF_INET, controller->address.c_str(), &peer.sin_addr);
  if (connect(fd, reinterpret_cast<sockaddr*>(&peer), sizeof peer) != 0) {
    state.SkipWithError("connect");
    close(fd);
    return;
  }
  const std::string request = std::string(kCommand) + "\r";
  char reply[406];
  for (auto _ : state) {
    if (write(fd, request.data(), request.size()) != static_cast<ssize_t>(request.size())) break;
    for (;;) {
      const ssize_t count = read(fd, reply, sizeof reply);
      if (count <= 0 || reply[count - 1] == ':') break;
    }
  }
  close(fd);
}

void BM_OpenAndIdentify(benchmark::State& state) {
  boost::asio::io_context io;
  const auto options = Options();
  for (auto _ : state) {
    auto device = std::make_shared<orvan::NetworkDevice>(io);
    device->Open(options);
    device->Close();
  }
}

BENCHMARK(BM_NetworkDeviceCommand)->UseRealTime()->Repetitions(9)->ReportAggregatesOnly(true);
BENCHMARK(BM_PosixSocketCommand)->UseRealTime()->Repetitions(9)->ReportAggregatesOnly(true);
BENCHMARK(BM_OpenAndIdentify)->UseRealTime()->Repetitions(5)->ReportAggregatesOnly(true);

// Keeps the medians for the closing comparison.
class MedianReporter : public benchmark::ConsoleReporter {
public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const auto& run : runs) {
      if (run.aggregate_name == "median") medians[run.run_name.function_name] = run.GetAdjustedRealTime();
    }
    ConsoleReporter::ReportRuns(runs);
  }
  std::map<std::string, double> medians;
};

void Pin(pid_t pid, int cpu) {
  cpu_set_t set;
  CPU_ZERO(&set);
  CPU_SET(cpu, &set);
  if (sched_setaffinity(pid, sizeof set, &set) != 0) std::perror("sched_setaffinity");
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  // One placement for every case: client and controller (all its threads inherit the mask)
  // share one CPU, so wake-ups across CPUs, which cost ten times a round trip on virtual
  // machines, do not hide the library's own overhead.
  Pin(0, 0);
  ControllerProcess process;
  controller = &process;

  MedianReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  const double device = reporter.medians["BM_NetworkDeviceCommand"];
  const double bare = reporter.medians["BM_PosixSocketCommand"];
  if (device > 0 && bare > 0) {
    std::cout << "\nmedian round trip: NetworkDevice::Command " << device << " ns, bare socket "
              << bare << " ns, ratio " << device / bare << " (goal <= 1.15)\n";
  }
  if (reporter.medians.count("BM_OpenAndIdentify")) {
    std::cout << "median open and identify: " << reporter.medians["BM_OpenAndIdentify"] / 1e3
              << " us\n";
  }
  benchmark::Shutdown();
  controller = nullptr;
  return 0;
}
