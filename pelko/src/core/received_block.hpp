// The bytes of one completed receive that no caller has taken yet. A caller with a smaller
// buffer gets what fits and the rest waits for the next read, so a receive left pending by a
// timed-out read never writes past a later caller's buffer. Sized by its transport: a
// controller read, or the server's larger shell receive.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "core/orvan_device.hpp"

namespace orvan {

template <size_t Size>
class BasicReceivedBlock {
public:
  char* Target() { return data.data(); }
  size_t Capacity() const { return data.size(); }
  const char* Bytes() const { return data.data(); }
  size_t Count() const { return count; }
  size_t Remaining() const { return count - offset; }

  void Fill(size_t received) {
    count = received < data.size() ? received : data.size();
    offset = 0;
  }
  void Clear() { count = offset = 0; }

  bool HasHighBit() const {
    for (size_t i = 0; i < count; ++i) {
      if (static_cast<uint8_t>(data[i]) & 0x80) return true;
    }
    return false;
  }

  // Hands over bytes in order: with separate, those with bit 7 set go to the device's message
  // queue; the others fill the buffer while it has room. The count placed in the buffer.
  size_t CopyOut(OrvanDevice& device, char* buffer, size_t length, bool separate) {
    size_t placed = 0;
    for (; offset < count; ++offset) {
      const uint8_t byte = static_cast<uint8_t>(data[offset]);
      if (separate && (byte & 0x80)) {
        device.QueueUnsolicited(byte);
      } else if (placed < length) {
        buffer[placed++] = static_cast<char>(byte);
      } else {
        break;
      }
    }
    return placed;
  }

private:
  std::array<char, Size> data{};
  size_t count = 0;
  size_t offset = 0;
};

using ReceivedBlock = BasicReceivedBlock<kReadBlock>;

}  // namespace orvan
