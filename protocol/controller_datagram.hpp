// What a controller's UDP datagram carries, told apart by its length and first bytes: a data
// record, an interrupt, or reply and message text. The library's UDP channel and the server's
// UDP resource sort what they receive by the same rule.
#pragma once

#include <cstddef>
#include <cstdint>

namespace orvan::protocol {

// An interrupt datagram is this long at the most; a data record is longer.
constexpr std::size_t kLongestInterrupt = 18;
// The mark byte, one status byte and a closing byte.
constexpr std::size_t kShortestInterrupt = 3;
constexpr std::uint8_t kInterruptMark = 0x01;

enum class DatagramKind { Text, Record, Interrupt };

// A record declares its own length (little-endian, bytes 2-3); an interrupt starts with the mark.
DatagramKind ClassifyDatagram(const std::uint8_t* bytes, std::size_t length);
inline DatagramKind ClassifyDatagram(const char* bytes, std::size_t length) {
  return ClassifyDatagram(reinterpret_cast<const std::uint8_t*>(bytes), length);
}

// Where an interrupt datagram's status bytes lie: after the mark, all but the closing byte.
struct StatusBytes {
  std::size_t offset;
  std::size_t count;
};
StatusBytes InterruptStatus(std::size_t length);

}  // namespace orvan::protocol
