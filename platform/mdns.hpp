// Browsing and publishing DNS-SD services in domain "local" through the system's mDNS daemon
// (the Avahi client library, on a poll thread of its own). Without a system bus or daemon both
// still work as objects: the browser finds nothing and a publication fails at once.
#pragma once

#include "platform/mdns_service.hpp"

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace platform {

// Browses one service type over IPv4. The daemon reports an instance once per interface: the
// reports are merged, so an instance is added once and removed when its last report goes.
// The handler runs on the poll thread, never after the destructor has returned.
class MdnsBrowser {
public:
  using Handler = std::function<void(MdnsChange, const MdnsService&)>;
  MdnsBrowser(std::string serviceType, Handler handler);
  ~MdnsBrowser();
  MdnsBrowser(const MdnsBrowser&) = delete;
  MdnsBrowser& operator=(const MdnsBrowser&) = delete;

  // Starts browsing; false when there is no system bus. While the daemon is away nothing is
  // found, and browsing starts again when it returns.
  bool Start();

  struct State;

private:
  std::unique_ptr<State> state;
};

enum class MdnsPublishResult {
  Published,
  NoHostName,    // the daemon has no host name to publish under
  InvalidName,   // the daemon refused the instance name
  Collision,     // another holds the name
  ServerError,   // no bus or daemon, or the daemon failed the registration
  NotCompleted,  // no outcome within the wait
};

// One registration of one service instance under the daemon's host name. Dropping the object
// (or Withdraw) withdraws it; a registration the daemon lost with its restart is made again when
// it returns.
class MdnsPublisher {
public:
  MdnsPublisher();
  ~MdnsPublisher();
  MdnsPublisher(const MdnsPublisher&) = delete;
  MdnsPublisher& operator=(const MdnsPublisher&) = delete;

  // Registers and waits at most `wait` for the daemon's answer. A registration that fails or
  // times out is withdrawn, so nothing stays announced that the caller thinks is not.
  MdnsPublishResult Publish(const std::string& instanceName, const std::string& serviceType,
                            std::uint16_t port, std::chrono::milliseconds wait);
  void Withdraw();

  struct State;

private:
  std::unique_ptr<State> state;
};

}  // namespace platform
