// The bytes and numbers of the server's shell protocol that the library (as client) and the
// server must agree on: escapes and modes, framing, answer terminators and limits.
#pragma once

#include <cstddef>
#include <cstdint>

namespace orvan::protocol {

// ESC and the letter after it switch a channel's mode or subscriptions (either case).
constexpr std::uint8_t kEscape = 0x1B;
constexpr char kEscapeCooked = 'c';
constexpr char kEscapeRaw = 'r';
constexpr char kEscapeShell = 's';
constexpr char kEscapeMessages = 'm';
constexpr char kEscapeRecords = 'd';
constexpr char kEscapeInterrupts = 'i';
// The library's keep-alive: it only counts as traffic.
constexpr char kEscapeKeepAlive = 'k';
// The byte after ESC as the lower-case letter the constants above name.
constexpr char EscapeLetter(std::uint8_t byte) {
  return static_cast<char>(byte >= 'A' && byte <= 'Z' ? byte - 'A' + 'a' : byte);
}

// Modes of a channel: shell commands; raw data for the linked controller; controller commands
// with their replies tracked.
constexpr std::uint32_t kShellMode = 0;
constexpr std::uint32_t kRawMode = 1;
constexpr std::uint32_t kCookedMode = 2;

// A shell or controller command ends with CR; in cooked mode ';' ends one too. BS in shell
// mode takes back the last byte of the line.
constexpr std::uint8_t kCommandEnd = 0x0D;
constexpr std::uint8_t kCommandSeparator = ';';
constexpr std::uint8_t kBackspace = 0x08;

// Every shell answer ends with one of these.
constexpr char kSuccessTerminator = '~';
constexpr char kErrorTerminator = '\\';

// The most one request (a cooked command with its CR, one received chunk, one datagram) holds.
constexpr std::size_t kRequestSize = 449;
// What the server answers to "a -c"; the library works with no other.
constexpr std::uint32_t kCompatibility = 1;

// The server listens on this TCP (TLS) and UDP port.
constexpr std::uint16_t kServerPort = 23;
// A controller's command port, and the UDP port of its unsolicited data.
constexpr std::uint16_t kControllerCommandPort = 23;
constexpr std::uint16_t kControllerUnsolicitedPort = 60007;

}  // namespace orvan::protocol
