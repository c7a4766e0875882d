// Sorts what a controller sends on a shared connection into what its clients receive: reply
// bytes for the client whose command is being served, message bytes (bit 7 set on the wire) for
// the message subscribers, and the end of each binary reply. The server's resource drives it
// with every read; whether the owner's raw mode bypasses it is the resource's business.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "protocol/binary_reply.hpp"

namespace orvan::protocol {

// The server reads controllers in blocks of this many bytes.
constexpr std::size_t kControllerBlock = 512;

// Where sorted bytes go. Every call hands over bytes that the sorter keeps only until it returns.
class InputEvents {
public:
  // Reply bytes: the owner's, or with no owner the message subscribers'. `complete`: a binary
  // reply ends with them. `binaryPart`: they begin a binary reply that the next read goes on
  // with, so they are no reply text.
  virtual void Reply(const std::uint8_t* bytes, std::size_t length, bool complete,
                     bool binaryPart) = 0;
  // Message bytes, bit 7 cleared.
  virtual void Unsolicited(const std::uint8_t* bytes, std::size_t length) = 0;

protected:
  ~InputEvents() = default;
};

class ControllerInput {
public:
  // One read. `owned`: a client's command is being served, so each binary reply goes to it as
  // soon as it is complete. A read longer than kControllerBlock is sorted as consecutive reads.
  void Sort(const std::uint8_t* bytes, std::size_t length, bool owned, InputEvents& events);
  // A binary reply begun in an earlier read is still coming.
  bool BinaryActive() const { return binary.Active(); }

private:
  void SortBlock(const std::uint8_t* bytes, std::size_t length, bool owned, InputEvents& events);
  // A reply that carries the marker before its prompt is for no client: it goes, with the
  // messages of the same read.
  void DropMarked();

  BinaryReply binary;  // lives from read to read; the buffers below do not
  std::array<std::uint8_t, kControllerBlock> response{};
  std::size_t responseCount = 0;
  std::array<std::uint8_t, kControllerBlock> unsolicited{};
  std::size_t unsolicitedCount = 0;
};

}  // namespace orvan::protocol
