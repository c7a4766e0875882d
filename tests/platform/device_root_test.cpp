// The device root moves every listing path under the folder ORVAN_DEVICE_ROOT names.
#include <gtest/gtest.h>

#include <cstdlib>

#include "platform/device_root.hpp"

namespace {

TEST(DeviceRoot, ListingPathsMoveUnderTheFolderTheVariableNames) {
  const struct {
    const char* root;  // null: unset
    const char* expected;
  } cases[] = {
      {nullptr, "/sys/class/tty"},
      {"", "/sys/class/tty"},
      {"/tmp/tree", "/tmp/tree/sys/class/tty"},
      {"/tmp/tree//", "/tmp/tree/sys/class/tty"},
  };
  for (const auto& c : cases) {
    if (c.root) {
      setenv("ORVAN_DEVICE_ROOT", c.root, 1);
    } else {
      unsetenv("ORVAN_DEVICE_ROOT");
    }
    EXPECT_EQ(platform::UnderDeviceRoot("/sys/class/tty"), c.expected)
        << (c.root ? c.root : "unset");
  }
  unsetenv("ORVAN_DEVICE_ROOT");
}

}  // namespace
