#include "platform/device_root.hpp"

#include <cstdlib>

namespace platform {

std::string UnderDeviceRoot(const std::string& absolutePath) {
  const char* root = std::getenv("ORVAN_DEVICE_ROOT");
  if (!root || !*root) return absolutePath;
  std::string under(root);
  while (!under.empty() && under.back() == '/') under.pop_back();
  return under + absolutePath;
}

}  // namespace platform
