// Discovery answers of any length and content: the text is the answer without its tail, as
// long as that, and never holds a byte that could end or fail a shell answer, start a line or
// end a C string.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "protocol/discovery.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // A copy of exactly the datagram's length, so the sanitizer sees any read past it.
  const std::vector<uint8_t> datagram(data, data + size);
  const auto text = orvan::protocol::DiscoveryAnswerText(datagram.data(), datagram.size());
  if (size <= orvan::protocol::kDiscoveryAnswerTail) {
    if (text) std::abort();
    return 0;
  }
  if (!text || text->size() != size - orvan::protocol::kDiscoveryAnswerTail) std::abort();
  for (size_t i = 0; i < text->size(); ++i) {
    const auto byte = static_cast<uint8_t>((*text)[i]);
    if (byte < 0x20 || byte == 0x7F || byte == '~' || byte == '\\') std::abort();
    if (byte != datagram[i] && byte != '?') std::abort();
  }
  return 0;
}
