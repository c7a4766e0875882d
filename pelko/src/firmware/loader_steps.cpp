// The loaders' shared steps.
#include "firmware/loader_steps.hpp"

#include "core/orvan_device.hpp"
#include "core/orvan_error.hpp"
#include "identify/description.hpp"

namespace orvan {

const Description& IdentifiedDescription(OrvanDevice& device) {
  if (!device.description) throw OrvanError(-1300, "no hardware description");
  return device.description->Identify(device.DescribedDevice());
}

void RequireFirmwareOverBus(const Description& description) {
  if (!description.firmwareOverBus)
    throw OrvanError(-1110,
                     "this device does not support loading firmware over this communication bus");
}

void ReportProgress(OrvanDevice& device, uint64_t done, uint64_t total) {
  if (device.progressCallback)
    device.progressCallback(static_cast<uint32_t>(done), static_cast<uint32_t>(total),
                            device.callbackUser);
}

void WriteLoaderBytes(OrvanDevice& device, std::string_view bytes) {
  device.Write(bytes.data(), bytes.size(), kLoaderTimeout, false);
}

int32_t CheckLoaderStatus(int32_t status) {
  static const char* const kTexts[] = {
      "the requested data size is too big",
      "the firmware image is invalid",
      "no firmware image data has been loaded yet",
      "the requested write operation failed",
      "an unknown opcode was used",
      "the requested write operation was aborted because the flash is not erased",
      "the configured timeout period elapsed while waiting for the next byte in the current field",
  };
  if (status == 0 || status == 1) return status;
  if (status >= -7 && status <= -1)
    throw OrvanError(kLoaderStatusBase + status, kTexts[-status - 1]);
  throw OrvanError(kLoaderStatusBase - 8, "Loader returned unknown error");
}

bool IsLoaderStatusCode(int32_t code) {
  return code <= kLoaderStatusBase - 1 && code >= kLoaderStatusBase - 8;
}

void BurnFirmware(OrvanDevice& device) {
  const bool argument = IdentifiedDescription(device).qqWord != 0;
  device.Command(argument ? kBurnWithArgument : "BN", false, -1, false);
}

}  // namespace orvan
