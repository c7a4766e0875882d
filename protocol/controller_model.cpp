#include "protocol/controller_model.hpp"

#include <array>

namespace orvan::protocol {

namespace {

constexpr std::array<const char*, 12> kModelNames{
    "Orvan E100 Motion Controller", "Orvan E200 Motion Controller", "Orvan E300 Motion Controller",
    "Orvan E400 Motion Controller", "Orvan E500 Motion Controller", "Orvan E600 Motion Controller",
    "Orvan E700 Motion Controller", "Orvan E800 Motion Controller", "Orvan P100 I/O Controller",
    "Orvan P200 I/O Controller",    "Orvan P300 I/O Controller",    "Orvan D100 Motion Controller",
};

bool InSteps(std::uint8_t modelByte, std::uint8_t first, std::uint8_t last) {
  return modelByte >= first && modelByte <= last && modelByte % 8 == 0;
}

}  // namespace

bool IsBootpModel(std::uint8_t modelByte) { return InSteps(modelByte, 0x00, 0x50); }

bool DefersToForeignServer(std::uint8_t modelByte) { return InSteps(modelByte, 0x20, 0x58); }

std::string ControllerModelName(std::uint8_t modelByte) {
  if (!InSteps(modelByte, 0x00, 0x58)) return kGenericControllerName;
  return kModelNames[modelByte / 8];
}

std::string BootpModelName(std::uint8_t modelByte) {
  return IsBootpModel(modelByte) ? ControllerModelName(modelByte) : kGenericControllerName;
}

}  // namespace orvan::protocol
