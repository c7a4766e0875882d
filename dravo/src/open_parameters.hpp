// One request to open a hardware connection, filled by the shell's open command.
#pragma once

#include <cstdint>
#include <string>

// Resource kinds.
constexpr std::uint32_t kKindTcp = 0;
constexpr std::uint32_t kKindUdp = 1;
constexpr std::uint32_t kKindSerial = 2;
constexpr std::uint32_t kKindPci = 3;

struct OpenParameters {
  std::string address;
  std::uint32_t baud = 115200;
  bool hardwareHandshake = true;
  std::uint16_t port = 60007;
  std::uint32_t kind = kKindUdp;
  std::uint32_t id = 0;
};
