// The text-image loaders: the whole image after the unlock, or an S-record image a line at a
// time with the controller acknowledging each line; both end with the burn.
#include <string>
#include <string_view>

#include "core/device_codes.hpp"
#include "core/orvan_device.hpp"
#include "core/orvan_options.hpp"
#include "firmware/loader_steps.hpp"
#include "identify/description.hpp"

namespace orvan {

void OrvanDevice::LoadFirmwareText(const char* image, size_t length) {
  Command("", true, -1, true);
  // The monitor takes an image without identification and burns it by itself.
  const bool monitor = promptState;
  if (!monitor) RequireFirmwareOverBus(IdentifiedDescription(*this));

  std::string_view opening = kUnlockWhole;
  bool dhcpOff = false;
  if (options->AddressKind() == kAddressNetwork) {
    // A new image starts with DHCP on; a controller that had it off gets it off again.
    dhcpOff = Command("DH?", false, -1, false).find('0') != std::string::npos;
  } else {
    opening = kLoaderModeCommand;
    QuietForLoader();
  }
  WriteLoaderBytes(*this, opening);
  WaitMilliseconds(kLoaderSettle);
  // Through the server, ESC bytes inside the image must pass unchanged.
  SetOption(kOptionPassThrough, static_cast<int32_t>(length));
  Write(image, length, kLoaderTimeout, true);
  ReadChunk(kLoaderTimeout, true);

  if (monitor) return;
  if (dhcpOff) Command("DH0", false, -1, false);
  BurnFirmware(*this);
}

void OrvanDevice::LoadFirmwareE19(const char* image, size_t length) {
  LoadFirmwareText(image, length);
}

void OrvanDevice::StreamFirmwareText(const char* image, size_t length) {
  Command("EO0", true, -1, true);
  const bool monitor = promptState;
  if (monitor) LoadFirmwareText(image, length);

  WriteLoaderBytes(*this, kUnlockAcknowledged);
  const std::string_view text(image, length);
  size_t start = 0;
  for (size_t end = text.find('\r'); end != std::string_view::npos; end = text.find('\r', start)) {
    WaitForByte(kAcknowledge);
    ReportProgress(*this, end, length);
    WriteLoaderBytes(*this, text.substr(start, end + 1 - start));
    start = end + 1;
  }
  // A last line without its CR is still a line (often the end record); only line breaks and
  // blanks after the last CR are nothing to send.
  const std::string_view rest = text.substr(start);
  if (rest.find_first_not_of(" \t\r\n") != std::string_view::npos) {
    WaitForByte(kAcknowledge);
    ReportProgress(*this, length - 1, length);
    WriteLoaderBytes(*this, std::string(rest) + '\r');
  }
  ReportProgress(*this, length, length);
  WaitForByte(':');

  if (!monitor) BurnFirmware(*this);
}

}  // namespace orvan
