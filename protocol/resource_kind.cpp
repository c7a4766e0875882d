// The listing words of the resource kinds.
#include "protocol/resource_kind.hpp"

namespace orvan::protocol {

const char* KindWord(std::uint32_t kind) {
  switch (kind) {
    case kKindTcp:
      return "tcp";
    case kKindUdp:
      return "udp";
    case kKindSerial:
      return "ser";
    case kKindPci:
      return "pci";
    default:
      return "???";
  }
}

}  // namespace orvan::protocol
