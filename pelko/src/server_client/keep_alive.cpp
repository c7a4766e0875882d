// The keep-alive thread's wait, its bounded tries for the request lock, and its stop.
#include "server_client/keep_alive.hpp"

#include <utility>

namespace orvan {

KeepAlive::KeepAlive(std::recursive_timed_mutex& lock, std::chrono::milliseconds period,
                     std::function<void()> work)
    : requestLock(lock), tick(std::move(work)), periodMs(period.count()) {}

KeepAlive::~KeepAlive() { Stop(); }

void KeepAlive::Start() {
  Stop();
  {
    std::lock_guard<std::mutex> guard(mutex);
    stop = false;
  }
  thread = std::thread([this] { Run(); });
}

void KeepAlive::Stop() {
  {
    std::lock_guard<std::mutex> guard(mutex);
    stop = true;
  }
  wake.notify_all();
  if (thread.joinable() && thread.get_id() != std::this_thread::get_id()) thread.join();
}

void KeepAlive::Run() {
  std::unique_lock<std::mutex> wait(mutex);
  for (;;) {
    const auto period = std::chrono::milliseconds(periodMs.load());
    if (wake.wait_for(wait, period, [this] { return stop; })) return;
    wait.unlock();
    // The lock is taken in bounded tries, so a thread joining this one while it holds the
    // request lock never waits for ever.
    std::unique_lock<std::recursive_timed_mutex> request(requestLock, std::defer_lock);
    while (!request.try_lock_for(std::chrono::milliseconds(100))) {
      std::lock_guard<std::mutex> guard(mutex);
      if (stop) return;
    }
    tick();
    request.unlock();
    wait.lock();
  }
}

}  // namespace orvan
