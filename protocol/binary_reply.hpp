// The header of a controller's binary reply (the answer to "QR"): a header byte, one more byte,
// then the little-endian 16-bit length L; the reply is L + 1 bytes. The library's command engine,
// the server's reply tracker and the resource's input sorting all follow it byte by byte.
#pragma once

#include <cstdint>

namespace orvan::protocol {

// Whether the byte opens a binary reply.
constexpr bool IsBinaryHeader(std::uint8_t byte) { return (byte & 0xE8) == 0x80; }

// Where one byte stands in the binary reply being received.
enum class BinaryByte {
  Outside,  // no binary reply is under way and this byte opens none
  Header,   // the byte opens a binary reply
  Body,     // a byte of the reply, more to come
  Last,     // the reply's last byte: the recogniser is idle again
};

class BinaryReply {
public:
  BinaryByte Next(std::uint8_t byte);
  // A reply has begun and is not complete yet.
  bool Active() const { return state != 0; }
  // 0 idle, 1 to 4 the header position; bytes still expected, -1 until the length is known.
  std::int32_t State() const { return state; }
  std::int32_t Remaining() const { return remaining; }

private:
  std::int32_t state = 0;
  std::int32_t remaining = -1;
};

}  // namespace orvan::protocol
