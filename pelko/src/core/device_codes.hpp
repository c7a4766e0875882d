// The codes a device answers BusType with and takes in SetOption, apart from the device class,
// so the parts that only name a code need not know devices.
#pragma once

#include <cstdint>

namespace orvan {

// Values of BusType.
constexpr int32_t kBusServerClient = 0;
constexpr int32_t kBusTcp = 1;
constexpr int32_t kBusUdp = 2;
constexpr int32_t kBusPci = 3;
constexpr int32_t kBusSerial = 4;

// Codes of SetOption.
constexpr int32_t kOptionPassThrough = 0;
constexpr int32_t kOptionCommandMode = 1;
constexpr int32_t kOptionBaud = 2;
constexpr int32_t kOptionStopBits = 3;
constexpr int32_t kOptionUnsolicitedPort = 4;
constexpr int32_t kOptionPacing = 5;

}  // namespace orvan
