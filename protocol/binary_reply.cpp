// The binary-reply header, one byte at a time.
#include "protocol/binary_reply.hpp"

namespace orvan::protocol {

BinaryByte BinaryReply::Next(std::uint8_t byte) {
  switch (state) {
    case 0:
      if (!IsBinaryHeader(byte)) return BinaryByte::Outside;
      state = 1;
      return BinaryByte::Header;
    case 1:
      state = 2;
      return BinaryByte::Body;
    case 2:
      remaining = byte;
      state = 3;
      return BinaryByte::Body;
    case 3:
      // The length counts the four header bytes less one.
      remaining += 256 * byte - 3;
      state = 4;
      break;
    default:
      --remaining;
      break;
  }
  // A declared length below 3 would never count down to 0: the header is then the whole reply.
  if (remaining > 0) return BinaryByte::Body;
  state = 0;
  remaining = -1;
  return BinaryByte::Last;
}

}  // namespace orvan::protocol
