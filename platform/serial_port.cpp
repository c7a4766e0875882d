#include "platform/serial_port.hpp"

#include <sys/file.h>
#include <sys/ioctl.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <filesystem>

#include "platform/device_root.hpp"

namespace platform {

namespace fs = std::filesystem;

namespace {

bool IsDigit(char c) { return std::isdigit(static_cast<unsigned char>(c)) != 0; }

}  // namespace

std::string SerialPortPath(const std::string& address) {
  constexpr size_t kPrefix = 3;  // "COM"
  if (address.size() <= kPrefix || address.compare(0, kPrefix, "COM") != 0) return address;
  const char* first = address.data() + kPrefix;
  const char* last = address.data() + address.size();
  // Digits only, and no leading zero: "COM01" names no port.
  if (*first == '0' || !std::all_of(first, last, IsDigit)) return address;
  unsigned number = 0;
  const auto parsed = std::from_chars(first, last, number);
  if (parsed.ec != std::errc() || parsed.ptr != last) return address;
  return "/dev/ttyS" + std::to_string(number - 1);
}

bool SerialNameBefore(const std::string& left, const std::string& right) {
  size_t i = 0, j = 0;
  while (i < left.size() && j < right.size()) {
    if (IsDigit(left[i]) && IsDigit(right[j])) {
      // Compare the two runs by value: without leading zeros, the longer run is the larger.
      size_t endLeft = i, endRight = j;
      while (endLeft < left.size() && IsDigit(left[endLeft])) ++endLeft;
      while (endRight < right.size() && IsDigit(right[endRight])) ++endRight;
      size_t startLeft = i, startRight = j;
      while (startLeft + 1 < endLeft && left[startLeft] == '0') ++startLeft;
      while (startRight + 1 < endRight && right[startRight] == '0') ++startRight;
      const size_t lengthLeft = endLeft - startLeft, lengthRight = endRight - startRight;
      if (lengthLeft != lengthRight) return lengthLeft < lengthRight;
      const int order = left.compare(startLeft, lengthLeft, right, startRight, lengthRight);
      if (order != 0) return order < 0;
      i = endLeft;
      j = endRight;
      continue;
    }
    if (left[i] != right[j]) {
      return static_cast<unsigned char>(left[i]) < static_cast<unsigned char>(right[j]);
    }
    ++i;
    ++j;
  }
  if (left.size() - i != right.size() - j) return left.size() - i < right.size() - j;
  return left < right;  // equal by value ("ttyS01", "ttyS1"): any fixed order
}

std::vector<std::string> SerialPortPaths() {
  const fs::path classes = UnderDeviceRoot("/sys/class/tty");
  std::vector<std::string> names;
  std::error_code error;
  for (fs::directory_iterator entry(classes, error), end; !error && entry != end;
       entry.increment(error)) {
    const std::string name = entry->path().filename().string();
    std::error_code missing;
    // Only a real device has a "device" link; consoles and ptys have none.
    if (!fs::exists(classes / name / "device", missing)) continue;
    if (!fs::exists(UnderDeviceRoot("/dev/" + name), missing)) continue;
    names.push_back(name);
  }
  std::sort(names.begin(), names.end(), SerialNameBefore);
  if (names.size() > kSerialPortLimit) names.resize(kSerialPortLimit);
  std::vector<std::string> paths;
  paths.reserve(names.size());
  for (const auto& name : names) paths.push_back("/dev/" + name);
  return paths;
}

boost::system::error_code HoldExclusively(int descriptor) {
  // TIOCEXCL would not stop root; the lock does, and it goes with the descriptor's last close.
  if (::flock(descriptor, LOCK_EX | LOCK_NB) == 0) return {};
  return {errno, boost::system::system_category()};
}

int32_t SerialBytesWaiting(int descriptor) {
  int waiting = 0;
  if (::ioctl(descriptor, TIOCINQ, &waiting) != 0) return -1;
  return waiting < 0 ? -1 : waiting;
}

}  // namespace platform
