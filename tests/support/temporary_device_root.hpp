// A device tree of the test's own: ORVAN_DEVICE_ROOT points at a temporary folder, in which a
// test makes the /sys/class/tty entries and /dev nodes a listing should (or should not) find.
#pragma once

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>

class TemporaryDeviceRoot {
public:
  TemporaryDeviceRoot() {
    char pattern[] = "/tmp/orvan-devices-XXXXXX";
    if (!mkdtemp(pattern)) throw std::runtime_error("mkdtemp");
    root = pattern;
    setenv("ORVAN_DEVICE_ROOT", pattern, 1);
  }
  ~TemporaryDeviceRoot() {
    unsetenv("ORVAN_DEVICE_ROOT");
    std::error_code ignored;
    std::filesystem::remove_all(root, ignored);
  }
  TemporaryDeviceRoot(const TemporaryDeviceRoot&) = delete;
  TemporaryDeviceRoot& operator=(const TemporaryDeviceRoot&) = delete;

  // A tty class entry NAME, with its "device" link when it is real hardware, and its /dev node.
  void Add(const std::string& name, bool device = true, bool node = true) const {
    const auto entry = root / "sys/class/tty" / name;
    std::filesystem::create_directories(device ? entry / "device" : entry);
    if (node) {
      std::filesystem::create_directories(root / "dev");
      std::ofstream(root / "dev" / name);
    }
  }

  std::filesystem::path root;
};
