// What the round-trip benchmarks share: the bare-socket reference client, the CPU placement
// and a reporter that keeps the medians for the closing comparison.
#pragma once

#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sched.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

namespace bench {

// The reference: a blocking POSIX socket that writes the command and reads to the ':' prompt.
inline void BareSocketRoundTrip(benchmark::State& state, const std::string& address, uint16_t port,
                                const char* command) {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  const int on = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  sockaddr_in peer{};
  peer.sin_family = AF_INET;
  peer.sin_port = htons(port);
  inet_pton(AF_INET, address.c_str(), &peer.sin_addr);
  if (connect(fd, reinterpret_cast<sockaddr*>(&peer), sizeof peer) != 0) {
    close(fd);
    return state.SkipWithError("connect");
  }
  const std::string request = std::string(command) + "\r";
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

// One placement for every case: client and controller (all its threads inherit the mask)
// share one CPU, so wake-ups across CPUs, which cost ten times a round trip on virtual
// machines, do not hide the library's own overhead.
inline void PinToCpu(pid_t pid, int cpu) {
  cpu_set_t set;
  CPU_ZERO(&set);
  CPU_SET(cpu, &set);
  if (sched_setaffinity(pid, sizeof set, &set) != 0) std::perror("sched_setaffinity");
}

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

}  // namespace bench
