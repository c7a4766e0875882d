// Following an abandoned reply: where it ends, and once the controller has been asked, only the
// echo of the newest token ends it.
#include "resources/reply_sync.hpp"

#include <gtest/gtest.h>

#include <set>
#include <string>

namespace {

ReplyTracker Tracking(const std::string& command, const std::string& counted) {
  ReplyTracker tracker;
  tracker.Start(reinterpret_cast<const std::uint8_t*>(command.data()), command.size());
  tracker.Count(reinterpret_cast<const std::uint8_t*>(counted.data()), counted.size());
  return tracker;
}

std::size_t Take(ReplySync& sync, const std::string& bytes, bool complete = false,
                 bool binaryPart = false) {
  return sync.Take(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size(), complete,
                   binaryPart);
}

// The token inside `MG "<token>"\r`.
std::string TokenOf(const std::string& question) {
  EXPECT_EQ(question.rfind("MG \"", 0), 0u) << question;
  EXPECT_EQ(question.substr(question.size() - 2), "\"\r");
  return question.substr(4, question.size() - 6);
}

struct FollowCase {
  const char* name;
  std::string command, counted;  // the reply so far, as the client's shell counted it
  std::string chunk;
  bool complete, binaryPart;
  std::size_t dropped;
  bool ends;
};

class Following : public testing::TestWithParam<FollowCase> {};

TEST_P(Following, DropsTheRestOfTheReplyUpToItsEnd) {
  const auto& param = GetParam();
  ReplySync sync;
  sync.Follow(Tracking(param.command, param.counted));
  EXPECT_EQ(Take(sync, param.chunk, param.complete, param.binaryPart), param.dropped);
  EXPECT_EQ(sync.Active(), !param.ends);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Following,
    testing::Values(FollowCase{"WholeReply", "TP\r", "", " 12\r\n:", false, false, 6, true},
                    FollowCase{"PromptAfterCountedLine", "TP\r", " 12\r\n", ":", false, false, 1,
                               true},
                    FollowCase{"BytesAfterTheEnd", "TP\r", "x", "\n?yz", false, false, 2, true},
                    FollowCase{"ColonInsideText", "TP\r", "", "12:3", false, false, 4, false},
                    FollowCase{"ControllerError", "TP\r", "", "?", false, false, 1, true},
                    FollowCase{"BinaryReplyEnd", "QR\r", "", "xyz", true, false, 3, true},
                    FollowCase{"BinaryPartIsNoText", "TP\r", "", "1\r\n:", false, true, 4, false}),
    [](const testing::TestParamInfo<FollowCase>& info) { return info.param.name; });

TEST(ReplySync, OnceAskedOnlyTheEchoOfTheNewestTokenAndItsPromptEndIt) {
  ReplySync sync;
  sync.Follow(Tracking("WT 60000\r", ""));
  const std::string first = TokenOf(sync.Ask());
  const std::string newest = TokenOf(sync.Ask());
  EXPECT_NE(first, newest);
  EXPECT_TRUE(sync.Asking());
  // The abandoned reply's own end, an echoed command line and an older token end nothing.
  for (const std::string& chunk :
       {std::string(":"), "MG \"" + newest + "\"\r\n:", first + "\r\n:"}) {
    EXPECT_EQ(Take(sync, chunk), chunk.size()) << chunk;
    EXPECT_TRUE(sync.Active()) << chunk;
  }
  // The echo may come in pieces; what follows its prompt is nobody's.
  EXPECT_EQ(Take(sync, "late text " + newest.substr(0, 5)), 15u);
  EXPECT_EQ(Take(sync, newest.substr(5) + "\r"), newest.size() - 4);
  EXPECT_TRUE(sync.Active());
  EXPECT_EQ(Take(sync, "\n:rest"), 2u);
  EXPECT_FALSE(sync.Active());
}

TEST(ReplySync, TokensAreNotRepeatedAcrossResources) {
  std::set<std::string> tokens;
  for (int i = 0; i < 8; ++i) {
    ReplySync sync;
    sync.Follow(ReplyTracker());
    tokens.insert(TokenOf(sync.Ask()));
  }
  EXPECT_EQ(tokens.size(), 8u);
}

}  // namespace
