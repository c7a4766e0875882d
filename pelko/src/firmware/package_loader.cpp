// The package loader and the program loader it shares with program files: a package is read
// and checked whole, matched against the controller, then its parts go in document order.
#include <algorithm>
#include <string>

#include "core/connection.hpp"
#include "core/orvan_device.hpp"
#include "core/orvan_error.hpp"
#include "firmware/firmware_file.hpp"
#include "firmware/loader_steps.hpp"
#include "identify/description.hpp"

namespace orvan {

void OrvanDevice::LoadFirmwarePackage(const char* file, size_t length, Connection& connection) {
  const FirmwarePackage package = ParseFirmwarePackage({file, length});
  const Description& description = IdentifiedDescription(*this);
  const bool monitor = InMonitor();
  if (!monitor && !package.key.empty() && package.key != description.modelKey)
    throw OrvanError(-10005, "product key mismatch");
  // A refusal of a later text part would come after earlier parts were burned.
  const bool textParts = std::any_of(
      package.parts.begin(), package.parts.end(),
      [](const FirmwarePart& part) { return part.type == "s19" || part.type == "e19"; });
  if (!monitor && textParts) RequireFirmwareOverBus(description);

  for (const FirmwarePart& part : package.parts) {
    const char* bytes = file + part.begin;
    if (part.type == "s19")
      LoadFirmwareText(bytes, part.length);
    else if (part.type == "e19")
      LoadFirmwareE19(bytes, part.length);
    else if (part.type == "hex")
      LoadFirmwareHex(bytes, part.length);
    else if (part.type == "vkt")
      DownloadAndBurnProgram(bytes, part.length, connection);
  }
}

void OrvanDevice::DownloadAndBurnProgram(const char* image, size_t length, Connection& connection) {
  connection.ProgramDownload(std::string(image, length), "", "DL");
  Command("BP", false, -1, false);
}

}  // namespace orvan
