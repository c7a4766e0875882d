// The binary-reply header: which bytes open a reply, and where its declared length ends it.
#include "protocol/binary_reply.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using orvan::protocol::BinaryByte;
using orvan::protocol::BinaryReply;

// One letter per byte: o outside, h header, b body, l last.
std::string Places(const std::string& bytes) {
  BinaryReply reply;
  std::string places;
  for (const char byte : bytes) {
    switch (reply.Next(static_cast<std::uint8_t>(byte))) {
      case BinaryByte::Outside:
        places += 'o';
        break;
      case BinaryByte::Header:
        places += 'h';
        break;
      case BinaryByte::Body:
        places += 'b';
        break;
      case BinaryByte::Last:
        places += 'l';
        break;
    }
  }
  return places;
}

// A header byte, a second byte, the declared length, then `body` bytes.
std::string Reply(unsigned declared, std::size_t body, char header = '\x87') {
  std::string bytes{header, 'x', static_cast<char>(declared & 0xFF),
                    static_cast<char>(declared >> 8)};
  return bytes + std::string(body, 'r');
}

struct Case {
  const char* name;
  std::string bytes;
  std::string places;
};

TEST(BinaryReplyTest, HeaderAndLength) {
  const std::vector<Case> cases = {
      {"text and message bytes open nothing", "a:\x7F\xC8\x88\xFF", "oooooo"},
      {"every header byte by the mask", "\x80\x01", "hb"},
      {"header 0x97", "\x97", "h"},
      {"header 0xF0 is no header", "\xF0", "o"},
      {"length 5 ends after 6 bytes", Reply(5, 2), "hbbbbl"},
      {"length 3 ends with the header", Reply(3, 0), "hbbl"},
      {"length below 3 ends with the header", Reply(2, 0) + "z", "hbblo"},
      {"length 0 ends with the header", Reply(0, 0), "hbbl"},
      {"the reply's bytes may look like headers", Reply(6, 0, '\x80') + "\x87\x80\x87\x87",
       "hbbbbblh"},
      {"idle again after the last byte", Reply(4, 1) + "q" + Reply(4, 1), "hbbblohbbbl"},
      {"length 256 ends after 257 bytes", Reply(256, 253), "hbbb" + std::string(252, 'b') + "l"},
      {"high byte of the length counts 256", Reply(0x0100, 0), "hbbb"},
  };
  for (const auto& c : cases) EXPECT_EQ(Places(c.bytes), c.places) << c.name;
}

TEST(BinaryReplyTest, StateBetweenBytes) {
  BinaryReply reply;
  EXPECT_FALSE(reply.Active());
  EXPECT_EQ(reply.Remaining(), -1);
  for (const char byte : Reply(10, 0)) reply.Next(static_cast<std::uint8_t>(byte));
  EXPECT_TRUE(reply.Active());
  EXPECT_EQ(reply.State(), 4);
  EXPECT_EQ(reply.Remaining(), 7);
  for (int i = 0; i < 6; ++i) EXPECT_EQ(reply.Next('r'), BinaryByte::Body);
  EXPECT_EQ(reply.Next('r'), BinaryByte::Last);
  EXPECT_FALSE(reply.Active());
  EXPECT_EQ(reply.Remaining(), -1);
}

}  // namespace
