// What the firmware loaders share: the controller's control strings for its loaders and the
// few steps every loader takes over the device's slots.
#pragma once

#include <cstdint>
#include <string_view>

namespace orvan {

class Description;
class OrvanDevice;

// Sent before a text image on the serial and PCI links, and before the binary loader.
inline constexpr std::string_view kLoaderModeCommand{"D4E29,A6B1\r", 11};
// Opens the controller for a text image sent whole (network links).
inline constexpr std::string_view kUnlockWhole{"\x06\x05$3e7d, $91c8\r", 15};
// Opens it for an image a line at a time, each line acknowledged.
inline constexpr std::string_view kUnlockAcknowledged{"\x06\x05$3e7d,$91c8,1\r", 16};
// The burn for controllers that ask for "QQ" at start-up.
inline constexpr char kBurnWithArgument[] = "BN $7A41C0B9";
inline constexpr char kQuietSequence[] = "\x0F\x13";
inline constexpr uint8_t kAcknowledge = 0x06;

// Loader writes and the reads that wait for an image's answer.
constexpr int32_t kLoaderTimeout = 10000;
// The controller settles this long after an unlock, after a hex load and before a reopen.
constexpr uint32_t kLoaderSettle = 1000;
// A binary loader status s is raised as the code s - 30000.
constexpr int32_t kLoaderStatusBase = -30000;

// The hardware behind the device, identified once; -1300 without a description.
const Description& IdentifiedDescription(OrvanDevice& device);
// -1110 when the hardware takes no firmware over this link.
void RequireFirmwareOverBus(const Description& description);
void ReportProgress(OrvanDevice& device, uint64_t done, uint64_t total);
// Writes loader bytes with the loaders' timeout and no progress reports.
void WriteLoaderBytes(OrvanDevice& device, std::string_view bytes);
// The binary loader's status: 0 and 1 are returned; -1 to -7 raise their code (status - 30000)
// and text; any other value raises -30008, so no status passes for a code of the library's own.
int32_t CheckLoaderStatus(int32_t status);
// True for the codes CheckLoaderStatus raises.
bool IsLoaderStatusCode(int32_t code);
// Burns what was loaded; controllers that ask for "QQ" take the burn with its argument.
void BurnFirmware(OrvanDevice& device);

}  // namespace orvan
