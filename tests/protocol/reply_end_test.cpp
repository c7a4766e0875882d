// Where a controller reply ends: the prompt rules of text replies read by read, the '?' of a
// refused command, binary replies by their length, and the modes a command sets.
#include "protocol/reply_end.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using orvan::protocol::ReplyByte;
using orvan::protocol::ReplyEnd;
using orvan::protocol::ReplyModes;
using orvan::protocol::ReplyModesOf;

// How the reply to `command` went over `reads`: "ends R:I" or "error R:I" at read R, byte I, or
// "open"; the bytes kept and those outside the reply.
struct Outcome {
  std::string end = "open";
  std::string kept;
  std::string outside;
};

Outcome Follow(const std::string& command, const std::vector<std::string>& reads) {
  ReplyEnd replyEnd(ReplyModesOf(command));
  Outcome outcome;
  for (std::size_t r = 0; r < reads.size(); ++r) {
    replyEnd.StartRead(reads[r].size());
    for (std::size_t i = 0; i < reads[r].size(); ++i) {
      const char byte = reads[r][i];
      const ReplyByte verdict = replyEnd.Next(static_cast<std::uint8_t>(byte));
      const std::string at = std::to_string(r) + ":" + std::to_string(i);
      if (verdict == ReplyByte::Outside) {
        outcome.outside += byte;
        continue;
      }
      outcome.kept += byte;
      if (verdict == ReplyByte::Ends) outcome.end = "ends " + at;
      if (verdict == ReplyByte::ControllerError) outcome.end = "error " + at;
      if (verdict != ReplyByte::Kept) return outcome;
    }
  }
  return outcome;
}

struct Case {
  const char* name;
  std::string command;
  std::vector<std::string> reads;
  std::string end;
};

TEST(ReplyEndTest, TextReplies) {
  const std::vector<Case> cases = {
      {"lone colon", "TP", {":"}, "ends 0:0"},
      {"lone prompt", "TP", {">"}, "ends 0:0"},
      {"lone question mark", "TP", {"?"}, "error 0:0"},
      {"question mark first in the reply", "TP", {"?12\r\n:"}, "error 0:0"},
      {"CR LF colon", "TP", {" 123\r\n:"}, "ends 0:6"},
      {"colon alone after CR LF in an earlier read", "TP", {" 123\r\n", ":"}, "ends 1:0"},
      {"colon alone in a later read", "TP", {"ab", ":"}, "open"},
      {"colon inside a read", "TP", {"12\r\n:3"}, "open"},
      {"colon after CR alone", "TP", {"12\r:"}, "open"},
      {"colon after CR in QU mode", "QU a[]", {"12\r:"}, "ends 0:3"},
      {"colon after text", "TP", {"hello:"}, "open"},
      {"colon after text in MG mode", "MG \"hi\"", {"hello:"}, "ends 0:5"},
      {"MG mode ends only at the end of a read", "MG 1", {"a:b>c"}, "open"},
      {"prompt after text in MG mode", "MG 1", {"hello>"}, "ends 0:5"},
      {"lower-case mg is no mode", "mg 1", {"hello:"}, "open"},
      {"colon after Ctrl-Z", "LS", {"abc\x1a:"}, "ends 0:4"},
      {"prompt after Ctrl-Z", "LS", {"abc\x1a>"}, "ends 0:4"},
      {"prompt after CR LF", "TP", {"x\r\n>"}, "ends 0:3"},
      {"colon after CR LF and one byte", "TP", {"\r\nx:"}, "ends 0:3"},
      {"colon after CR LF and two bytes", "TP", {"\r\nxy:"}, "open"},
      {"question mark after LF in a later read", "TP", {"x\r\n", "?"}, "error 1:0"},
      {"question mark after LF inside a read", "TP", {"x\n?yz"}, "error 0:2"},
      {"question mark inside a line", "TP", {"x?", "y?\r\n:"}, "ends 1:4"},
  };
  for (const auto& c : cases) EXPECT_EQ(Follow(c.command, c.reads).end, c.end) << c.name;
}

TEST(ReplyEndTest, BinaryReplies) {
  const std::string header256("\x87\x00\x00\x01", 4);
  const Outcome split = Follow("QR", {"ab\x87Z\x05", std::string(1, '\0'), "x", "y:"});
  EXPECT_EQ(split.end, "ends 3:0");
  EXPECT_EQ(split.kept, std::string("\x87Z\x05\0xy", 6));
  EXPECT_EQ(split.outside, "ab");

  const Case cases[] = {
      {"text prompts end no binary reply",
       "QR",
       {std::string("\x87\x05\x01", 3), "\r\n:", "?"},
       "open"},
      {"refused upload", "QR", {"\r\n:?"}, "error 0:3"},
      {"question mark inside the reply is data",
       "QR",
       {"\x87?\x05", std::string("\0??", 3)},
       "ends 1:2"},
      {"length 256 over reads",
       "QR",
       {header256 + std::string(250, 'r'), std::string(3, 'r')},
       "ends 1:2"},
      {"after leading blanks",
       "  QR",
       {"\x87"
        "a\x04",
        std::string("\0z", 2)},
       "ends 1:1"},
  };
  for (const auto& c : cases) EXPECT_EQ(Follow(c.command, c.reads).end, c.end) << c.name;
}

TEST(ReplyEndTest, ModesFromTheCommand) {
  struct ModeCase {
    const char* command;
    bool binary, qu, mg;
  };
  const ModeCase cases[] = {
      {"QR", true, false, false},     {"  QR 1", true, false, false},
      {"QU a[]", false, true, false}, {"MG\"x\"", false, false, true},
      {"mg 1", false, false, false},  {"Q", false, false, false},
      {" Q R", false, false, false},  {"", false, false, false},
      {"TP", false, false, false},
  };
  for (const auto& c : cases) {
    const ReplyModes modes = ReplyModesOf(c.command);
    EXPECT_EQ(modes.binary, c.binary) << c.command;
    EXPECT_EQ(modes.qu, c.qu) << c.command;
    EXPECT_EQ(modes.mg, c.mg) << c.command;
  }
}

TEST(ReplyEndTest, ReplyLimitAndCount) {
  ReplyEnd replyEnd;
  const std::string block(orvan::protocol::kEngineReadBlock, 'x');
  std::size_t kept = 0;
  while (kept + block.size() <= orvan::protocol::kReplyLimit) {
    replyEnd.StartRead(block.size());
    for (const char byte : block) ASSERT_EQ(replyEnd.Next(byte), ReplyByte::Kept);
    kept += block.size();
  }
  EXPECT_FALSE(replyEnd.Overlong());
  replyEnd.StartRead(block.size());
  for (const char byte : block) replyEnd.Next(byte);
  EXPECT_TRUE(replyEnd.Overlong());
  EXPECT_EQ(replyEnd.Scanned(), kept + block.size());

  // Bytes before a binary header are scanned but not kept.
  ReplyEnd binary(ReplyModesOf("QR"));
  binary.StartRead(3);
  for (const char byte : std::string("abc")) EXPECT_EQ(binary.Next(byte), ReplyByte::Outside);
  EXPECT_EQ(binary.Scanned(), 3u);
  EXPECT_FALSE(binary.Overlong());
}

}  // namespace
