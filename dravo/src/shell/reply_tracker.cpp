// The engine's reply endings, applied to the bytes a connection passes to its client.
#include "shell/reply_tracker.hpp"

#include <algorithm>
#include <string>

namespace protocol = orvan::protocol;

void ReplyTracker::Reset() { replyEnd = protocol::ReplyEnd(); }

void ReplyTracker::Start(const std::uint8_t* command, std::size_t length) {
  const std::string text(reinterpret_cast<const char*>(command), length);
  replyEnd = protocol::ReplyEnd(protocol::ReplyModesOf(text));
}

bool ReplyTracker::Count(const std::uint8_t* bytes, std::size_t length, std::size_t* used) {
  if (used) *used = length;
  for (std::size_t offset = 0; offset < length;) {
    // The library reads at most a block at a time, and each delivery reaches it as one record:
    // its reads of this delivery end where the blocks do.
    const std::size_t read = std::min(protocol::kEngineReadBlock, length - offset);
    replyEnd.StartRead(read);
    for (std::size_t i = 0; i < read; ++i) {
      const protocol::ReplyByte verdict = replyEnd.Next(bytes[offset + i]);
      if (verdict == protocol::ReplyByte::Ends || verdict == protocol::ReplyByte::ControllerError) {
        if (used) *used = offset + i + 1;
        return true;
      }
    }
    offset += read;
    // The library stops waiting for a reply this long.
    if (replyEnd.Overlong()) {
      if (used) *used = offset;
      return true;
    }
  }
  return false;
}
