#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "service_host.hpp"

namespace {

TEST(BuildArgumentText, FromTheCommandLine) {
  struct Row {
    std::vector<const char*> argv;
    const char* text;
  };
  const Row rows[] = {
      {{"dravo_service"}, "-l 127.0.0.1"},
      {{"dravo_service", "-l", "localhost"}, " -l 127.0.0.1"},
      {{"dravo_service", "-l", "LOCALHOST"}, " -l LOCALHOST"},
      {{"dravo_service", "-l", "localhost:23"}, " -l localhost:23"},
      {{"dravo_service", "--listen=10.0.0.1", "-l", "localhost"},
       " --listen=10.0.0.1 -l 127.0.0.1"},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(BuildArgumentText(static_cast<int>(row.argv.size()), row.argv.data()), row.text);
  }
}

TEST(StopEvent, WaitEndsAtOnceWhenSignalledFromAnotherThread) {
  StopEvent stop;
  EXPECT_FALSE(stop.WaitFor(std::chrono::milliseconds(1)));
  std::thread signaller([&] { stop.Signal(); });
  const auto started = std::chrono::steady_clock::now();
  EXPECT_TRUE(stop.WaitFor(std::chrono::seconds(30)));
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(10));
  signaller.join();
  EXPECT_TRUE(stop.WaitFor(std::chrono::milliseconds(0)));
}

}  // namespace
