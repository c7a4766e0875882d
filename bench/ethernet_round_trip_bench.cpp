// Round trip of one short command to the fake controller (run as its own process on loopback):
// through NetworkDevice::Command and through a bare blocking socket that writes the same bytes
// and reads to the ':' prompt, under the same CPU placement; prints both medians and their
// ratio. Also the time to open and identify a controller.
#include <benchmark/benchmark.h>

#include <boost/asio/io_context.hpp>

#include <iostream>
#include <memory>
#include <string>

#include "bench_support.hpp"
#include "core/orvan_options.hpp"
#include "fakes/controller_process.hpp"
#include "network/network_device.hpp"

namespace {

const char kCommand[] = "SH";

using orvan::fakes::ControllerProcess;

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
  bench::BareSocketRoundTrip(state, controller->address, controller->commandPort, kCommand);
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

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  // One placement for every case: client and controller (all its threads inherit the mask)
  // share one CPU, so wake-ups across CPUs, which cost ten times a round trip on virtual
  // machines, do not hide the library's own overhead.
  bench::PinToCpu(0, 0);
  ControllerProcess process(ORVAN_FAKE_CONTROLLER);
  controller = &process;

  bench::MedianReporter reporter;
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
