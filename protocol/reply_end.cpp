// The end of a controller reply: the prompt rules of text replies and the length of binary ones.
#include "protocol/reply_end.hpp"

namespace orvan::protocol {
namespace {
constexpr std::uint8_t kCr = 0x0D;
constexpr std::uint8_t kLf = 0x0A;
constexpr std::uint8_t kCtrlZ = 0x1A;

bool IsPrompt(std::uint8_t byte) { return byte == ':' || byte == '>'; }
}  // namespace

ReplyModes ReplyModesOf(const std::string& command) {
  const auto first = command.find_first_not_of(' ');
  ReplyModes modes;
  if (first == std::string::npos || command.size() - first < 2) return modes;
  const std::string word = command.substr(first, 2);
  modes.binary = word == "QR";
  modes.qu = word == "QU";
  modes.mg = word == "MG";
  return modes;
}

void ReplyEnd::StartRead(std::size_t length) {
  ++reads;
  readLength = length;
  readIndex = 0;
}

ReplyByte ReplyEnd::Next(std::uint8_t byte) {
  const ReplyByte verdict = modes.binary ? NextBinary(byte) : NextText(byte);
  ++scanned;
  ++readIndex;
  if (verdict != ReplyByte::Outside) ++kept;
  return verdict;
}

ReplyByte ReplyEnd::NextText(std::uint8_t byte) {
  const std::int64_t h = static_cast<std::int64_t>(kept);  // this byte's position in the reply
  const bool onlyByteOfFirstRead = reads == 1 && readLength == 1;
  if (byte == kCr) lastCr = h;
  if (byte == kLf) lastLf = h;
  if (byte == kCtrlZ) lastCtrlZ = h;
  if (IsPrompt(byte)) {
    if (onlyByteOfFirstRead) return ReplyByte::Ends;
    if (readIndex + 1 != readLength) return ReplyByte::Kept;
    const bool ends = (lastCr == h - 2 && lastLf == h - 1) || lastCtrlZ == h - 1 ||
                      (modes.qu && lastCr == h - 1) || modes.mg ||
                      (lastCr == h - 3 && lastLf == h - 2);
    return ends ? ReplyByte::Ends : ReplyByte::Kept;
  }
  // A controller error: alone, or at the start of a line.
  if (byte == '?' && (onlyByteOfFirstRead || lastLf == h - 1)) return ReplyByte::ControllerError;
  return ReplyByte::Kept;
}

ReplyByte ReplyEnd::NextBinary(std::uint8_t byte) {
  switch (binary.Next(byte)) {
    case BinaryByte::Outside:
      // A refused "QR" answers a plain '?'; unsolicited text here always has bit 7 set.
      return byte == '?' ? ReplyByte::ControllerError : ReplyByte::Outside;
    case BinaryByte::Last:
      return ReplyByte::Ends;
    default:
      return ReplyByte::Kept;
  }
}

}  // namespace orvan::protocol
