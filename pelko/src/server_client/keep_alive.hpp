// The thread that keeps a device's idle channels to the server alive: it wakes once a period
// and runs the device's tick under the device's request lock, until stopped.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

namespace orvan {

class KeepAlive {
public:
  // `tick` runs on the thread with `requestLock` held.
  KeepAlive(std::recursive_timed_mutex& requestLock, std::chrono::milliseconds period,
            std::function<void()> tick);
  ~KeepAlive();
  KeepAlive(const KeepAlive&) = delete;
  KeepAlive& operator=(const KeepAlive&) = delete;

  // Starts the thread afresh.
  void Start();
  // Ends the thread and waits for it, unless called on it.
  void Stop();
  // How long the channels may stay silent; tests shorten it.
  void SetPeriod(std::chrono::milliseconds period) { periodMs = period.count(); }

private:
  void Run();

  std::recursive_timed_mutex& requestLock;
  std::function<void()> tick;
  std::atomic<std::chrono::milliseconds::rep> periodMs;
  std::thread thread;
  std::mutex mutex;
  std::condition_variable wake;
  bool stop = false;
};

}  // namespace orvan
