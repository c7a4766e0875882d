// MAC and IPv4 address texts as users type them to assign addresses and as listings show them.
#pragma once

#include "protocol/bootp.hpp"

#include <cstdint>
#include <optional>
#include <string>

namespace orvan::protocol {

// Six hexadecimal numbers separated by ':' when the text holds one, else by '-'; each number's
// low 8 bits give one byte. None unless exactly six numbers make up the whole text.
std::optional<MacAddress> ParseMacAddress(const std::string& text);
// "%02X:%02X:%02X:%02X:%02X:%02X".
std::string FormatMacAddress(const MacAddress& mac);
// Dotted IPv4 text to an address in host order; none when it does not convert.
std::optional<std::uint32_t> ParseIpv4Address(const std::string& text);
std::string FormatIpv4Address(std::uint32_t address);

}  // namespace orvan::protocol
