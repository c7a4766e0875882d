// What every channel of the library to the server shares: the block one send or receive moves,
// the session modes a channel is in, and the two-byte escapes that switch them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace orvan {

// The most bytes one channel send or receive moves.
constexpr size_t kChannelBlock = 1024;

// Session modes of a server channel, as this library last set them.
constexpr int32_t kModeShell = 0;
constexpr int32_t kModeRaw = 1;
constexpr int32_t kModeCooked = 2;

// ESC followed by the letter.
inline std::string Escape(char letter) { return std::string{'\x1B', letter}; }

}  // namespace orvan
