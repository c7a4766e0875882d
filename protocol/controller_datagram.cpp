// Sorting controller datagrams by length and first bytes.
#include "protocol/controller_datagram.hpp"

namespace orvan::protocol {

DatagramKind ClassifyDatagram(const std::uint8_t* bytes, std::size_t length) {
  if (length > kLongestInterrupt) {
    const std::size_t declared = bytes[2] | (static_cast<std::size_t>(bytes[3]) << 8);
    if (declared == length) return DatagramKind::Record;
  } else if (length >= kShortestInterrupt && bytes[0] == kInterruptMark) {
    return DatagramKind::Interrupt;
  }
  return DatagramKind::Text;
}

StatusBytes InterruptStatus(std::size_t length) {
  if (length < 2) return {0, 0};
  return {1, length - 2};
}

}  // namespace orvan::protocol
