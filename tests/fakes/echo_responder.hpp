// A host that answers ICMP echo requests as a test tells it, inside a network namespace: the
// kernel's own answers are turned off there while it runs, and it sees each request, answers
// those the test wants answered and notes when each arrived.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace orvan::fakes {

class EchoResponder {
public:
  struct Echo {
    // The kernel's time of arrival: a responder thread that runs late does not shift it.
    std::chrono::system_clock::time_point arrived;
    std::uint16_t identifier;
    std::uint16_t sequence;
  };
  // Whether to answer the request that arrives as number `index` (from 0).
  using Policy = std::function<bool(std::size_t index)>;

  // Serves inside the namespace of that file (a peer's); throws when it cannot start there.
  EchoResponder(const std::string& namespacePath, Policy answer);
  ~EchoResponder();
  EchoResponder(const EchoResponder&) = delete;
  EchoResponder& operator=(const EchoResponder&) = delete;

  // True once `count` requests have arrived within the timeout.
  bool WaitForRequests(std::size_t count, std::chrono::milliseconds timeout);
  std::vector<Echo> Requests();

private:
  void Serve();
  void Answer(const std::uint8_t* datagram, std::size_t length,
              std::chrono::system_clock::time_point arrival);

  Policy answer;
  int socketHandle = -1;
  int stopHandle = -1;
  std::string kernelAnswers;  // the namespace's setting before, restored at the end
  std::mutex lock;
  std::condition_variable arrived;
  std::vector<Echo> requests;
  std::thread server;
};

}  // namespace orvan::fakes
