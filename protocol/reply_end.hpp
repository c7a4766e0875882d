// Where a controller's reply to one command ends: the library's command engine reads up to that
// point, and the server's reply tracker hands the resource on at exactly the same byte, so a
// client through the server sees its reply end where a direct one would.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "protocol/binary_reply.hpp"

namespace orvan::protocol {

// The engine reads a reply at most this many bytes at a time; a prompt ends a reply only as the
// last byte of one of those reads.
constexpr std::size_t kEngineReadBlock = 406;
// A reply longer than this is no controller's reply: the engine gives it up.
constexpr std::size_t kReplyLimit = 4u << 20;

// How a command's reply is read, from the command's first two characters after leading blanks.
struct ReplyModes {
  bool binary = false;  // "QR": a binary reply, ended by its declared length
  bool qu = false;      // "QU": a prompt right after a lone CR ends it too
  bool mg = false;      // "MG": any prompt that ends a read ends it
};
ReplyModes ReplyModesOf(const std::string& command);

// What one byte of the controller's answer is to the reply.
enum class ReplyByte {
  Outside,          // not part of the reply (before a binary reply's header)
  Kept,             // part of the reply, which goes on
  Ends,             // the reply's last byte
  ControllerError,  // a '?' that refuses the command: the reply is that '?' alone
};

// Follows one reply, read by read. The caller announces each non-empty read with StartRead and
// then passes its bytes in order until one ends the reply.
class ReplyEnd {
public:
  explicit ReplyEnd(ReplyModes modes = {}) : modes(modes) {}

  void StartRead(std::size_t length);
  ReplyByte Next(std::uint8_t byte);
  // More bytes kept than any reply holds.
  bool Overlong() const { return kept > kReplyLimit; }
  // Bytes passed in since the start.
  std::uint64_t Scanned() const { return scanned; }

private:
  ReplyByte NextText(std::uint8_t byte);
  ReplyByte NextBinary(std::uint8_t byte);

  ReplyModes modes;
  BinaryReply binary;
  std::uint64_t scanned = 0;
  std::uint64_t kept = 0;
  std::uint32_t reads = 0;
  std::size_t readLength = 0;
  std::size_t readIndex = 0;
  // Positions in the text reply of the last CR, LF and Ctrl-Z; -1 for none yet.
  std::int64_t lastCr = -1;
  std::int64_t lastLf = -1;
  std::int64_t lastCtrlZ = -1;
};

}  // namespace orvan::protocol
