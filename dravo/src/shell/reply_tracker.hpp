// Decides when a controller's reply to a cooked command is complete, on exactly the endings on
// which the library's command engine ends it, so the resource is handed on neither before the
// client has its reply nor after.
#pragma once

#include <cstddef>
#include <cstdint>

#include "protocol/binary_reply.hpp"

class ReplyTracker {
public:
  // The library reads at most this many bytes at once; a ':' or '>' ends a reply only as the
  // last byte of one of its reads, and each delivery reaches it as one record.
  static constexpr std::size_t kEngineRead = 406;
  // The library gives a reply up once it has kept more than this many bytes.
  static constexpr std::size_t kEngineReplyLimit = 4u << 20;

  // Forgets the reply counted so far; no command modes.
  void Reset();
  // Starts the reply to a command: the command's first two non-blank bytes set the modes the
  // engine reads its reply in ("MG", "QU", and "QR" whose binary reply ends by its length).
  void Start(const std::uint8_t* command, std::size_t length);
  // Counts one delivery of reply bytes; true when a byte of it completes the reply (the
  // bytes after that byte belong to no reply and are not counted).
  bool Count(const std::uint8_t* bytes, std::size_t length);

  std::uint32_t CountedBytes() const { return static_cast<std::uint32_t>(count_); }

private:
  bool TextEnds(std::uint8_t byte, bool onlyByteOfFirstRead, bool lastOfRead);
  bool BinaryEnds(std::uint8_t byte);

  // Position of the next byte; positions of the last CR, LF and Ctrl-Z, -1 for none.
  std::int64_t count_ = 0;
  std::int64_t cr_ = -1;
  std::int64_t lf_ = -1;
  std::int64_t ctrlZ_ = -1;
  // Bytes the engine keeps as its reply (in binary mode, from the header byte on).
  std::size_t kept_ = 0;
  bool mg_ = false;
  bool qu_ = false;
  bool binary_ = false;
  // The engine's binary reply.
  orvan::protocol::BinaryReply binaryReply_;
};
