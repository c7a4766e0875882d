// What the fourth byte of a controller's MAC says about it: its model family, whether it asks
// by plain BOOTP, and whether it stays silent where another DHCP server serves the network.
#pragma once

#include <cstdint>
#include <string>

namespace orvan::protocol {

constexpr const char* kGenericControllerName = "Orvan Ethernet Controller";

// 0x00 to 0x50 in steps of 8: these controllers ask and are answered by plain BOOTP.
bool IsBootpModel(std::uint8_t modelByte);
// 0x20 to 0x58 in steps of 8: left to another DHCP server where one answers.
bool DefersToForeignServer(std::uint8_t modelByte);
// The server's table: a name for 0x00 to 0x58 in steps of 8, the generic text otherwise.
std::string ControllerModelName(std::uint8_t modelByte);
// The library's listener knows the BOOTP families only: 0x58 reads as generic there.
std::string BootpModelName(std::uint8_t modelByte);

}  // namespace orvan::protocol
