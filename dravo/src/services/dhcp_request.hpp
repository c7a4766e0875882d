// One controller known to the IP assigner: the adapter it last asked on, when it last asked,
// and the image of its packet, which holds its assigned address and becomes each reply.
#pragma once

#include "protocol/bootp.hpp"

#include <chrono>
#include <optional>
#include <string>

struct DhcpRequest {
  using Time = std::chrono::time_point<std::chrono::system_clock, std::chrono::seconds>;

  std::string adapterName;       // empty until the controller asks
  bool suppress = false;         // another DHCP server serves its adapter: no reply, not listed
  std::optional<Time> lastSeen;  // none: never asked, older than any limit
  orvan::protocol::BootpPacket image = orvan::protocol::BootpTemplate();

  std::uint8_t ModelByte() const { return image[orvan::protocol::kBootpChaddr + 3]; }
  std::uint32_t Assigned() const {
    return orvan::protocol::ReadAddress(image, orvan::protocol::kBootpYiaddr);
  }
};
