// The communications server as a host program sees it: start it with an argument string,
// poll whether it runs, stop it. Everything else of the server stays inside the library.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class Server;

class __attribute__((visibility("default"))) Dravo {
public:
  Dravo();
  ~Dravo();
  Dravo(const Dravo&) = delete;
  Dravo& operator=(const Dravo&) = delete;

  // 0 when the server thread was started, -1 when the arguments cannot be parsed
  // (or the thread cannot be made).
  int Start(const std::string& arguments);
  // Shuts the server down and joins its thread; also stops a server in the middle of a restart.
  int Stop();
  bool Running() const { return running.load(); }
  // Waits until the server has bound its listeners (true), or its thread has ended without
  // getting there, or the timeout has passed (false). For hosts that report readiness.
  bool WaitServing(std::chrono::milliseconds timeout);
  // Why the server thread ended on its own, as "<step>: <system text>" ("bind 127.0.0.1 port
  // 23: Address already in use", "certificate: key.pem: Read-only file system", ...); empty
  // when it is still starting or serving, or was stopped on request.
  std::string Failure() const {
    std::lock_guard<std::mutex> lock(stateLock);
    return failure;
  }

private:
  void Run(std::shared_ptr<std::vector<std::string>> listenAddresses);
  void Free();

  std::unique_ptr<std::thread> serverThread;
  std::unique_ptr<Server> serverCore;
  std::atomic<bool> running{false};
  // Guards the core pointer, the stop request and the failure text between host and server thread.
  mutable std::mutex stateLock;
  bool stopRequested = false;
  // Set once a core has bound its listeners, and once the server thread has ended.
  bool listening = false;
  bool ended = false;
  std::condition_variable servingChanged;
  std::string failure;
};
