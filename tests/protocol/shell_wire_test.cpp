// The shell's wire values and resource kinds: peers built at other times meet over the network
// with these bytes and numbers, so a change to one would break them silently.
#include "protocol/shell_wire.hpp"
#include "protocol/resource_kind.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

namespace {

namespace protocol = orvan::protocol;

TEST(ShellWireTest, ValuesOnTheWire) {
  struct Case {
    const char* name;
    std::uint32_t value;
    std::uint32_t wire;
  };
  const Case cases[] = {
      {"ESC", protocol::kEscape, 0x1B},
      {"cooked", static_cast<std::uint8_t>(protocol::kEscapeCooked), 'c'},
      {"raw", static_cast<std::uint8_t>(protocol::kEscapeRaw), 'r'},
      {"shell", static_cast<std::uint8_t>(protocol::kEscapeShell), 's'},
      {"messages", static_cast<std::uint8_t>(protocol::kEscapeMessages), 'm'},
      {"data records", static_cast<std::uint8_t>(protocol::kEscapeRecords), 'd'},
      {"interrupts", static_cast<std::uint8_t>(protocol::kEscapeInterrupts), 'i'},
      {"keep-alive", static_cast<std::uint8_t>(protocol::kEscapeKeepAlive), 'k'},
      {"upper-case escape", static_cast<std::uint8_t>(protocol::EscapeLetter('C')), 'c'},
      {"lower-case escape", static_cast<std::uint8_t>(protocol::EscapeLetter('i')), 'i'},
      {"no letter", static_cast<std::uint8_t>(protocol::EscapeLetter(0xC3)), 0xC3},
      {"shell mode", protocol::kShellMode, 0},
      {"raw mode", protocol::kRawMode, 1},
      {"cooked mode", protocol::kCookedMode, 2},
      {"command end", protocol::kCommandEnd, '\r'},
      {"command separator", protocol::kCommandSeparator, ';'},
      {"backspace", protocol::kBackspace, 0x08},
      {"success", static_cast<std::uint8_t>(protocol::kSuccessTerminator), '~'},
      {"error", static_cast<std::uint8_t>(protocol::kErrorTerminator), '\\'},
      {"request size", static_cast<std::uint32_t>(protocol::kRequestSize), 449},
      {"compatibility", protocol::kCompatibility, 1},
      {"server port", protocol::kServerPort, 23},
      {"controller command port", protocol::kControllerCommandPort, 23},
      {"controller unsolicited port", protocol::kControllerUnsolicitedPort, 60007},
      {"tcp", protocol::kKindTcp, 0},
      {"udp", protocol::kKindUdp, 1},
      {"serial", protocol::kKindSerial, 2},
      {"pci", protocol::kKindPci, 3},
  };
  for (const auto& c : cases) EXPECT_EQ(c.value, c.wire) << c.name;
}

TEST(ShellWireTest, KindWords) {
  struct Case {
    std::uint32_t kind;
    const char* word;
  };
  const Case cases[] = {{protocol::kKindTcp, "tcp"},
                        {protocol::kKindUdp, "udp"},
                        {protocol::kKindSerial, "ser"},
                        {protocol::kKindPci, "pci"},
                        {4, "???"},
                        {0xFFFFFFFF, "???"}};
  for (const auto& c : cases) EXPECT_EQ(std::string(protocol::KindWord(c.kind)), c.word) << c.kind;
}

}  // namespace
