// The engine's reply endings, applied to the bytes a connection passes to its client.
#include "shell/reply_tracker.hpp"

#include <algorithm>

namespace {
constexpr std::uint8_t kCr = 0x0D;
constexpr std::uint8_t kLf = 0x0A;
constexpr std::uint8_t kCtrlZ = 0x1A;
}  // namespace

void ReplyTracker::Reset() { *this = ReplyTracker(); }

void ReplyTracker::Start(const std::uint8_t* command, std::size_t length) {
  Reset();
  std::size_t first = 0;
  while (first < length && command[first] == ' ') ++first;
  if (length - first < 2) return;
  const char a = static_cast<char>(command[first]);
  const char b = static_cast<char>(command[first + 1]);
  mg_ = a == 'M' && b == 'G';
  qu_ = a == 'Q' && b == 'U';
  binary_ = a == 'Q' && b == 'R';
}

bool ReplyTracker::TextEnds(std::uint8_t byte, bool onlyByteOfFirstRead, bool lastOfRead) {
  ++kept_;
  const std::int64_t h = count_;
  if (byte == ':' || byte == '>') {
    if (onlyByteOfFirstRead) return true;
    if (!lastOfRead) return false;
    return (cr_ == h - 2 && lf_ == h - 1) || ctrlZ_ == h - 1 || (qu_ && cr_ == h - 1) || mg_ ||
           (cr_ == h - 3 && lf_ == h - 2);
  }
  // A controller error: alone, or at the start of a line.
  if (byte == '?') return onlyByteOfFirstRead || lf_ == h - 1;
  return false;
}

bool ReplyTracker::BinaryEnds(std::uint8_t byte) {
  switch (binaryReply_.Next(byte)) {
    case orvan::protocol::BinaryByte::Outside:
      // A refused upload answers '?'; anything else before the header is not the reply.
      return byte == '?';
    case orvan::protocol::BinaryByte::Last:
      ++kept_;
      return true;
    default:
      ++kept_;
      return false;
  }
}

bool ReplyTracker::Count(const std::uint8_t* bytes, std::size_t length) {
  for (std::size_t offset = 0; offset < length;) {
    const std::size_t read = std::min(kEngineRead, length - offset);
    const bool firstRead = count_ == 0;
    for (std::size_t i = 0; i < read; ++i) {
      const std::uint8_t byte = bytes[offset + i];
      const bool ends =
          binary_ ? BinaryEnds(byte) : TextEnds(byte, firstRead && read == 1, i + 1 == read);
      if (byte == kCr) cr_ = count_;
      if (byte == kLf) lf_ = count_;
      if (byte == kCtrlZ) ctrlZ_ = count_;
      ++count_;
      if (ends) return true;
    }
    offset += read;
    // The library stops waiting for a reply this long.
    if (kept_ > kEngineReplyLimit) return true;
  }
  return false;
}
