// Our product line as identification sees it: the per-model overrides of the family rules, the
// model-key groups that decode capability values, and the words that option reports use.
// A new model is one row in model_table.cpp; nothing else needs to change.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace orvan {

// What one model changes after its family's rules; only the fields a row may set.
struct ModelRow {
  explicit ModelRow(const char* modelPattern) : pattern(modelPattern) {}

  const char* pattern;  // must match the whole model number

  std::optional<int32_t> interruptsSupported;
  std::optional<int32_t> word1, word2, word3, word4;
  // Word 3 chosen by axis count: the first up to 4 axes, the second above.
  std::optional<std::pair<int32_t, int32_t>> word3ByAxisCount;
  std::optional<int32_t> ecWord1, ecWord2;
  std::optional<int32_t> mnCount, stCount;
  std::optional<int32_t> letterCount2, letterCount3;
  std::optional<int32_t> digitalInputs, digitalOutputs;
  bool digitalPlus8AboveFourAxes = false;
  std::optional<int32_t> extendedIoPoints;
  std::optional<int32_t> analogInputs, analogOutputs;
  std::optional<uint16_t> extraCount;
  std::optional<uint16_t> charactersPerLine, programLines;
  std::optional<std::array<int32_t, 4>> vaLimits;
  std::optional<bool> flag1, flag2;
  // Firmware goes to this model only over a serial port.
  bool firmwareSerialOnly = false;
  std::optional<int32_t> sampleRate;
  bool pacingOff = false;
  // Comma-separated words appended to the option words.
  const char* optionWords = nullptr;
  // PLC expansion banks 3 to 5, named inputs or outputs from the option report.
  bool extendedIoBankWords = false;

  // Chained setters, so each row of the table reads as one line.
  ModelRow& Interrupts(int32_t v) {
    interruptsSupported = v;
    return *this;
  }
  ModelRow& Word1(int32_t v) {
    word1 = v;
    return *this;
  }
  ModelRow& Word2(int32_t v) {
    word2 = v;
    return *this;
  }
  ModelRow& Word3(int32_t v) {
    word3 = v;
    return *this;
  }
  ModelRow& Word3ByAxes(int32_t upToFour, int32_t above) {
    word3ByAxisCount = {upToFour, above};
    return *this;
  }
  ModelRow& Word4(int32_t v) {
    word4 = v;
    return *this;
  }
  ModelRow& Ec(int32_t w1, int32_t w2) {
    ecWord1 = w1;
    ecWord2 = w2;
    return *this;
  }
  ModelRow& Planes(int32_t mn, int32_t st) {
    mnCount = mn;
    stCount = st;
    return *this;
  }
  ModelRow& LetterCounts(int32_t c2, int32_t c3) {
    letterCount2 = c2;
    letterCount3 = c3;
    return *this;
  }
  ModelRow& Digital(int32_t in, int32_t out) {
    digitalInputs = in;
    digitalOutputs = out;
    return *this;
  }
  ModelRow& DigitalPlus8AboveFourAxes() {
    digitalPlus8AboveFourAxes = true;
    return *this;
  }
  ModelRow& ExtendedIo(int32_t points) {
    extendedIoPoints = points;
    return *this;
  }
  ModelRow& Analog(int32_t in, int32_t out) {
    analogInputs = in;
    analogOutputs = out;
    return *this;
  }
  ModelRow& Extra(uint16_t v) {
    extraCount = v;
    return *this;
  }
  ModelRow& Program(uint16_t chars, uint16_t lines) {
    charactersPerLine = chars;
    programLines = lines;
    return *this;
  }
  ModelRow& Va(int32_t a, int32_t b, int32_t c, int32_t d) {
    vaLimits = std::array<int32_t, 4>{a, b, c, d};
    return *this;
  }
  ModelRow& Flag1(bool v) {
    flag1 = v;
    return *this;
  }
  ModelRow& Flag2(bool v) {
    flag2 = v;
    return *this;
  }
  ModelRow& FirmwareSerialOnly() {
    firmwareSerialOnly = true;
    return *this;
  }
  ModelRow& SampleRate(int32_t v) {
    sampleRate = v;
    return *this;
  }
  ModelRow& PacingOff() {
    pacingOff = true;
    return *this;
  }
  ModelRow& Words(const char* words) {
    optionWords = words;
    return *this;
  }
  ModelRow& ExtendedIoBanks() {
    extendedIoBankWords = true;
    return *this;
  }
};

// The rows of each family, in the order they are tried; the first whose pattern matches wins.
const std::vector<ModelRow>& MotionModels();
const std::vector<ModelRow>& PlcModels();

// The motion model whose analog outputs are 16 bit, and the option-report word of the sibling
// board that gives it 16-bit inputs as well.
extern const char* const kAnalog16ModelKey;
extern const char* const kAnalog16SiblingWord;
// The option-report word of the axis board that serves all eight axes.
extern const char* const kEightAxisBoardWord;

// Motion models whose CI and UC capability values are decoded.
bool IsCapabilityModel(const std::string& modelKey);

// The capability code of one axis from its AI value; 0 for models that have none.
int32_t AxisCode(const std::string& modelKey, int32_t axis, uint32_t value);

}  // namespace orvan
