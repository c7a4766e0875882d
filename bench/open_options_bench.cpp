// Cost of parsing an open string, paid once per OrvOpen.
#include <benchmark/benchmark.h>

#include "core/orvan_options.hpp"

static void BM_ParseOpenAddress(benchmark::State& state) {
  for (auto _ : state) {
    auto options = std::make_shared<orvan::OrvanOptions>();
    orvan::ParseOpenAddress("10.0.0.5 -d -t 2000 -s MG -s DR --p2 60008", options);
    benchmark::DoNotOptimize(options->address);
  }
}
BENCHMARK(BM_ParseOpenAddress);

BENCHMARK_MAIN();
