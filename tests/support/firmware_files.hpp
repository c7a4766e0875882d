// Firmware files for tests: S-records and Intel-hex records with their checksums right, small
// images made of them, packages, and a folder of files that is removed with the test.
#pragma once

#include <stdlib.h>

#include <boost/filesystem.hpp>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

inline std::string HexByte(unsigned value) {
  char text[3];
  std::snprintf(text, sizeof text, "%02X", value & 0xFF);
  return text;
}

// One S-record with a 16-bit address ("S0", "S1", "S9"); `type` is its digit.
inline std::string SRecord(char type, uint16_t address, const std::string& data) {
  const unsigned count = 2 + static_cast<unsigned>(data.size()) + 1;
  unsigned sum = count + (address >> 8) + (address & 0xFF);
  std::string record =
      std::string("S") + type + HexByte(count) + HexByte(address >> 8) + HexByte(address & 0xFF);
  for (const unsigned char byte : data) {
    record += HexByte(byte);
    sum += byte;
  }
  return record + HexByte(~sum);
}

// One Intel-hex record.
inline std::string HexRecord(unsigned type, uint16_t address, const std::string& data) {
  unsigned sum = static_cast<unsigned>(data.size()) + (address >> 8) + (address & 0xFF) + type;
  std::string record = ":" + HexByte(static_cast<unsigned>(data.size())) + HexByte(address >> 8) +
                       HexByte(address & 0xFF) + HexByte(type);
  for (const unsigned char byte : data) {
    record += HexByte(byte);
    sum += byte;
  }
  return record + HexByte(0x100 - (sum & 0xFF));
}

// A raw binary image holding ESC (0x1B) in every third byte and no 0x0A, which the fake
// controller takes for a host's read acknowledgement.
inline std::string BinaryImage(size_t length) {
  std::string image(length, '\0');
  for (size_t i = 0; i < length; ++i) image[i] = static_cast<char>(i % 3 == 0 ? 0x1B : i * 7);
  std::replace(image.begin(), image.end(), '\n', '\x0B');
  return image;
}

// The records joined, each followed by `lineEnd` except the last when `finalEnd` is false.
inline std::string Lines(const std::vector<std::string>& records, const std::string& lineEnd,
                         bool finalEnd = true) {
  std::string text;
  for (size_t i = 0; i < records.size(); ++i) {
    text += records[i];
    if (finalEnd || i + 1 < records.size()) text += lineEnd;
  }
  return text;
}

// A header record, data records for `data` in 16-byte pieces, and the end record.
inline std::vector<std::string> SRecordImage(const std::string& data, bool header = true) {
  std::vector<std::string> records;
  if (header) records.push_back(SRecord('0', 0, "fw"));
  for (size_t at = 0; at < data.size(); at += 16)
    records.push_back(SRecord('1', static_cast<uint16_t>(at), data.substr(at, 16)));
  records.push_back(SRecord('9', 0, ""));
  return records;
}

inline std::vector<std::string> HexImage(const std::string& data) {
  std::vector<std::string> records;
  for (size_t at = 0; at < data.size(); at += 16)
    records.push_back(HexRecord(0, static_cast<uint16_t>(at), data.substr(at, 16)));
  records.push_back(HexRecord(1, 0, ""));
  return records;
}

// An XML header, the 0x1A terminator and the data its parts address.
inline std::string Package(const std::string& header, const std::string& data) {
  return header + '\x1A' + data;
}

// A temporary folder for the files of one test.
class FirmwareFolder {
public:
  FirmwareFolder() {
    char pattern[] = "/tmp/orvan-firmware-XXXXXX";
    if (!mkdtemp(pattern)) throw std::runtime_error("mkdtemp");
    root = pattern;
  }
  ~FirmwareFolder() {
    boost::system::error_code ignored;
    boost::filesystem::remove_all(root, ignored);
  }
  FirmwareFolder(const FirmwareFolder&) = delete;
  FirmwareFolder& operator=(const FirmwareFolder&) = delete;

  // Writes the file (folders on its way made) and returns its path.
  std::string Write(const std::string& name, const std::string& bytes) const {
    const boost::filesystem::path file = root / name;
    boost::filesystem::create_directories(file.parent_path());
    std::ofstream(file.string(), std::ios::binary) << bytes;
    return file.string();
  }
  std::string Path(const std::string& name) const { return (root / name).string(); }

  boost::filesystem::path root;
};
