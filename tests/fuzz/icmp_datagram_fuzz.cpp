// Arbitrary datagrams as a raw ICMP socket delivers them: the reader never reads past the
// datagram, and what it accepts is IPv4 with a whole header and a whole ICMP header behind it.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "protocol/icmp_echo.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // A copy of exactly the datagram's length, so the sanitizer sees any read past it.
  const std::vector<uint8_t> datagram(data, data + size);
  const auto parsed = orvan::protocol::ParseIcmpDatagram(datagram.data(), datagram.size());
  if (!parsed) return 0;
  if (size < 20 || datagram[0] >> 4 != 4) std::abort();
  if (parsed->headerLength != static_cast<size_t>(datagram[0] & 0x0F) * 4) std::abort();
  if (parsed->headerLength < 20 || parsed->headerLength + 8 > size) std::abort();
  const uint8_t* icmp = datagram.data() + parsed->headerLength;
  if (parsed->message.type != icmp[0] ||
      parsed->message.sequence != static_cast<uint16_t>(icmp[6] << 8 | icmp[7]))
    std::abort();
  return 0;
}
