// Firmware files on arbitrary bytes: every input has a kind; the package reader either refuses
// it with -10005 or gives parts that all lie inside the file, none of a loaded type empty; and
// every hex record it would send starts with ':' and ends inside the file.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "core/orvan_error.hpp"
#include "firmware/firmware_file.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view file(reinterpret_cast<const char*>(data), size);
  const int32_t kind = orvan::ClassifyFirmwareFile(file);
  if (kind < orvan::kFirmwarePackage || kind > orvan::kFirmwareProgram) std::abort();
  orvan::IsRawBinaryName(file);

  try {
    const orvan::FirmwarePackage package = orvan::ParseFirmwarePackage(file);
    for (const auto& part : package.parts) {
      if (part.begin > size || part.length > size - part.begin) std::abort();
      if (part.length == 0 && orvan::IsLoadedPartType(part.type)) std::abort();
    }
  } catch (const orvan::OrvanError& e) {
    if (e.Code() != -10005) std::abort();
  }

  size_t previous = 0;
  for (const auto& record : orvan::SplitHexRecords(file)) {
    if (record.text.empty() || record.text[0] != ':') std::abort();
    if (record.end <= previous || record.end > size) std::abort();
    previous = record.end;
  }
  return 0;
}
