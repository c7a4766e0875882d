// Keeps the list of the "_dravo._tcp" servers that mDNS browsing sees, newest first. Browse
// events arrive on the mDNS back end's thread while the shell reads the list on the server
// thread, so the list has a lock of its own.
#pragma once

#include <boost/signals2/signal.hpp>

#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace platform {
class MdnsBrowser;
}

namespace Zeroconf {

class ServiceWatcher {
public:
  struct Service {
    std::string hostName;
    std::string instanceName;  // the key: exact, case-sensitive
    std::string serviceName;
    std::int32_t port = 0;
    std::string ipAddress;
    std::vector<std::string> textAttributes;
  };
  enum class Action { Add, Update, Remove };

  ServiceWatcher(std::string label, std::string protocol);
  // Stops browsing first: no event reaches the list once it is going.
  ~ServiceWatcher();
  ServiceWatcher(const ServiceWatcher&) = delete;
  ServiceWatcher& operator=(const ServiceWatcher&) = delete;

  // Browsing; without a system bus or daemon the list just stays empty.
  void Start();

  // The three browse events, as the back end reports them.
  void OnAdded(const Service& service);
  void OnUpdated(const Service& service);
  void OnRemoved(const Service& service);

  // "host, port" of the first listed instance whose name reads the same in an answer as
  // `instanceName` does (both answer-safe), or "none".
  std::string Lookup(const std::string& instanceName) const;
  // A copy of the list, newest first.
  std::vector<Service> Services() const;

  boost::signals2::signal<void(const Service&)> added, updated, removed;

private:
  void Merge(const Service& service, Action action);

  std::string label;
  std::string protocol;
  std::list<Service> services;
  mutable std::mutex servicesLock;
  std::unique_ptr<platform::MdnsBrowser> browser;  // last: it goes first
};

}  // namespace Zeroconf
