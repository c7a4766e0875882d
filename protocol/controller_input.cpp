// Sorting one controller read into reply bytes, message bytes and ends of binary replies.
#include "protocol/controller_input.hpp"

#include <algorithm>
#include <cstring>
#include <iterator>

namespace orvan::protocol {
namespace {
constexpr std::uint8_t kMarker[] = {0x50, 0x11, 0x01};
}  // namespace

void ControllerInput::Sort(const std::uint8_t* bytes, std::size_t length, bool owned,
                           InputEvents& events) {
  do {
    const std::size_t block = std::min(length, kControllerBlock);
    SortBlock(bytes, block, owned, events);
    bytes += block;
    length -= block;
  } while (length > 0);
}

void ControllerInput::SortBlock(const std::uint8_t* bytes, std::size_t length, bool owned,
                                InputEvents& events) {
  responseCount = unsolicitedCount = 0;
  for (std::size_t i = 0; i < length; ++i) {
    const std::uint8_t byte = bytes[i];
    const BinaryByte place = binary.Next(byte);
    if (place == BinaryByte::Outside && (byte & 0x80)) {
      unsolicited[unsolicitedCount++] = byte & 0x7F;
      continue;
    }
    response[responseCount++] = byte;
    if (place == BinaryByte::Last && owned) {
      events.Reply(response.data(), responseCount, true, false);
      responseCount = 0;
    }
  }
  DropMarked();
  if (responseCount != 0) events.Reply(response.data(), responseCount, false, binary.Active());
  if (unsolicitedCount != 0) events.Unsolicited(unsolicited.data(), unsolicitedCount);
}

void ControllerInput::DropMarked() {
  const auto text = response.begin();
  const auto textEnd = std::find(text, text + responseCount, 0);
  const auto colon = std::find(text, textEnd, ':');
  if (std::search(text, colon, std::begin(kMarker), std::end(kMarker)) == colon) return;
  // The text, its zero byte and one byte more.
  const std::size_t dropped = std::min(responseCount, static_cast<std::size_t>(textEnd - text) + 2);
  std::memmove(response.data(), response.data() + dropped, responseCount - dropped);
  responseCount -= dropped;
  unsolicitedCount = 0;
}

}  // namespace orvan::protocol
