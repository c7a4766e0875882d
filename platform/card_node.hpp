// The system's cards: the device nodes /dev/rurezivu{n} of the card's Linux driver, driven with
// non-blocking read, write and ioctl and waited for with poll. Request numbers, buffer layout
// and error numbers are in docs/platform.md.
#pragma once

#include <linux/ioctl.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/card.hpp"

namespace platform {

// What every control request hands the driver: where its input and output lie. The ioctl
// returns the bytes it placed in the output.
struct CardControlBuffer {
  uint64_t input;         // address of the input bytes
  uint64_t output;        // address of the output bytes
  uint32_t inputLength;   // bytes of input
  uint32_t outputLength;  // room in the output
};

constexpr unsigned long kCardIoctlRecord = _IOW('R', 0, CardControlBuffer);
constexpr unsigned long kCardIoctlInterrupt = _IOW('R', 2, CardControlBuffer);
constexpr unsigned long kCardIoctlCount = _IOW('R', 3, CardControlBuffer);
constexpr unsigned long kCardIoctlStatusWait = _IOW('R', 4, CardControlBuffer);
constexpr unsigned long kCardIoctlConfigure = _IOW('R', 5, CardControlBuffer);

// The node a card name stands for: "RUREZIVUn" is /dev/rurezivu{n}, a name that holds
// "/dev/rurezivu" is a path used as it stands; empty for any other name.
std::string CardNodePath(const std::string& name);

// Opens the node non-blocking and holds it with flock; null with the error number otherwise
// (EBUSY while another holds it).
std::shared_ptr<CardHandle> OpenCardNode(const std::string& path, int& error);

// The nodes present under the device root, as card names.
std::vector<std::string> ListCardNodes(int highest);

}  // namespace platform
