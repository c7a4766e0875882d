// What every channel of the library to the server shares: the block one send or receive moves,
// the session modes a channel is in, and the two-byte escapes that switch them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "protocol/shell_wire.hpp"

namespace orvan {

// The most bytes one channel send or receive moves.
constexpr size_t kChannelBlock = 1024;

// Session modes of a server channel, as this library last set them.
constexpr int32_t kModeShell = protocol::kShellMode;
constexpr int32_t kModeRaw = protocol::kRawMode;
constexpr int32_t kModeCooked = protocol::kCookedMode;

// ESC followed by the letter.
inline std::string Escape(char letter) {
  return std::string{static_cast<char>(protocol::kEscape), letter};
}
// A shell line or a cooked controller command as the server takes it: the text and its CR.
inline std::string CommandLine(const std::string& text) {
  return text + static_cast<char>(protocol::kCommandEnd);
}

}  // namespace orvan
