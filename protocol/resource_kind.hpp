// The kinds of hardware connection the server holds, by the numbers it stores and the words its
// listings and the shell's open and link commands use.
#pragma once

#include <cstdint>

namespace orvan::protocol {

constexpr std::uint32_t kKindTcp = 0;
constexpr std::uint32_t kKindUdp = 1;
constexpr std::uint32_t kKindSerial = 2;
constexpr std::uint32_t kKindPci = 3;

// "tcp", "udp", "ser", "pci"; "???" for any other number.
const char* KindWord(std::uint32_t kind);

}  // namespace orvan::protocol
