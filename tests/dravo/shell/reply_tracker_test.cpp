// The reply tracker ends a reply exactly where the library's command engine ends it.
#include "shell/reply_tracker.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

struct Case {
  const char* name;
  std::string command;
  std::vector<std::string> chunks;
  int completedBy;  // index of the chunk that completes the reply, -1 none
};

const std::vector<Case>& Cases() {
  static const std::vector<Case> cases = {
      {"lone colon", "TP\r", {":"}, 0},
      {"lone question mark", "TP\r", {"?"}, 0},
      {"lone prompt", "TP\r", {">"}, 0},
      {"text CR LF colon in one chunk", "TP\r", {" 123\r\n:"}, 0},
      {"colon arrives alone after CR LF", "TP\r", {" 123\r\n", ":"}, 1},
      {"colon inside the text", "TP\r", {"12:3\r\n"}, -1},
      {"colon after CR alone", "TP\r", {"12\r:"}, -1},
      {"colon after CR in QU mode", "QU a[]\r", {"12\r:"}, 0},
      {"colon after plain text", "TP\r", {"hello:"}, -1},
      {"colon after plain text in MG mode", "MG \"hi\"\r", {"hello:"}, 0},
      {"MG after leading blanks", "  MG 1\r", {"hello>"}, 0},
      {"lower-case mg is no mode", "mg 1\r", {"hello:"}, -1},
      {"colon after Ctrl-Z", "LS\r", {"abc\x1a:"}, 0},
      {"prompt after Ctrl-Z", "LS\r", {"abc\x1a>"}, 0},
      {"prompt after CR LF", "TP\r", {"x\r\n>"}, 0},
      {"colon after CR LF and one byte", "TP\r", {"\r\nx:"}, 0},
      {"question mark after LF across chunks", "TP\r", {"x\r\n", "?"}, 1},
      {"question mark after text", "TP\r", {"x?"}, -1},
      {"question mark after LF inside a chunk", "TP\r", {"x\n?yz"}, 0},
      {"colon alone in a later chunk", "TP\r", {"ab", ":"}, -1},
      {"binary reply never ends on text",
       "QR\r",
       {std::string("\x87\x05\x01", 3), "\r\n:", "?"},
       -1},
      {"binary reply ends by its length",
       "QR\r",
       {"ab\x87Z", "\x05", std::string(1, '\0'), "x", "y:"},
       4},
      {"binary reply of length 256 over reads",
       "QR\r",
       {std::string("\x87\x01\x00\x01", 4) + std::string(250, 'r'), std::string(3, 'r')},
       1},
      {"refused binary upload", "QR\r", {"\r\n:?"}, 0},
      {"end of a library read inside a chunk", "TP\r", {std::string(403, 'a') + "\r\n:zz"}, 0},
      {"colon past a library read boundary", "TP\r", {std::string(404, 'a') + "\r\n:z"}, -1},
  };
  return cases;
}

class ReplyTrackerTest : public testing::TestWithParam<Case> {};

TEST_P(ReplyTrackerTest, EndsWhereTheEngineEnds) {
  const Case& c = GetParam();
  ReplyTracker tracker;
  tracker.Start(reinterpret_cast<const std::uint8_t*>(c.command.data()), c.command.size());
  int completedBy = -1;
  for (std::size_t i = 0; i < c.chunks.size() && completedBy < 0; ++i) {
    const auto& chunk = c.chunks[i];
    if (tracker.Count(reinterpret_cast<const std::uint8_t*>(chunk.data()), chunk.size())) {
      completedBy = static_cast<int>(i);
    }
  }
  EXPECT_EQ(completedBy, c.completedBy);
}

INSTANTIATE_TEST_SUITE_P(Endings, ReplyTrackerTest, testing::ValuesIn(Cases()),
                         [](const testing::TestParamInfo<Case>& info) {
                           std::string name = info.param.name;
                           for (char& ch : name) {
                             if (!isalnum(static_cast<unsigned char>(ch))) ch = '_';
                           }
                           return name;
                         });

TEST(ReplyTrackerResetTest, EndlessReplyEndsWhereTheLibraryGivesUp) {
  ReplyTracker tracker;
  tracker.Start(reinterpret_cast<const std::uint8_t*>("LS\r"), 3);
  const std::string block(512, 'x');
  std::size_t delivered = 0;
  while (!tracker.Count(reinterpret_cast<const std::uint8_t*>(block.data()), block.size())) {
    delivered += block.size();
    ASSERT_LE(delivered, ReplyTracker::kEngineReplyLimit);
  }
  EXPECT_GT(delivered + block.size(), ReplyTracker::kEngineReplyLimit);
}

TEST(ReplyTrackerResetTest, BytesAfterTheEndAreNotCounted) {
  ReplyTracker tracker;
  tracker.Start(reinterpret_cast<const std::uint8_t*>("TP\r"), 3);
  const std::string chunk = "1\n?rest";
  std::size_t used = 0;
  EXPECT_TRUE(
      tracker.Count(reinterpret_cast<const std::uint8_t*>(chunk.data()), chunk.size(), &used));
  EXPECT_EQ(tracker.CountedBytes(), 3u);
  EXPECT_EQ(used, 3u);  // where a resource following the reply stops dropping
  tracker.Reset();
  EXPECT_EQ(tracker.CountedBytes(), 0u);
  // After a reset a lone colon is the first read again.
  EXPECT_TRUE(tracker.Count(reinterpret_cast<const std::uint8_t*>(":"), 1));
}

}  // namespace
