// One request to open a hardware connection: filled by the shell's open command, read by the
// resource that opens it and by the server when it looks for an open one to reuse.
#pragma once

#include <cstdint>
#include <string>

#include "protocol/resource_kind.hpp"

struct OpenParameters {
  std::string address;             // as the client gave it; becomes the resource's address
  uint32_t baud = 0;               // serial baud rate
  bool hardwareHandshake = false;  // serial flow control on the hardware lines
  uint16_t port = 0;               // the controller's TCP or UDP port
  uint32_t kind = orvan::protocol::kKindTcp;  // one of the resource kinds
  uint32_t id = 0;                            // the id the server gave the new resource
};
