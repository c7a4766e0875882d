// A DNS-SD service instance as mDNS browsing reports it, and how the report changed.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace platform {

// One service instance as browsing found it.
struct MdnsService {
  std::string instanceName;
  std::string serviceType;  // "_dravo._tcp"
  std::string hostName;     // "lab.local"
  std::string address;      // IPv4 dotted text
  std::uint16_t port = 0;
  std::vector<std::string> text;  // TXT attributes
};

enum class MdnsChange { Added, Updated, Removed };

}  // namespace platform
