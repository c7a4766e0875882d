// The pings a server core has running: each ends on its own and leaves the set, and teardown
// closes those still running. Their number is bounded, as each holds a raw socket and a
// receive buffer of 64 KiB.
#pragma once

#include <boost/asio/io_context.hpp>

#include <cstddef>
#include <list>
#include <memory>
#include <string>

class Pinger;
class Requestor;

class RunningPingers {
public:
  static constexpr std::size_t kLimit = 16;

  explicit RunningPingers(boost::asio::io_context& io);
  ~RunningPingers();
  RunningPingers(const RunningPingers&) = delete;
  RunningPingers& operator=(const RunningPingers&) = delete;

  // Builds and starts a pinger for the requestor. Throws "too many pings running" at the bound,
  // or the raw socket's error.
  void Start(const std::string& address, int count, std::weak_ptr<Requestor> requestor);
  std::size_t Running() const { return pingers.size(); }
  // At teardown: every running ping stops without a further answer.
  void CloseAll();

private:
  boost::asio::io_context& io;
  std::list<std::shared_ptr<Pinger>> pingers;
};
