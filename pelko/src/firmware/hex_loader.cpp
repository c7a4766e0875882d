// The Intel-hex loader: the flash is cleared once, then every record goes as one command.
#include "core/orvan_device.hpp"
#include "firmware/firmware_file.hpp"
#include "firmware/loader_steps.hpp"

namespace orvan {

void OrvanDevice::LoadFirmwareHex(const char* image, size_t length) {
  Command("RJ1", true, -1, true);
  Command("FUC", false, kLoaderTimeout, true);
  for (const HexRecordLine& record : SplitHexRecords({image, length})) {
    Command("FUH" + record.text, true, -1, true);
    // How far into the file the load has come, so the report never passes the total.
    ReportProgress(*this, record.end, length);
  }
  Command("RJ0", true, -1, true);
  WaitMilliseconds(kLoaderSettle);
}

}  // namespace orvan
