// The C interface on the direct road, against the fake controller run as its own process on
// loopback: the OrvCommand round trip beside a bare socket client of the same run (their median
// ratio is printed with its goal), and a blind download of a 2000-line program in bytes per
// second beside the limit that the pacing waits set.
#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sched.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <iostream>
#include <map>
#include <sstream>
#include <stdexcept>
#include <string>

#include "description.hpp"
#include "orv_con.hpp"
#include "pelko.h"
#include "preprocessor.hpp"

extern char** environ;

namespace {

const char kCommand[] = "SH";
// One blind chunk, then the write's pacing wait and the download's own.
constexpr double kChunkBytes = 449;
constexpr double kChunkSeconds = 0.026 + 0.026;

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

OrvCon* OpenHandle() {
  const std::string address = controller->address + " -d -t 5000 --p1 " +
                              std::to_string(controller->commandPort) + " --p2 " +
                              std::to_string(controller->unsolicitedPort);
  OrvCon* handle = nullptr;
  if (OrvOpen(address.c_str(), &handle) != 0) return nullptr;
  return handle;
}

void BM_OrvCommand(benchmark::State& state) {
  OrvCon* handle = OpenHandle();
  if (!handle) return state.SkipWithError("open");
  char reply[64];
  for (auto _ : state) {
    if (OrvCommand(handle, kCommand, reply, sizeof reply, nullptr) != 0) {
      state.SkipWithError("command");
      break;
    }
  }
  OrvClose(handle);
}

void BM_BareSocketCommand(benchmark::State& state) {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  const int on = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  sockaddr_in peer{};
  peer.sin_family = AF_INET;
  peer.sin_port = htons(controller->commandPort);
  inet_pton(AF_INET, controller->address.c_str(), &peer.sin_addr);
  if (connect(fd, reinterpret_cast<sockaddr*>(&peer), sizeof peer) != 0) {
    close(fd);
    return state.SkipWithError("connect");
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

void BM_BlindProgramDownload(benchmark::State& state) {
  OrvCon* handle = OpenHandle();
  if (!handle) return state.SkipWithError("open");
  std::string program;
  for (int i = 0; i < 2000; ++i) program += "MG " + std::to_string(i) + "\n";
  // The bytes that go out: the program as the preprocessor makes it for this controller.
  const auto description = handle->connection.GetDescription();
  orvan::Preprocessor preprocessor;
  std::string lines;
  preprocessor.Run("", program, lines, description->programLines, description->charactersPerLine,
                   description->flag2);
  for (auto _ : state) {
    if (OrvProgramDownload(handle, program.c_str(), "") != 0) {
      state.SkipWithError("download");
      break;
    }
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * lines.size()));
  state.counters["pacing_limit_bytes_per_second"] = kChunkBytes / kChunkSeconds;
  OrvClose(handle);
}

BENCHMARK(BM_OrvCommand)->UseRealTime()->Repetitions(9)->ReportAggregatesOnly(true);
BENCHMARK(BM_BareSocketCommand)->UseRealTime()->Repetitions(9)->ReportAggregatesOnly(true);
BENCHMARK(BM_BlindProgramDownload)->UseRealTime()->Iterations(3)->Unit(benchmark::kMillisecond);

class MedianReporter : public benchmark::ConsoleReporter {
public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const auto& run : runs) {
      if (run.aggregate_name == "median")
        medians[run.run_name.function_name] = run.GetAdjustedRealTime();
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
  // Client and controller share one CPU, so wake-ups across CPUs do not hide the library's cost.
  Pin(0, 0);
  ControllerProcess process;
  controller = &process;
  MedianReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  const double library = reporter.medians["BM_OrvCommand"];
  const double bare = reporter.medians["BM_BareSocketCommand"];
  if (library > 0 && bare > 0) {
    std::cout << "\nmedian round trip: OrvCommand " << library << " ns, bare socket " << bare
              << " ns, ratio " << library / bare << " (goal <= 1.15)\n";
  }
  std::cout << "blind download pacing limit: " << kChunkBytes / kChunkSeconds
            << " bytes per second\n";
  benchmark::Shutdown();
  controller = nullptr;
  return 0;
}
