// Controller datagrams of any length and content: sorting them never reads or writes beyond
// the datagram, the record or the interrupt queue's limit. The input is split into datagrams
// at each 16-bit little-endian length prefix.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <deque>
#include <vector>

#include "network/udp_device.hpp"
#include "protocol/controller_datagram.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  OrvDataRecord record{};
  std::deque<uint8_t> interrupts;
  size_t position = 0;
  while (position + 2 <= size) {
    const size_t wanted = data[position] | (static_cast<size_t>(data[position + 1]) << 8);
    position += 2;
    const size_t length = wanted < size - position ? wanted : size - position;
    // A copy of exactly the datagram's length, so the sanitizer sees any read past it.
    std::vector<char> datagram(data + position, data + position + length);
    position += length;
    const auto kind = orvan::SortDatagram(datagram.data(), datagram.size(),
                                          length % 2 ? &record : nullptr, interrupts);
    using orvan::protocol::DatagramKind;
    if (kind == DatagramKind::Record && length <= orvan::protocol::kLongestInterrupt) std::abort();
    if (kind == DatagramKind::Interrupt) {
      if (length < orvan::protocol::kShortestInterrupt) std::abort();
      if (length > orvan::protocol::kLongestInterrupt) std::abort();
      const auto status = orvan::protocol::InterruptStatus(length);
      if (status.offset + status.count > length) std::abort();
    }
    if (interrupts.size() > 64) std::abort();
  }
  return 0;
}
