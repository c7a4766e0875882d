// Identification of the hardware behind a device: a handful of queries through the device's own
// Command, each reply read by a pure step, then the model table's overrides.
#include "identify/description.hpp"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstring>
#include <limits>
#include <optional>
#include <stdexcept>
#include <vector>

#include <boost/algorithm/string/classification.hpp>
#include <boost/algorithm/string/split.hpp>
#include <boost/regex.hpp>

#include "core/device_codes.hpp"
#include "core/orvan_error.hpp"
#include "core/orvan_options.hpp"
#include "identify/model_table.hpp"
#include "identify/queried_device.hpp"

namespace orvan {
namespace {

// Runs of separators count as one, so no piece is ever empty.
std::vector<std::string> SplitAt(const std::string& text, const char* separators) {
  std::vector<std::string> pieces;
  boost::algorithm::split(pieces, text, boost::algorithm::is_any_of(separators),
                          boost::algorithm::token_compress_on);
  pieces.erase(std::remove(pieces.begin(), pieces.end(), std::string()), pieces.end());
  return pieces;
}

std::vector<std::string> Lines(const std::string& text) { return SplitAt(text, "\r\n"); }
std::vector<std::string> Tokens(const std::string& line) { return SplitAt(line, ", "); }

bool Contains(const std::string& text, const std::string& word) {
  return text.find(word) != std::string::npos;
}

void AppendWord(std::string& list, const std::string& word) {
  if (!list.empty()) list += ',';
  list += word;
}

// The number in a capability token; none when it is missing or does not parse.
std::optional<uint32_t> Number(const std::vector<std::string>& tokens, size_t index) {
  if (index >= tokens.size()) return std::nullopt;
  // 0 is both a value and a fallback, so a second fallback tells them apart.
  const uint32_t value = ParseUnsigned(tokens[index], 0);
  if (value == 0 && ParseUnsigned(tokens[index], 1) != 0) return std::nullopt;
  return value;
}

// A program-buffer size that does not fit its 16-bit field would come out as another size.
void SetSize(uint16_t& field, std::optional<uint32_t> value) {
  if (value && *value <= std::numeric_limits<uint16_t>::max())
    field = static_cast<uint16_t>(*value);
}

std::string Letters(int32_t count) {
  std::string list;
  for (int32_t i = 0; i < std::min(count, 26); ++i) AppendWord(list, std::string(1, char('A' + i)));
  return list;
}

// The regex engine gives up on some texts (its complexity limit); such a text matches nothing.
bool WholeMatch(const std::string& text, boost::smatch& groups, const boost::regex& pattern) {
  try {
    return boost::regex_match(text, groups, pattern);
  } catch (const std::runtime_error&) {
    return false;
  }
}

bool WholeMatch(const std::string& text, const char* pattern) {
  boost::smatch groups;
  return WholeMatch(text, groups, boost::regex(pattern, boost::regex::perl));
}

// Bus kind by the device's own address kind: a host name that merely contains "com" is no
// serial port, and its downloads must stay paced.
int32_t BusKindOf(const OrvanOptions& options) {
  if (options.address.empty()) return kBusKindEthernet;
  switch (options.AddressKind()) {
    case kAddressPci:
      return kBusKindPci;
    case kAddressSerial:
      return kBusKindSerial;
    default:
      return kBusKindEthernet;
  }
}

template <size_t N>
void CopyText(char (&field)[N], const std::string& text) {
  std::memcpy(field, text.data(), std::min(N, text.size()));
}

}  // namespace

void Description::Reset() { *this = Description(); }

bool Description::ParseIdentity() {
  static const boost::regex kIdentity(
      R"(^(?<product>VKT|NBX|WRN|HBZ|JUQ)(?<prefix>(A|B|C|D|\d))(?<infix>\d)(?<axfix>\d{1,2})(?<postfix>\d) *(Rev|t Rev)? *(?<majorrev>(C|n|s|t)?\u?\d+\.?\d*)(?<minorrev>\l*\u*\d*\l?) *-?(?<options>[A-Za-z]*)?(-(?<dev>(dev|beta).*))?$)",
      boost::regex::perl);
  // Real identities are a line; the pattern's backtracking grows with the square of the text,
  // so a runaway reply is refused before it can stall the open for seconds.
  constexpr size_t kLongestIdentity = 1024;
  boost::smatch groups;
  if (identity.size() > kLongestIdentity || !WholeMatch(identity, groups, kIdentity)) return false;

  product = groups["product"];
  prefix = groups["prefix"];
  infix = groups["infix"];
  axfix = groups["axfix"];
  postfix = groups["postfix"];
  modelNumber = prefix + infix + axfix + postfix;
  majorRevision = groups["majorrev"];
  minorRevision = groups["minorrev"];
  revision = majorRevision + minorRevision;
  options = groups["options"];
  std::transform(options.begin(), options.end(), options.begin(),
                 [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
  developmentSuffix = groups["dev"];
  if (product == "NBX" || product == "HBZ") {
    modelKey = product + modelNumber;
  } else {
    axisCount = static_cast<int32_t>(ParseUnsigned(axfix, static_cast<uint32_t>(axisCount)));
    modelKey = product + prefix + infix + "_" + postfix;
  }
  return true;
}

void Description::ParseOptionReport() {
  if (Contains(optionReport, "16 bit") || Contains(optionReport, "16bit")) {
    analogInputBits = 16;
    analogOutputBits = 16;
  } else if (modelKey == kAnalog16ModelKey) {
    analogOutputBits = 16;
    if (Contains(optionReport, kAnalog16SiblingWord)) analogInputBits = 16;
  } else if (Contains(options, "16AF")) {
    analogInputBits = 16;
  }

  for (const auto& line : Lines(optionReport)) {
    int32_t first = 0, last = 4, bits = 0;
    for (const auto& token : Tokens(line)) {
      if (token == "ICM1")
        first = 0, last = 3;
      else if (token == "ICM2")
        first = 4, last = 7;
      else if (token == kEightAxisBoardWord)
        first = 0, last = 7;
      else if (token == "IOB")
        first = 0, last = 0;
      else if (token == "ssi")
        bits = 16;
      else if (token == "biss")
        bits = 32;
      else if (token == "ser")
        bits = 48;
    }
    if (bits == 0 || last < first) continue;
    for (int32_t axis = first; axis <= last; ++axis) axisCodes[axis] |= bits;
  }
}

void Description::ApplyFamilyRules() {
  const bool plc = product == "NBX" || product == "HBZ";
  if (plc) {
    familyName = "Orvan PLC Controller";
    flag1 = true;
    charactersPerLine = 40;
    analogInputs = 8;
    analogOutputs = 8;
    vaLimits = {400, 6, 126, 126};
    word4 = 0;
    word1 = 2;
    sampleRate = 1024;
    if (Contains(optionReport, "encoder option")) AppendWord(optionWords, "ENC");
  } else {
    familyName = "Orvan Motion Controller";
    digitalInputs = digitalOutputs = axisCount > 4 ? 16 : 8;
    charactersPerLine = 80;
    programLines = 2000;
    vaLimits = {16000, 30, 510, 510};
  }

  const auto& rows = plc ? PlcModels() : MotionModels();
  const auto row = std::find_if(rows.begin(), rows.end(), [&](const ModelRow& r) {
    return WholeMatch(modelNumber, r.pattern);
  });
  if (row == rows.end()) return;

  if (row->interruptsSupported) interruptsSupported = *row->interruptsSupported;
  if (row->word1) word1 = *row->word1;
  if (row->word2) word2 = *row->word2;
  if (row->word3) word3 = *row->word3;
  if (row->word3ByAxisCount)
    word3 = axisCount > 4 ? row->word3ByAxisCount->second : row->word3ByAxisCount->first;
  if (row->word4) word4 = *row->word4;
  if (row->ecWord1) ecWord1 = *row->ecWord1;
  if (row->ecWord2) ecWord2 = *row->ecWord2;
  if (row->mnCount) mnCount = *row->mnCount;
  if (row->stCount) stCount = *row->stCount;
  if (row->letterCount2) letterCount2 = *row->letterCount2;
  if (row->letterCount3) letterCount3 = *row->letterCount3;
  if (row->digitalInputs) digitalInputs = *row->digitalInputs;
  if (row->digitalOutputs) digitalOutputs = *row->digitalOutputs;
  if (row->digitalPlus8AboveFourAxes && axisCount > 4) {
    digitalInputs += 8;
    digitalOutputs += 8;
  }
  if (row->extendedIoPoints) extendedIoPoints = *row->extendedIoPoints;
  if (row->analogInputs) analogInputs = *row->analogInputs;
  if (row->analogOutputs) analogOutputs = *row->analogOutputs;
  if (row->extraCount) extraCount = *row->extraCount;
  if (row->charactersPerLine) charactersPerLine = *row->charactersPerLine;
  if (row->programLines) programLines = *row->programLines;
  if (row->vaLimits) vaLimits = *row->vaLimits;
  if (row->flag1) flag1 = *row->flag1;
  if (row->flag2) flag2 = *row->flag2;
  if (row->firmwareSerialOnly) firmwareOverBus = busKind == kBusKindSerial;
  if (row->sampleRate) sampleRate = *row->sampleRate;
  if (row->pacingOff) pacing = false;
  if (row->optionWords) {
    for (const auto& word : SplitAt(row->optionWords, ",")) AppendWord(optionWords, word);
  }
  if (row->extendedIoBankWords && Contains(optionReport, "extended IO")) {
    const char kind = Contains(optionReport, "outputs 24-31") ? 'O' : 'I';
    for (const char* bank : {"3", "4", "5"}) AppendWord(optionWords, kind + std::string(bank));
  }
}

void Description::ParseCapabilities(const std::string& reply) {
  // Never more codes than exist, whatever axis count the identity claimed.
  const int32_t axes = std::clamp(axisCount, 0, static_cast<int32_t>(axisCodes.size()));
  for (const auto& line : Lines(reply)) {
    const auto tokens = Tokens(line);
    if (tokens.size() < 2) continue;
    const std::string& key = tokens[0];
    if (key == "PR") {
      SetSize(charactersPerLine, Number(tokens, 1));
      SetSize(programLines, Number(tokens, 2));
      if (const auto value = Number(tokens, 3)) flag2 = *value == 1;
    } else if (key == "VA") {
      for (size_t i = 0; i < vaLimits.size(); ++i) {
        if (const auto value = Number(tokens, i + 1)) vaLimits[i] = static_cast<int32_t>(*value);
      }
    } else if (key == "EC") {
      if (const auto value = Number(tokens, 2)) {
        ecWord1 = *value == 1 ? 1 : 0;
        ecWord2 = static_cast<int32_t>(*value);
      }
    } else if (key == "AI") {
      const uint32_t low = Number(tokens, 1).value_or(0xFFFFFFFFu);
      for (int32_t axis = 0; axis < std::min(axes, 4); ++axis)
        axisCodes[axis] |= AxisCode(modelKey, axis, low);
      if (axisCount > 4 && tokens.size() > 2) {
        const uint32_t high = Number(tokens, 2).value_or(0xFFFFFFFFu);
        for (int32_t axis = 4; axis < axes; ++axis)
          axisCodes[axis] |= AxisCode(modelKey, axis, high);
      }
    } else if (key == "CI") {
      if (!IsCapabilityModel(modelKey)) continue;
      const uint32_t value = Number(tokens, 1).value_or(0);
      const bool keep = ((value & 0xF0000) == 0x20000 && (value & 0xF00000) > 0xAFFFFF) ||
                        ((value & 0xF0000) == 0x10000 && (value & 0xF00000) > 0x5FFFFF);
      if (!keep) {
        for (auto& code : axisCodes) code &= ~1;
      }
    } else if (key == "UC") {
      const uint32_t value = Number(tokens, 1).value_or(0);
      if (value & 1) qqWord = 0x3F0F;
      if (IsCapabilityModel(modelKey)) qqWord &= ~(1 << 9);
      lineAcknowledged = (value & 2) != 0;
    } else if (key == "AD") {
      if (tokens.size() < 4) continue;  // needs three values
      if (const auto value = Number(tokens, 2)) analogInputs = static_cast<int32_t>(*value);
      if (const auto value = Number(tokens, 3)) analogInputBits = static_cast<int32_t>(*value);
    } else if (key == "CO") {
      if (tokens.size() < 3) continue;  // needs two values
      const auto value = Number(tokens, 2);
      if (value && *value <= static_cast<uint32_t>(std::numeric_limits<int32_t>::max() / 8)) {
        extendedIoPoints = static_cast<int32_t>(*value * 8);
      }
    }
  }
  if (std::any_of(axisCodes.begin(), axisCodes.end(), [](int32_t code) { return code & 3; })) {
    AppendWord(optionWords, "A3");
  }
}

void Description::ParseSamplePeriod(const std::string& reply) {
  double period = ParseFloat(reply, 1024);
  double rate = 1000.0 / period * 1024.0;
  // A period that gives no rate a 32-bit field can hold counts as not given.
  if (!(period > 0) || !std::isfinite(period) || !std::isfinite(rate) ||
      rate > std::numeric_limits<int32_t>::max()) {
    period = 1024;
    rate = 1000.0 / period * 1024.0;
  }
  sampleRate = static_cast<int32_t>(std::llround(rate));
}

void Description::BuildLists() {
  axisLetters = Letters(std::min(axisCount, 8));
  letterList2 = Letters(letterCount2);
  letterList3 = Letters(letterCount3);
  planeLettersST = stCount == 1 ? "S" : stCount == 2 ? "T,S" : "";
  planeLettersMN = mnCount == 1 ? "N" : mnCount == 2 ? "M,N" : "";
  if (configurationWord >= 0) {
    // One bank per bit of the configuration word; there are no more banks than bits.
    const int32_t banks = std::min(extendedIoPoints / 8, 32);
    for (int32_t bank = 0; bank < banks; ++bank) {
      const bool output = static_cast<uint32_t>(configurationWord) & (1u << bank);
      AppendWord(optionWords, (output ? "O" : "I") + std::to_string(bank + 2));
    }
  }
  if (analogInputs != 0) AppendWord(optionWords, analogInputBits == 16 ? "I16B" : "I12B");
  if (analogOutputs != 0) AppendWord(optionWords, analogOutputBits == 16 ? "O16B" : "O12B");
}

const Description& Description::Identify(QueriedDevice& device) {
  if (identified) return *this;
  try {
    const OrvanOptions defaults;
    const OrvanOptions& settings = device.OpenedOptions() ? *device.OpenedOptions() : defaults;
    const int32_t timeout = settings.timeout;
    const auto query = [&](const std::string& command) {
      return device.Command(command, true, timeout, false);
    };
    const auto clearError = [&] { device.Command("TC1", false, timeout, false); };

    device.Command("", false, timeout, false);
    const bool monitor = device.InMonitor();
    if (monitor) {
      Reset();
      identified = true;
    }
    address = settings.address;
    busKind = BusKindOf(settings);
    if (monitor) return *this;

    identified = false;
    axisLetters.clear();
    letterList2.clear();
    planeLettersST.clear();
    planeLettersMN.clear();
    letterList3.clear();
    optionWords.clear();

    identity = query("\x12\x16");
    serialNumber = query("MG_BN{Z10.0}");
    if (identity == "?" || serialNumber == "?") {
      if (identity == "?") identity.clear();
      if (serialNumber == "?") serialNumber.clear();
      clearError();
    }
    ParseIdentity();

    optionReport = query("ID");
    if (optionReport == "?") {
      optionReport.clear();
      clearError();
    } else {
      ParseOptionReport();
    }

    ApplyFamilyRules();

    const std::string capabilities = query("QP");
    if (capabilities == "?")
      clearError();
    else
      ParseCapabilities(capabilities);

    if (busKind == kBusKindPci)
      word1 = -1;
    else if (busKind == kBusKindSerial)
      word1 = 0;

    if (configurationWord != -1) {
      const std::string reply = query("MG _CO");
      if (reply == "?") {
        configurationWord = -1;
        clearError();
      } else {
        configurationWord =
            static_cast<int32_t>(ParseUnsigned(reply, static_cast<uint32_t>(configurationWord)));
      }
    }
    if (sampleRate == 0) ParseSamplePeriod(query("MG _TM"));

    BuildLists();
    identified = true;
    device.SetOption(kOptionPacing, pacing ? 1 : 0);
  } catch (const OrvanError& e) {
    identified = false;
    throw OrvanError(-1300, e.Message().empty() ? e.CodeText() : e.Message());
  }
  return *this;
}

int32_t Description::CopyTo(QueriedDevice& device, OrvDescription& out) {
  Identify(device);
  std::memset(&out, 0, sizeof out);
  CopyText(out.identity, identity);
  CopyText(out.axisLetters, axisLetters);
  CopyText(out.letterList3, letterList3);
  CopyText(out.planeLettersMN, planeLettersMN);
  CopyText(out.planeLettersST, planeLettersST);
  CopyText(out.optionWords, optionWords);
  CopyText(out.letterList2, letterList2);
  CopyText(out.modelKey, modelKey);
  CopyText(out.options, options);
  CopyText(out.developmentSuffix, developmentSuffix);
  CopyText(out.serialNumber, serialNumber);
  CopyText(out.address, address);
  CopyText(out.optionReport, optionReport);
  out.busKind = busKind;
  out.word1 = word1;
  out.word2 = word2;
  out.charactersPerLine = charactersPerLine;
  out.programLines = programLines;
  out.flag1 = flag1 ? 1 : 0;
  out.word3 = word3;
  out.sampleRate = sampleRate;
  out.ecWord1 = ecWord1;
  out.ecWord2 = ecWord2;
  out.qqWord = qqWord;
  out.flags = (firmwareOverBus ? ORV_DESCRIPTION_FIRMWARE_OVER_BUS : 0) |
              (lineAcknowledged ? ORV_DESCRIPTION_LINE_ACKNOWLEDGED : 0) |
              (pacing ? ORV_DESCRIPTION_PACING : 0);
  for (size_t i = 0; i < axisCodes.size(); ++i) out.axisCodes[i] = axisCodes[i];
  return out.flags;
}

}  // namespace orvan
