// The host's IPv4 interfaces, for everything that talks to controllers once per interface
// (discovery, the BOOTP listener, IP assignment, the server's search and IP assigner): one
// record per interface that is up and has an IPv4 address other than the loopback address.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace platform {

struct HostInterface {
  std::string name;
  std::string address;                // the interface's first IPv4 address, dotted
  std::string netmask;                // that address's mask, dotted
  std::array<std::uint8_t, 6> mac{};  // the first six bytes of the hardware address, zero-filled
  // Linux does not say whether an address came from DHCP: always false here. The server's IP
  // assigner reuses the field of its own copy as a marker.
  bool dhcpEnabled = false;
};

// Rebuilds `interfaces` in the order the system reports them and returns true; returns false
// and leaves the list as it was when the system cannot be asked.
bool ListHostInterfaces(std::vector<HostInterface>& interfaces);

}  // namespace platform
