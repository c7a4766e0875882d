// How serial ports are named, listed and held on this system, the same for the library and the
// server: the port a serial address means, the host's ports as device paths, the exclusive hold
// of an open port and the count of bytes waiting in its input queue.
#pragma once

#include <boost/system/error_code.hpp>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace platform {

// The most ports a listing reports.
constexpr size_t kSerialPortLimit = 256;

// The device path of a serial address: a whole "COMn" (n from 1) is /dev/ttyS{n-1}; any other
// address is a path already and is used as given.
std::string SerialPortPath(const std::string& address);

// "/dev/NAME" for each NAME whose /sys/class/tty/NAME/device and /dev/NAME exist, both read
// under the device root; sorted by name with numbers in numeric order, at most
// kSerialPortLimit.
std::vector<std::string> SerialPortPaths();

// Orders names as a listing does: runs of digits compare by value ("ttyS2" before "ttyS10").
bool SerialNameBefore(const std::string& left, const std::string& right);

// Holds the open port for this descriptor alone (an advisory lock, which binds root as well);
// fails with the system's error when another descriptor holds it already.
boost::system::error_code HoldExclusively(int descriptor);

// Bytes in the port's input queue; -1 when the system cannot tell.
int32_t SerialBytesWaiting(int descriptor);

}  // namespace platform
