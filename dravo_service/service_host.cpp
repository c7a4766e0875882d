#include "service_host.hpp"

#include <cstring>

#include "dravo.hpp"

std::string BuildArgumentText(int argc, const char* const* argv) {
  if (argc <= 1) return "-l 127.0.0.1";
  std::string text;
  for (int i = 1; i < argc; ++i) {
    text += ' ';
    text += std::strcmp(argv[i], "localhost") == 0 ? "127.0.0.1" : argv[i];
  }
  return text;
}

void StopEvent::Signal() {
  {
    std::lock_guard<std::mutex> lock(mutex);
    signalled = true;
  }
  changed.notify_all();
}

bool StopEvent::WaitFor(std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> lock(mutex);
  return changed.wait_for(lock, timeout, [this] { return signalled; });
}

int ServerThread(const std::string& arguments, StopEvent& stop,
                 const std::function<void(const std::string&)>& notify) {
  Dravo dravo;
  if (dravo.Start(arguments) != 0) {
    notify("STATUS=bad arguments: " + arguments);
    return kExitBadArguments;
  }
  // The certificate may have to be made first; a start that never serves is a failure.
  if (!dravo.WaitServing(std::chrono::seconds(60))) {
    notify("STATUS=failed to start: " + dravo.Failure());
    dravo.Stop();
    return kExitFailed;
  }
  notify("READY=1\nSTATUS=serving");
  while (!stop.WaitFor(kPollPeriod) && dravo.Running()) {
  }
  notify("STOPPING=1\nSTATUS=stopping");
  dravo.Stop();
  const std::string failure = dravo.Failure();
  if (!failure.empty()) {
    notify("STATUS=ended by a failure: " + failure);
    return kExitFailed;
  }
  return kExitStopped;
}
