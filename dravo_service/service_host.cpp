#include "service_host.hpp"

#include <cstring>
#include <iostream>

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
    std::cerr << "Cannot start the server: bad arguments:" << arguments << std::endl;
    notify("STATUS=bad arguments: " + arguments);
    return kExitBadArguments;
  }
  // The certificate may have to be made first; a start that never serves is a failure. Waited
  // for in steps, so that a stop request acts at once even then.
  bool serving = false;
  bool stopped = false;
  for (auto waited = std::chrono::milliseconds(0); waited < kStartLimit; waited += kStartStep) {
    if ((serving = dravo.WaitServing(kStartStep))) break;
    if (!dravo.Failure().empty()) break;
    if ((stopped = stop.WaitFor(std::chrono::milliseconds(0)))) break;
  }
  if (!serving) {
    dravo.Stop();
    if (stopped && dravo.Failure().empty()) {
      notify("STOPPING=1\nSTATUS=stopped while starting");
      return kExitStopped;
    }
    const std::string failure =
        dravo.Failure().empty()
            ? "not serving after " + std::to_string(kStartLimit.count() / 1000) + " s"
            : dravo.Failure();
    std::cerr << "Cannot start the server: " << failure << std::endl;
    notify("STATUS=failed to start: " + failure);
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
