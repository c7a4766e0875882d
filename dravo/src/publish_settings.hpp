// Whether and under which name and port the server announces itself by mDNS.
#pragma once

#include <cstdint>
#include <string>

struct PublishSettings {
  bool publish = false;
  std::string name;
  std::int32_t port = 0;
};
