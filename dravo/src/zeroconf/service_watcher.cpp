// Browse events merged into the list of servers seen.
#include "zeroconf/service_watcher.hpp"

#include "platform/mdns.hpp"
#include "zeroconf/answer_text.hpp"

#include <algorithm>

namespace Zeroconf {

ServiceWatcher::ServiceWatcher(std::string serviceLabel, std::string serviceProtocol)
    : label(std::move(serviceLabel)), protocol(std::move(serviceProtocol)) {}

ServiceWatcher::~ServiceWatcher() { browser.reset(); }

void ServiceWatcher::Start() {
  if (browser) return;
  browser = std::make_unique<platform::MdnsBrowser>(
      label + "." + protocol,
      [this](platform::MdnsChange change, const platform::MdnsService& found) {
        Service service;
        service.hostName = found.hostName;
        service.instanceName = found.instanceName;
        service.serviceName = found.serviceType;
        service.port = found.port;
        service.ipAddress = found.address;
        service.textAttributes = found.text;
        if (change == platform::MdnsChange::Added) OnAdded(service);
        if (change == platform::MdnsChange::Updated) OnUpdated(service);
        if (change == platform::MdnsChange::Removed) OnRemoved(service);
      });
  browser->Start();
}

void ServiceWatcher::OnAdded(const Service& service) { Merge(service, Action::Add); }

void ServiceWatcher::OnUpdated(const Service& service) {
  // A server that says it stopped, or has no address left, is gone.
  const bool stopped =
      !service.textAttributes.empty() && service.textAttributes.front() == "running=false";
  Merge(service, stopped || service.ipAddress.empty() ? Action::Remove : Action::Update);
}

void ServiceWatcher::OnRemoved(const Service& service) { Merge(service, Action::Remove); }

void ServiceWatcher::Merge(const Service& service, Action action) {
  std::lock_guard<std::mutex> lock(servicesLock);
  const auto listed = std::find_if(services.begin(), services.end(), [&](const Service& entry) {
    return entry.instanceName == service.instanceName;
  });
  if (listed == services.end()) {
    if (action == Action::Remove) return;
    services.push_front(service);
    added(service);
    return;
  }
  if (action == Action::Remove) {
    const Service gone = *listed;
    removed(gone);
    services.remove_if(
        [&](const Service& entry) { return entry.instanceName == service.instanceName; });
    return;
  }
  if (listed->hostName == service.hostName && listed->port == service.port &&
      listed->ipAddress == service.ipAddress)
    return;
  updated(service);
  *listed = service;
}

std::string ServiceWatcher::Lookup(const std::string& instanceName) const {
  const std::string wanted = AnswerSafeText(instanceName);
  std::lock_guard<std::mutex> lock(servicesLock);
  for (const auto& service : services) {
    if (AnswerSafeText(service.instanceName) == wanted)
      return AnswerSafeText(service.hostName) + ", " + std::to_string(service.port);
  }
  return "none";
}

std::vector<ServiceWatcher::Service> ServiceWatcher::Services() const {
  std::lock_guard<std::mutex> lock(servicesLock);
  return {services.begin(), services.end()};
}

}  // namespace Zeroconf
