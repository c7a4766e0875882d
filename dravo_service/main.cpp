// The service program: runs the server in the foreground until SIGTERM or SIGINT, or until
// the server ends by itself, and reports its state to systemd when started by it.
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <thread>

#include "platform/service_notify.hpp"
#include "service_host.hpp"

int main(int argc, char** argv) {
  const std::string arguments = BuildArgumentText(argc, argv);

  // Every thread blocks the signals; this one takes them with sigwait. SIGUSR1 is the
  // worker's word that it has ended.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGUSR1);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);

  StopEvent stop;
  int exitCode = kExitFailed;
  std::thread worker([&] {
    exitCode = ServerThread(
        arguments, stop, [](const std::string& state) { platform::NotifyServiceManager(state); });
    kill(getpid(), SIGUSR1);
  });

  for (;;) {
    int received = 0;
    if (sigwait(&signals, &received) != 0) continue;
    if (received == SIGUSR1) break;
    stop.Signal();
  }
  worker.join();
  return exitCode;
}
