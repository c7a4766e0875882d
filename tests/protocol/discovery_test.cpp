// The discovery query's bytes and the text of a controller's answer: its tail cut off, and
// every byte that could break a shell answer or a C string replaced.
#include "protocol/discovery.hpp"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

namespace {

using orvan::protocol::DiscoveryAnswerText;

TEST(DiscoveryTest, QueryAsksForTheRevisionAndReleasesTheHandle) {
  const auto& query = orvan::protocol::DiscoveryQuery();
  EXPECT_EQ(std::string(query.begin(), query.end()), "\x12\x16\rIHS=>-1\r");
}

TEST(DiscoveryTest, AnswerText) {
  struct Case {
    const char* name;
    std::string datagram;
    std::optional<std::string> text;
  };
  const std::vector<Case> cases = {
      {"a revision line", "VKT4140 Rev 1.0b\r\n:", "VKT4140 Rev 1.0b"},
      {"one byte of text", "x\r\n:", "x"},
      {"three bytes are only the tail", "\r\n:", std::nullopt},
      {"shorter still", ":", std::nullopt},
      {"empty", "", std::nullopt},
      {"the tail is cut whatever it holds", "abcdef", "abc"},
      {"terminators", "a~b\\c\r\n:", "a?b?c"},
      {"line ends inside", "one\r\ntwo\r\n:", "one??two"},
      {"NUL and other control bytes", std::string("a\0b\x1b\x7f\x01z\r\n:", 10), "a?b???z"},
      {"bytes with bit 7 pass", "caf\xc3\xa9\r\n:", "caf\xc3\xa9"},
      {"longest answer read", std::string(509, 'x') + "\r\n:", std::string(509, 'x')},
  };
  for (const auto& c : cases) {
    const auto text =
        DiscoveryAnswerText(reinterpret_cast<const uint8_t*>(c.datagram.data()), c.datagram.size());
    EXPECT_EQ(text, c.text) << c.name;
  }
}

}  // namespace
