// Sorting controller reads: reply text and message bytes, binary replies ended by their length
// within a read or across reads, the marked reply that is for no client, and long reads.
#include "protocol/controller_input.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using orvan::protocol::ControllerInput;
using orvan::protocol::kControllerBlock;

// Each event as a letter and its bytes: R reply text, B the start of a binary reply, C a
// complete binary reply, U message bytes.
class Recorder final : public orvan::protocol::InputEvents {
public:
  void Reply(const std::uint8_t* bytes, std::size_t length, bool complete,
             bool binaryPart) override {
    events.push_back((complete ? "C" : binaryPart ? "B" : "R") + Text(bytes, length));
  }
  void Unsolicited(const std::uint8_t* bytes, std::size_t length) override {
    events.push_back("U" + Text(bytes, length));
  }
  std::vector<std::string> events;

private:
  static std::string Text(const std::uint8_t* bytes, std::size_t length) {
    return std::string(reinterpret_cast<const char*>(bytes), length);
  }
};

std::vector<std::string> Sort(const std::vector<std::string>& reads, bool owned) {
  ControllerInput input;
  Recorder recorder;
  for (const auto& read : reads) {
    input.Sort(reinterpret_cast<const std::uint8_t*>(read.data()), read.size(), owned, recorder);
  }
  return recorder.events;
}

// A binary reply of `total` bytes (its declared length is one less), body bytes 'r'.
std::string Binary(std::size_t total) {
  const std::size_t declared = total - 1;
  return std::string{'\x87', 'x', static_cast<char>(declared & 0xFF),
                     static_cast<char>(declared >> 8)} +
         std::string(total - 4, 'r');
}

struct Case {
  const char* name;
  bool owned;
  std::vector<std::string> reads;
  std::vector<std::string> events;
};

TEST(ControllerInputTest, SortsReads) {
  const std::string binary = Binary(257);
  // The marker, text, the zero byte after it and one byte more.
  const std::string marked = std::string("\x50\x11\x01", 3) + std::string("abc\0X", 5);
  const std::vector<Case> cases = {
      {"reply text", true, {" 12\r\n:"}, {"R 12\r\n:"}},
      {"reply text without an owner", false, {" 12\r\n:"}, {"R 12\r\n:"}},
      {"a message byte inside reply text",
       true,
       {"ab\xC8"
        "cd"},
       {"Rabcd", "UH"}},
      {"messages alone", false, {"\xC8\xE9"}, {"UHi"}},
      {"binary reply in one read", true, {binary + "\r\n:"}, {"C" + binary, "R\r\n:"}},
      {"binary reply over two reads",
       true,
       {binary.substr(0, 100), binary.substr(100) + ":"},
       {"B" + binary.substr(0, 100), "C" + binary.substr(100), "R:"}},
      {"message bytes inside a binary reply are its data",
       true,
       {std::string("\x87x\x05\0\xC8\xC9", 6)},
       {"C" + std::string("\x87x\x05\0\xC8\xC9", 6)}},
      {"two binary replies in one read",
       true,
       {Binary(5) + Binary(6)},
       {"C" + Binary(5), "C" + Binary(6)}},
      {"binary reply without an owner stays with the text",
       false,
       {Binary(5) + "ok"},
       {"R" + Binary(5) + "ok"}},
      {"declared length below 3 ends at the fourth byte",
       true,
       {std::string("\x87x\x01\0ab", 6)},
       {"C" + std::string("\x87x\x01\0", 4), "Rab"}},
      {"marked reply and the messages of its read go", true, {marked + "rest:\xC8"}, {"Rrest:"}},
      {"marked reply without a zero byte goes whole",
       true,
       {"\x50\x11\x01"
        "abc\xC8"},
       {}},
      {"marker after the prompt is text", true, {"ok:\x50\x11\x01"}, {"Rok:\x50\x11\x01"}},
      {"marker split by a message byte",
       true,
       {"\x50\xC8\x11\x01"
        "a"},
       {}},
      {"empty read", true, {""}, {}},
  };
  for (const auto& c : cases) EXPECT_EQ(Sort(c.reads, c.owned), c.events) << c.name;
}

TEST(ControllerInputTest, LongReadIsSortedBlockByBlock) {
  const std::string read(kControllerBlock + 88, 'a');
  const auto events = Sort({read}, true);
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[0], "R" + std::string(kControllerBlock, 'a'));
  EXPECT_EQ(events[1], "R" + std::string(88, 'a'));
}

TEST(ControllerInputTest, BinaryReplyStateSpansReads) {
  ControllerInput input;
  Recorder recorder;
  const std::string head = Binary(20).substr(0, 6);
  input.Sort(reinterpret_cast<const std::uint8_t*>(head.data()), head.size(), true, recorder);
  EXPECT_TRUE(input.BinaryActive());
  const std::string rest(14, 'r');
  input.Sort(reinterpret_cast<const std::uint8_t*>(rest.data()), rest.size(), true, recorder);
  EXPECT_FALSE(input.BinaryActive());
}

}  // namespace
