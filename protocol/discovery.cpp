#include "protocol/discovery.hpp"

#include "protocol/shell_wire.hpp"

namespace orvan::protocol {

namespace {

bool Unsafe(std::uint8_t byte) {
  return byte < 0x20 || byte == 0x7F || byte == static_cast<std::uint8_t>(kSuccessTerminator) ||
         byte == static_cast<std::uint8_t>(kErrorTerminator);
}

}  // namespace

const std::array<std::uint8_t, 11>& DiscoveryQuery() {
  static const std::array<std::uint8_t, 11> query{0x12, 0x16, 0x0D, 'I', 'H', 'S',
                                                  '=',  '>',  '-',  '1', 0x0D};
  return query;
}

std::optional<std::string> DiscoveryAnswerText(const std::uint8_t* bytes, std::size_t length) {
  if (length <= kDiscoveryAnswerTail) return std::nullopt;
  std::string text(reinterpret_cast<const char*>(bytes), length - kDiscoveryAnswerTail);
  for (char& byte : text) {
    if (Unsafe(static_cast<std::uint8_t>(byte))) byte = kDiscoveryReplacement;
  }
  return text;
}

}  // namespace orvan::protocol
