// Preprocessing time of a 2000-line program at each compression level (paid on every download).
#include <benchmark/benchmark.h>

#include <memory>
#include <string>

#include "program/preprocessor.hpp"

namespace {

std::string Program() {
  std::string program;
  for (int i = 0; i < 2000; ++i) {
    switch (i % 5) {
      case 0:
        program += "#L" + std::to_string(i) + "\r\n";
        break;
      case 1:
        program += "\tX = X + " + std::to_string(i) + " ; Y = 2\r\n";
        break;
      case 2:
        program += "' a comment line\r\n";
        break;
      case 3:
        program += "MG \"value is \", X ; NO trailing note\r\n";
        break;
      default:
        program += "JP #L" + std::to_string(i - 4) + ", X < 10\r\n";
        break;
    }
  }
  return program;
}

void BM_Preprocess(benchmark::State& state) {
  const std::string program = Program();
  const int level = static_cast<int>(state.range(0));
  // Loose limits, and min = max, so every run stops exactly at the level under test.
  const std::string options = "--min " + std::to_string(level) + " --max " + std::to_string(level);
  auto loader = std::make_shared<orvan::MemoryProgramLoader>();
  std::string out;
  for (auto _ : state) {
    orvan::Preprocessor preprocessor(loader);
    benchmark::DoNotOptimize(preprocessor.Run(options, program, out, 4000, 200, true));
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * program.size()));
}
BENCHMARK(BM_Preprocess)->DenseRange(0, 4)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
