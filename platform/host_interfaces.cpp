#include "platform/host_interfaces.hpp"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <netinet/in.h>

#include <algorithm>

namespace platform {

namespace {

std::string Dotted(const sockaddr* address) {
  char text[INET_ADDRSTRLEN] = {};
  if (!address || address->sa_family != AF_INET) return std::string();
  const auto* ipv4 = reinterpret_cast<const sockaddr_in*>(address);
  return inet_ntop(AF_INET, &ipv4->sin_addr, text, sizeof text) ? text : std::string();
}

// One interface as the entries of getifaddrs describe it, across their families.
struct Seen {
  std::string name;
  bool up = false;
  bool hasAddress = false;
  std::string address, netmask;
  std::array<std::uint8_t, 6> mac{};
};

}  // namespace

bool ListHostInterfaces(std::vector<HostInterface>& interfaces) {
  ifaddrs* entries = nullptr;
  if (getifaddrs(&entries) != 0) return false;
  interfaces.clear();

  // The interfaces in the order their first entry appears; each keeps its first IPv4 address.
  std::vector<Seen> seen;
  for (const ifaddrs* entry = entries; entry; entry = entry->ifa_next) {
    if (!entry->ifa_name) continue;
    auto found = std::find_if(seen.begin(), seen.end(),
                              [&](const Seen& known) { return known.name == entry->ifa_name; });
    if (found == seen.end()) {
      seen.push_back({});
      found = seen.end() - 1;
      found->name = entry->ifa_name;
    }
    if (entry->ifa_flags & IFF_UP) found->up = true;
    if (!entry->ifa_addr) continue;
    if (entry->ifa_addr->sa_family == AF_PACKET) {
      const auto* link = reinterpret_cast<const sockaddr_ll*>(entry->ifa_addr);
      const size_t length = std::min<size_t>(link->sll_halen, found->mac.size());
      std::copy_n(link->sll_addr, length, found->mac.begin());
    } else if (entry->ifa_addr->sa_family == AF_INET && !found->hasAddress) {
      found->hasAddress = true;
      found->address = Dotted(entry->ifa_addr);
      found->netmask = Dotted(entry->ifa_netmask);
    }
  }
  freeifaddrs(entries);

  for (const auto& interface : seen) {
    // The loopback address as an interface's first address leaves the interface out.
    if (!interface.up || !interface.hasAddress || interface.address.empty() ||
        interface.address == "127.0.0.1")
      continue;
    HostInterface record;
    record.name = interface.name;
    record.address = interface.address;
    record.netmask = interface.netmask;
    record.mac = interface.mac;
    interfaces.push_back(std::move(record));
  }
  return true;
}

}  // namespace platform
