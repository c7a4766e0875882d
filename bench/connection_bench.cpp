// The C interface on the direct road, against the fake controller run as its own process on
// loopback: the OrvCommand round trip beside a bare socket client of the same run (their median
// ratio is printed with its goal), and a blind download of a 2000-line program in bytes per
// second beside the limit that the pacing waits set.
#include <benchmark/benchmark.h>

#include <iostream>
#include <string>

#include "api/orv_con.hpp"
#include "bench_support.hpp"
#include "fakes/controller_process.hpp"
#include "identify/description.hpp"
#include "pelko.h"
#include "program/preprocessor.hpp"

namespace {

const char kCommand[] = "SH";
// One blind chunk, then the write's pacing wait and the download's own.
constexpr double kChunkBytes = 449;
constexpr double kChunkSeconds = 0.026 + 0.026;

using orvan::fakes::ControllerProcess;

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
  bench::BareSocketRoundTrip(state, controller->address, controller->commandPort, kCommand);
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

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  // Client and controller share one CPU, so wake-ups across CPUs do not hide the library's cost.
  bench::PinToCpu(0, 0);
  ControllerProcess process(ORVAN_FAKE_CONTROLLER);
  controller = &process;
  bench::MedianReporter reporter;
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
