// Our product line. Model numbers are prefix, infix, axis digits and postfix ("A240" is prefix
// A, infix 2, 4 axes, postfix 0); model keys put '_' where motion models carry their axis digits.
#include "identify/model_table.hpp"

#include <algorithm>
#include <iterator>

namespace orvan {

const std::vector<ModelRow>& MotionModels() {
  static const std::vector<ModelRow> rows = {
      // A2 series: the flagship, with interrupts and a fast fixed servo loop.
      ModelRow(R"(A2\d{1,2}0)")
          .Interrupts(1)
          .Word3ByAxes(2, 4)
          .Ec(2, 1)
          .Planes(2, 2)
          .LetterCounts(8, 4)
          .Va(24000, 64, 1022, 1022)
          .Program(80, 4000)
          .SampleRate(1000)
          .Words("CFR"),
      // B2 series: the A2's smaller brother with on-board extended I/O.
      ModelRow(R"(B2\d{1,2}[03])")
          .Interrupts(1)
          .Word3(2)
          .Planes(1, 1)
          .LetterCounts(4, 4)
          .ExtendedIo(32)
          .DigitalPlus8AboveFourAxes(),
      // 41x3: stepper line with encoder inputs.
      ModelRow(R"(41\d{1,2}3)").Interrupts(1).Ec(1, 0).Extra(1).Flag1(true),
      // 40x0: the entry board; its small input buffer cannot take paced writes, and its
      // firmware only loads over the serial port.
      ModelRow(R"(40\d{1,2}0)")
          .Word2(2)
          .Digital(8, 8)
          .Program(40, 1000)
          .Va(8000, 30, 254, 254)
          .FirmwareSerialOnly()
          .PacingOff(),
  };
  return rows;
}

const std::vector<ModelRow>& PlcModels() {
  static const std::vector<ModelRow> rows = {
      // 12x0: PLC with interrupts and three expansion banks.
      ModelRow(R"(12\d{1,2}0)")
          .Interrupts(1)
          .Digital(16, 16)
          .ExtendedIo(40)
          .ExtendedIoBanks()
          .Extra(2),
      // 20x0 and 21x0: mixed I/O PLC.
      ModelRow(R"(2[01]\d{1,2}0)").Digital(24, 16).Analog(4, 2).Word2(6),
      // 30x1: remote I/O head on a slow field bus, no analog.
      ModelRow(R"(30\d{1,2}1)")
          .Digital(8, 8)
          .Analog(0, 0)
          .Program(40, 100)
          .Va(200, 4, 62, 62)
          .Flag2(false)
          .PacingOff(),
  };
  return rows;
}

const char* const kAnalog16ModelKey = "VKTA2_0";
const char* const kAnalog16SiblingWord = "ANX16";
const char* const kEightAxisBoardWord = "AXB8";

namespace {

// Models whose AI values describe serial encoder interfaces.
const char* const kSerialEncoderModels[] = {"VKT41_3"};
// Models whose AI values describe their axis amplifiers.
const char* const kAmplifierModels[] = {"VKTA2_0", "VKTB2_0", "VKTB2_3"};
// Models whose CI and UC values are decoded.
const char* const kCapabilityModels[] = {"VKTA2_0", "VKTB2_0", "VKTB2_3"};

template <size_t N>
bool Holds(const char* const (&keys)[N], const std::string& key) {
  return std::find(std::begin(keys), std::end(keys), key) != std::end(keys);
}

int32_t SerialEncoderCode(uint32_t value) {
  if ((value & 0xF0000) < 0x20000) return 0;
  const uint32_t kind = value & 0xF000000;
  int32_t code = (kind == 0x2000000 || kind == 0x4000000 || kind == 0x6000000) ? 5 : 0;
  if (value & 0x80000000u) code += 8;
  return code;
}

int32_t AmplifierCode(int32_t axis, uint32_t value) {
  const uint32_t family = value & 0xF0000;
  const uint32_t revision = value & 0xF00000;
  int32_t code = 0;
  if (value & 0x40000000u) {
    code = (family == 0x10000 || revision < 0x300000) ? 1 : 5;
  } else if (value & 0x80000000u) {
    code = 0;
  } else if (family == 0x10000 || family == 0x60000 || family == 0x70000 || family == 0x80000) {
    code = revision < 0x600000 ? 0 : 2;
  }
  if (value & 0x80000000u) code += 8;
  // Axes 2, 3, 6 and 7 sit on the second amplifier, which the value's bit 1 says is fitted.
  if ((axis & 2) && !(value & 2)) return 0;
  return code;
}

}  // namespace

bool IsCapabilityModel(const std::string& modelKey) { return Holds(kCapabilityModels, modelKey); }

int32_t AxisCode(const std::string& modelKey, int32_t axis, uint32_t value) {
  if (value == 0xFFFFFFFFu) return 0;  // no value for this axis
  if (Holds(kSerialEncoderModels, modelKey)) return SerialEncoderCode(value);
  if (Holds(kAmplifierModels, modelKey)) return AmplifierCode(axis, value);
  return 0;
}

}  // namespace orvan
