// Runs the server for the service program: the argument text from the command line, the stop
// request, and the worker that constructs the server, starts it, polls it and stops it.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>

// The server's argument text: "-l 127.0.0.1" without arguments, else " ARG" per argument,
// with the exact word "localhost" read as "127.0.0.1".
std::string BuildArgumentText(int argc, const char* const* argv);

// The stop request, set once by a signal and waited on by the worker.
class StopEvent {
public:
  void Signal();
  // True when the stop was requested, at once or within `timeout`.
  bool WaitFor(std::chrono::milliseconds timeout);

private:
  std::mutex mutex;
  std::condition_variable changed;
  bool signalled = false;
};

// Exit codes of the worker, which become the process's.
constexpr int kExitStopped = 0;
constexpr int kExitFailed = 1;
constexpr int kExitBadArguments = 160;

// How often the worker looks whether the server still runs.
constexpr std::chrono::milliseconds kPollPeriod{5000};
// How long a start may take to serve (the certificate may have to be made first), and how
// often the worker looks for a stop request meanwhile.
constexpr std::chrono::milliseconds kStartLimit{60000};
constexpr std::chrono::milliseconds kStartStep{100};

// The worker: construct, Start, poll Running every poll period or until the stop request,
// Stop, destroy. A start that fails prints "Cannot start the server: <why>" on standard error.
// `notify` receives the service manager's state lines ("READY=1", ...).
int ServerThread(const std::string& arguments, StopEvent& stop,
                 const std::function<void(const std::string&)>& notify);
