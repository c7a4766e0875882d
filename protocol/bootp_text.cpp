#include "protocol/bootp_text.hpp"

#include <arpa/inet.h>

#include <cctype>
#include <cstdio>

namespace orvan::protocol {

std::optional<MacAddress> ParseMacAddress(const std::string& text) {
  const char separator = text.find(':') != std::string::npos ? ':' : '-';
  MacAddress mac{};
  std::size_t at = 0;
  for (std::size_t i = 0; i < mac.size(); ++i) {
    if (i > 0) {
      if (at >= text.size() || text[at] != separator) return std::nullopt;
      ++at;
    }
    const std::size_t start = at;
    unsigned value = 0;
    while (at < text.size() && std::isxdigit(static_cast<unsigned char>(text[at]))) {
      const char digit = static_cast<char>(std::tolower(static_cast<unsigned char>(text[at])));
      // Only the low 8 bits count, so longer numbers never overflow.
      value =
          ((value << 4) | static_cast<unsigned>(digit <= '9' ? digit - '0' : digit - 'a' + 10)) &
          0xFFu;
      ++at;
    }
    if (at == start) return std::nullopt;
    mac[i] = static_cast<std::uint8_t>(value);
  }
  if (at != text.size()) return std::nullopt;
  return mac;
}

std::string FormatMacAddress(const MacAddress& mac) {
  char text[18];
  std::snprintf(text, sizeof text, "%02X:%02X:%02X:%02X:%02X:%02X", mac[0], mac[1], mac[2], mac[3],
                mac[4], mac[5]);
  return text;
}

std::optional<std::uint32_t> ParseIpv4Address(const std::string& text) {
  in_addr address{};
  if (text.find('\0') != std::string::npos) return std::nullopt;
  if (inet_pton(AF_INET, text.c_str(), &address) != 1) return std::nullopt;
  return ntohl(address.s_addr);
}

std::string FormatIpv4Address(std::uint32_t address) {
  char text[16];
  std::snprintf(text, sizeof text, "%u.%u.%u.%u", address >> 24, (address >> 16) & 0xFF,
                (address >> 8) & 0xFF, address & 0xFF);
  return text;
}

}  // namespace orvan::protocol
