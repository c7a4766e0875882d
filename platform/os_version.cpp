// Answers the version check; an atomic so tests may flip it while other threads ask.
#include "platform/os_version.hpp"

#include <atomic>

namespace platform {
namespace {
// -1: the real answer; 0 or 1: forced by a test.
std::atomic<int> forced{-1};
}  // namespace

bool IsWindows10OrLater() {
  const int answer = forced.load();
  return answer < 0 ? true : answer == 1;
}

void ForceWindows10OrLater(bool answer) { forced.store(answer ? 1 : 0); }
void ResetWindows10OrLater() { forced.store(-1); }

}  // namespace platform
