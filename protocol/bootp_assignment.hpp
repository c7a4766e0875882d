// The library's direct IP assignment: one plain BOOTP reply, 300 bytes, that gives a controller
// waiting for an address the one it is told. Unlike the server's replies it carries a fixed xid
// and no options, so a controller takes it without having been heard first.
#pragma once

#include "protocol/bootp.hpp"

#include <array>
#include <cstddef>
#include <cstdint>

namespace orvan::protocol {

constexpr std::size_t kAssignmentPacketSize = 300;
using AssignmentPacket = std::array<std::uint8_t, kAssignmentPacketSize>;
constexpr std::array<std::uint8_t, 4> kAssignmentXid{0x4C, 0x20, 0x14, 0x21};

// op 2, htype 1, hlen 6, the xid, the address (first number first) at 16, the MAC at 28, the
// magic cookie at 236; zeros everywhere else, the option area included.
AssignmentPacket MakeAssignmentPacket(const MacAddress& mac,
                                      const std::array<std::uint8_t, 4>& address);

}  // namespace orvan::protocol
