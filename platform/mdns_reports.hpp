// The daemon reports a service instance once per interface and protocol; the rest of the
// system wants one server per instance. This merges the reports: an instance is added with its
// first resolved report, updated when what it says changes, and removed when its last one goes.
#pragma once

#include "platform/mdns_service.hpp"

#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace platform {

class MdnsReports {
public:
  using Change = std::pair<MdnsChange, MdnsService>;

  // Browsing saw the instance on an interface; it counts once resolved.
  void Seen(const std::string& name, int interface, int protocol);
  std::optional<Change> Resolved(const MdnsService& service, int interface, int protocol);
  // Resolving failed: that report counts for nothing until browsing sees it anew.
  std::optional<Change> Unresolved(const std::string& name, int interface, int protocol);
  std::optional<Change> Gone(const std::string& name, int interface, int protocol);
  // Everything reported is gone (the daemon went).
  std::vector<Change> Clear();

private:
  struct Instance {
    std::map<std::pair<int, int>, std::optional<MdnsService>> reports;
    std::optional<MdnsService> announced;  // what was last told
  };
  std::optional<Change> Announce(std::map<std::string, Instance>::iterator instance);

  std::map<std::string, Instance> instances;
};

}  // namespace platform
