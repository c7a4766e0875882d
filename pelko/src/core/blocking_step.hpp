// How a socket device blocks: it starts an asynchronous operation, then runs the handle's I/O
// context on the calling thread until the operation's handler has stored its result, bounded
// by a deadline. Written once here; every transport uses it. The socket devices try their
// socket without blocking first and make a readiness wait the operation only when it is not
// ready, so a wait cut short by its deadline never leaves a transfer into a buffer behind.
#pragma once

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/basic_resolver.hpp>

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

#include "core/orvan_error.hpp"
#include "platform/resolve.hpp"

namespace orvan {

class BlockingStep {
public:
  explicit BlockingStep(boost::asio::io_context& context) : io(context) {}

  using Clock = std::chrono::steady_clock;

  static Clock::time_point Deadline(int32_t timeoutMs) {
    return Clock::now() + std::chrono::milliseconds(timeoutMs > 0 ? timeoutMs : 0);
  }

  // Runs handlers until finished() holds; -1100 (empty text) once the deadline passes first.
  // The operation stays pending then, so a later step can collect its result. The wait for
  // the next handler is itself bounded, as in Asio's blocking client with deadline, so no
  // timer needs arming and cancelling around every step.
  template <class Finished>
  void Run(Clock::time_point deadline, Finished finished) {
    Restart();
    while (!finished()) {
      const auto left = deadline - Clock::now();
      if (left <= Clock::duration::zero()) throw OrvanError(-1100);
      if (io.run_one_for(left) == 0) Restart();
    }
  }

  template <class Finished>
  void Run(int32_t timeoutMs, Finished finished) {
    if (!finished()) Run(Deadline(timeoutMs), finished);
  }

  // Runs the handlers that are ready now, without waiting.
  void Poll() {
    Restart();
    io.poll();
  }

  boost::asio::io_context& Context() { return io; }

private:
  void Restart() {
    if (io.stopped()) io.restart();
  }

  boost::asio::io_context& io;
};

// The first IPv4 endpoint for host and port, bounded by the timeout; -1101 with the resolver's
// text when there is none.
template <class Protocol>
typename Protocol::endpoint ResolveFirst(BlockingStep& step, const std::string& host, uint16_t port,
                                         int32_t timeoutMs) {
  using Resolver = boost::asio::ip::basic_resolver<Protocol>;
  struct Outcome {
    bool done = false;
    boost::system::error_code error;
    typename Resolver::results_type results;
  };
  auto outcome = std::make_shared<Outcome>();
  Resolver resolver(step.Context());
  platform::AsyncResolve(
      resolver, host, port,
      [outcome](const boost::system::error_code& error, typename Resolver::results_type results) {
        outcome->error = error;
        outcome->results = std::move(results);
        outcome->done = true;
      });
  step.Run(timeoutMs, [&] { return outcome->done; });
  if (outcome->error) throw OrvanError(-1101, outcome->error.message());
  if (outcome->results.empty()) throw OrvanError(-1101, "host not found");
  return outcome->results.begin()->endpoint();
}

}  // namespace orvan
