// What the hardware behind a device is, can hold and needs; filled once by querying the
// controller through the device that holds it and cached until a firmware load or a new open.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "pelko.h"

namespace orvan {

class QueriedDevice;

// Values of Description::busKind, as the public record carries them.
constexpr int32_t kBusKindPci = 0;
constexpr int32_t kBusKindSerial = 1;
constexpr int32_t kBusKindEthernet = 2;

class Description {
public:
  // Identifies once through the device and returns the cached record afterwards; any failure
  // is OrvanError -1300.
  const Description& Identify(QueriedDevice& device);
  // Identify, then the public record; returns its flag bits.
  int32_t CopyTo(QueriedDevice& device, OrvDescription& out);
  // Back to the defaults.
  void Reset();

  // The steps of Identify that read a reply; pure, so tests and fuzzers drive them directly.
  // Fills the identity-derived fields from `identity`; false when it is no identity we know.
  bool ParseIdentity();
  // Analog resolution and axis modules from `optionReport`.
  void ParseOptionReport();
  // The family's defaults, then the first matching model row.
  void ApplyFamilyRules();
  // The reply to "QP".
  void ParseCapabilities(const std::string& reply);
  // The reply to "MG _TM", the servo period.
  void ParseSamplePeriod(const std::string& reply);
  // Letter lists, I/O banks and analog words from the counts.
  void BuildLists();

  bool identified = false;
  std::string identity;
  std::string optionReport;
  std::string product;
  std::string modelNumber;
  std::string prefix;
  std::string infix;
  std::string axfix;
  std::string postfix;
  std::string revision;
  std::string majorRevision;
  std::string minorRevision;
  std::string options;
  std::string developmentSuffix;
  std::string modelKey;
  std::string axisLetters;
  std::string letterList2;
  std::string planeLettersST;
  std::string planeLettersMN;
  std::string letterList3;
  std::string optionWords;
  std::array<int32_t, 8> axisCodes{};
  int32_t word1 = 0;
  int32_t word2 = 4;
  int32_t busKind = kBusKindEthernet;
  std::string familyName = "Orvan Hardware";
  std::string address;
  std::string serialNumber;
  int32_t interruptsSupported = 0;
  int32_t letterCount3 = 0;
  int32_t axisCount = 0;
  int32_t letterCount2 = 0;
  int32_t word3 = 1;
  int32_t mnCount = 0;
  int32_t stCount = 0;
  int32_t ecWord1 = 0;
  int32_t ecWord2 = 0;
  bool firmwareOverBus = true;
  int32_t digitalInputs = 0;
  int32_t digitalOutputs = 0;
  int32_t extendedIoPoints = 0;
  int32_t analogInputs = 0;
  int32_t analogInputBits = 0;
  int32_t analogOutputs = 0;
  int32_t analogOutputBits = 0;
  int32_t word4 = 1;
  uint16_t charactersPerLine = 40;
  uint16_t programLines = 200;
  uint16_t extraCount = 0;
  bool flag1 = false;
  bool flag2 = true;
  std::array<int32_t, 4> vaLimits{400, 6, 126, 126};
  bool lineAcknowledged = false;
  // Non-zero makes Initialize send "QQ".
  int32_t qqWord = 0;
  int32_t configurationWord = 0;
  int32_t sampleRate = 0;
  // Applied to the device as write pacing.
  bool pacing = true;
};

}  // namespace orvan
