// Decides when a controller's reply to a cooked command is complete, on exactly the endings on
// which the library's command engine ends it (the shared reply-end rule), so the resource is
// handed on neither before the client has its reply nor after.
#pragma once

#include <cstddef>
#include <cstdint>

#include "protocol/reply_end.hpp"

class ReplyTracker {
public:
  // The library gives a reply up once it has kept more than this many bytes.
  static constexpr std::size_t kEngineReplyLimit = orvan::protocol::kReplyLimit;

  // Forgets the reply counted so far; no command modes.
  void Reset();
  // Starts the reply to a command: the command's first two non-blank bytes set the modes the
  // engine reads its reply in ("MG", "QU", and "QR" whose binary reply ends by its length).
  void Start(const std::uint8_t* command, std::size_t length);
  // Counts one delivery of reply bytes; true when a byte of it completes the reply (the
  // bytes after that byte belong to no reply and are not counted). `used`, when given, gets
  // the number of bytes up to and with that byte (all of them when the reply goes on).
  bool Count(const std::uint8_t* bytes, std::size_t length, std::size_t* used = nullptr);

  std::uint32_t CountedBytes() const { return static_cast<std::uint32_t>(replyEnd.Scanned()); }

private:
  orvan::protocol::ReplyEnd replyEnd;
};
