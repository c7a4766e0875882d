#include "protocol/bootp_assignment.hpp"

#include <algorithm>

namespace orvan::protocol {

AssignmentPacket MakeAssignmentPacket(const MacAddress& mac,
                                      const std::array<std::uint8_t, 4>& address) {
  AssignmentPacket packet{};
  packet[kBootpOp] = kBootReply;
  packet[1] = 1;  // Ethernet
  packet[2] = 6;  // its address length
  std::copy(kAssignmentXid.begin(), kAssignmentXid.end(), packet.begin() + kBootpXid);
  std::copy(address.begin(), address.end(), packet.begin() + kBootpYiaddr);
  std::copy(mac.begin(), mac.end(), packet.begin() + kBootpChaddr);
  const std::array<std::uint8_t, 4> cookie{0x63, 0x82, 0x53, 0x63};
  std::copy(cookie.begin(), cookie.end(), packet.begin() + kBootpMagicCookie);
  return packet;
}

}  // namespace orvan::protocol
