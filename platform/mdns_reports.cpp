// Merging the per-interface reports of mDNS instances.
#include "platform/mdns_reports.hpp"

namespace platform {

namespace {

bool SameRecord(const MdnsService& a, const MdnsService& b) {
  return a.hostName == b.hostName && a.address == b.address && a.port == b.port && a.text == b.text;
}

}  // namespace

void MdnsReports::Seen(const std::string& name, int interface, int protocol) {
  instances[name].reports.emplace(std::make_pair(interface, protocol), std::nullopt);
}

std::optional<MdnsReports::Change> MdnsReports::Resolved(const MdnsService& service, int interface,
                                                         int protocol) {
  const auto instance = instances.find(service.instanceName);
  if (instance == instances.end()) return std::nullopt;
  const auto report = instance->second.reports.find({interface, protocol});
  if (report == instance->second.reports.end()) return std::nullopt;
  report->second = service;
  // The newest resolution speaks for the instance.
  if (instance->second.announced && SameRecord(*instance->second.announced, service))
    return std::nullopt;
  const MdnsChange change = instance->second.announced ? MdnsChange::Updated : MdnsChange::Added;
  instance->second.announced = service;
  return Change{change, service};
}

std::optional<MdnsReports::Change> MdnsReports::Unresolved(const std::string& name, int interface,
                                                           int protocol) {
  const auto instance = instances.find(name);
  if (instance == instances.end()) return std::nullopt;
  const auto report = instance->second.reports.find({interface, protocol});
  if (report == instance->second.reports.end()) return std::nullopt;
  report->second.reset();
  return Announce(instance);
}

std::optional<MdnsReports::Change> MdnsReports::Gone(const std::string& name, int interface,
                                                     int protocol) {
  const auto instance = instances.find(name);
  if (instance == instances.end()) return std::nullopt;
  if (!instance->second.reports.erase({interface, protocol})) return std::nullopt;
  return Announce(instance);
}

std::vector<MdnsReports::Change> MdnsReports::Clear() {
  std::vector<Change> changes;
  for (const auto& [name, instance] : instances)
    if (instance.announced) changes.emplace_back(MdnsChange::Removed, *instance.announced);
  instances.clear();
  return changes;
}

std::optional<MdnsReports::Change> MdnsReports::Announce(
    std::map<std::string, Instance>::iterator instance) {
  auto& [reports, announced] = instance->second;
  const MdnsService* standing = nullptr;
  for (const auto& [key, report] : reports) {
    if (!report) continue;
    // While the record told still stands on some interface, nothing changes.
    if (announced && SameRecord(*report, *announced)) return std::nullopt;
    standing = &*report;
  }
  std::optional<Change> change;
  if (standing) {
    change = Change{announced ? MdnsChange::Updated : MdnsChange::Added, *standing};
    announced = *standing;
  } else if (announced) {
    change = Change{MdnsChange::Removed, *announced};
    announced.reset();
  }
  if (reports.empty()) instances.erase(instance);
  return change;
}

}  // namespace platform
