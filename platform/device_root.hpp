// Where the device listings (serial ports, cards) look for /sys and /dev: the root folder, or
// the folder ORVAN_DEVICE_ROOT names, so tests and checks list a tree of their own.
#pragma once

#include <string>

namespace platform {

// `absolutePath` ("/sys/class/tty") under the device root.
std::string UnderDeviceRoot(const std::string& absolutePath);

}  // namespace platform
