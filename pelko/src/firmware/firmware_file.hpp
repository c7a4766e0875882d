// What a firmware file is and what a firmware package holds, read from the file's bytes alone:
// no device and no file system, so tests and fuzzers drive it directly. The loaders take the
// kind and the parts from here and check nothing of the file themselves.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace orvan {

// Kinds of firmware file, as ClassifyFirmwareFile and IsRawBinaryName tell them.
constexpr int32_t kFirmwarePackage = 0;  // "<?": XML header, 0x1A, parts
constexpr int32_t kFirmwareSRecord = 1;  // "S0": S-record text image
constexpr int32_t kFirmwareHex = 2;      // ":": Intel hex
constexpr int32_t kFirmwareText = 3;     // anything else: text image
constexpr int32_t kFirmwareProgram = 4;  // "##": program to download and burn
constexpr int32_t kFirmwareBinary = 5;   // ".bin" in the file's name: raw binary image

// The kind from the first bytes: package, S-record, Intel hex, program, else text image.
int32_t ClassifyFirmwareFile(std::string_view contents);
// True when the file's name, not the folders above it, contains ".bin".
bool IsRawBinaryName(std::string_view path);

// One part of a package, placed in the file.
struct FirmwarePart {
  std::string type;  // "s19", "e19", "hex", "vkt"; any other is skipped
  size_t begin = 0;  // first byte, counted from the start of the file
  size_t length = 0;
};

struct FirmwarePackage {
  std::string key;  // model key it is built for; empty fits every controller
  std::vector<FirmwarePart> parts;
};

// True for the part types a loader takes.
bool IsLoadedPartType(const std::string& type);
// The whole package checked before anything of it is loaded: terminator, header, version, and
// every part's type, offset and length. Any fault is OrvanError -10005.
FirmwarePackage ParseFirmwarePackage(std::string_view file);

// One Intel-hex record to send, and how far into the image the load has come after it.
struct HexRecordLine {
  std::string text;  // the line without its CR and LF, starting with ':'
  size_t end = 0;    // position after the line's LF, or the image's length for the last line
};
// The lines of an Intel-hex image that start with ':', the last one included whether or not
// an LF ends it; other lines are skipped.
std::vector<HexRecordLine> SplitHexRecords(std::string_view image);

}  // namespace orvan
