// The bracket around every firmware load: the file is read and judged before a byte goes to
// the controller; the load runs in pass-through mode (two stop bits on a serial line); success
// returns to command mode and identifies the controller's new firmware, failure closes the link,
// lets the controller settle and opens it again before the error reaches the caller.
#include <exception>
#include <string>

#include "core/device_codes.hpp"
#include "core/orvan_device.hpp"
#include "core/orvan_error.hpp"
#include "core/orvan_options.hpp"
#include "firmware/firmware_file.hpp"
#include "firmware/loader_steps.hpp"
#include "identify/description.hpp"

namespace orvan {
namespace {

constexpr int32_t kTwoStopBits = 2;
constexpr int32_t kOneStopBit = 1;
constexpr size_t kBinaryImageLimit = size_t{1} << 24;

}  // namespace

void OrvanDevice::FirmwareDownload(const std::string& path, Connection& connection) {
  const std::string file = ReadWholeFile(path);
  if (file.empty()) throw OrvanError(-10005, "firmware file is empty");
  const int32_t kind = IsRawBinaryName(path) ? kFirmwareBinary : ClassifyFirmwareFile(file);
  // The binary loader's length field holds 24 bits.
  if (kind == kFirmwareBinary && file.size() >= kBinaryImageLimit)
    throw OrvanError(-10002, "a binary firmware image must be smaller than 16 MiB");
  // A bad part anywhere in a package is found before its first part is burned.
  if (kind == kFirmwarePackage) ParseFirmwarePackage(file);

  const int32_t link = options->AddressKind();
  const bool serial = link == kAddressSerial;
  // The binary loader keeps one stop bit; other images take two on a serial line.
  const bool twoStopBits = serial && kind != kFirmwareBinary;
  // Other handles of the controller would talk into the load.
  if (link == kAddressNetwork) Command("IH*=-3", true, -1, true);

  try {
    SetOption(kOptionPassThrough, 0);
    if (twoStopBits) SetOption(kOptionStopBits, kTwoStopBits);
    const char* bytes = file.data();
    const size_t length = file.size();
    switch (kind) {
      case kFirmwarePackage:
        LoadFirmwarePackage(bytes, length, connection);
        break;
      case kFirmwareSRecord: {
        const Description& description = IdentifiedDescription(*this);
        if (description.lineAcknowledged && (options->debug & 1) == 0 && !serial)
          StreamFirmwareText(bytes, length);
        else
          LoadFirmwareText(bytes, length);
        break;
      }
      case kFirmwareHex:
        LoadFirmwareHex(bytes, length);
        break;
      case kFirmwareBinary:
        LoadFirmwareBinary(bytes, length);
        break;
      case kFirmwareProgram:
        DownloadAndBurnProgram(bytes, length, connection);
        break;
      default:
        LoadFirmwareText(bytes, length);
        break;
    }
    if (twoStopBits) SetOption(kOptionStopBits, kOneStopBit);
  } catch (const OrvanError&) {
    // The controller may still be in its loader: a fresh link after a pause is what it takes
    // commands on again. Only the load's own error reaches the caller.
    try {
      Close();
    } catch (...) {
    }
    WaitMilliseconds(kLoaderSettle);
    const auto reopenWith = options;
    try {
      Open(reopenWith);
    } catch (const OrvanError&) {
    } catch (const std::exception&) {
    }
    throw;
  }

  SetOption(kOptionCommandMode, 0);
  if (description) description->identified = false;
  Initialize();
}

void OrvanDevice::QuietForLoader() {
  Command("EO0", false, -1, true);
  if (promptState) return;
  Command(kQuietSequence, false, -1, true);
  Command("EO0", false, -1, true);
}

}  // namespace orvan
