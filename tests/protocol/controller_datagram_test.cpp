// Controller datagrams: records by their declared length, interrupts by length and mark, the
// rest text; and where an interrupt's status bytes lie.
#include "protocol/controller_datagram.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using orvan::protocol::ClassifyDatagram;
using orvan::protocol::DatagramKind;
using orvan::protocol::InterruptStatus;

// `size` bytes starting with `first`, declaring `declared` in bytes 2-3 when there is room.
std::string Datagram(std::size_t size, char first, std::size_t declared) {
  std::string bytes(size, 'x');
  if (size > 0) bytes[0] = first;
  if (size > 3) {
    bytes[2] = static_cast<char>(declared & 0xFF);
    bytes[3] = static_cast<char>(declared >> 8);
  }
  return bytes;
}

TEST(ControllerDatagramTest, Kinds) {
  struct Case {
    const char* name;
    std::string bytes;
    DatagramKind kind;
  };
  const std::vector<Case> cases = {
      {"shortest record", Datagram(19, '\x87', 19), DatagramKind::Record},
      {"record of 512 bytes", Datagram(512, '\x87', 512), DatagramKind::Record},
      {"record starting with the interrupt mark", Datagram(20, '\x01', 20), DatagramKind::Record},
      {"long datagram declaring another length", Datagram(19, '\x01', 20), DatagramKind::Text},
      {"record above 255 bytes", Datagram(275, '\x87', 275), DatagramKind::Record},
      {"low length byte alone is no match", Datagram(275, '\x87', 19), DatagramKind::Text},
      {"18 bytes are never a record", Datagram(18, '\x87', 18), DatagramKind::Text},
      {"longest interrupt", Datagram(18, '\x01', 18), DatagramKind::Interrupt},
      {"shortest interrupt", std::string("\x01\x05x", 3), DatagramKind::Interrupt},
      {"two bytes are text", std::string("\x01x", 2), DatagramKind::Text},
      {"empty datagram", std::string(), DatagramKind::Text},
      {"short datagram without the mark", std::string("\x02\x05x", 3), DatagramKind::Text},
      {"reply text", std::string("12.0\r\n:"), DatagramKind::Text},
  };
  for (const auto& c : cases)
    EXPECT_EQ(ClassifyDatagram(c.bytes.data(), c.bytes.size()), c.kind) << c.name;
}

TEST(ControllerDatagramTest, InterruptStatusBytes) {
  struct Case {
    std::size_t length, offset, count;
  };
  const Case cases[] = {{3, 1, 1}, {18, 1, 16}, {5, 1, 3}, {2, 1, 0}, {1, 0, 0}, {0, 0, 0}};
  for (const auto& c : cases) {
    const auto status = InterruptStatus(c.length);
    EXPECT_EQ(status.offset, c.offset) << c.length;
    EXPECT_EQ(status.count, c.count) << c.length;
  }
}

}  // namespace
