#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "core/connection.hpp"
#include "core/orvan_error.hpp"
#include "core/orvan_options.hpp"
#include "fakes/answering_device.hpp"
#include "fakes/error_code.hpp"
#include "identify/description.hpp"

using namespace orvan;
using orvan::fakes::AnsweringDevice;
using orvan::fakes::CodeOf;

namespace {

const std::string kIdentityQuery = "\x12\x16";
const std::string kSerialQuery = "MG_BN{Z10.0}";

std::shared_ptr<AnsweringDevice> OpenController(const std::string& address,
                                                std::map<std::string, std::string> answers) {
  auto device = std::make_shared<AnsweringDevice>();
  auto options = std::make_shared<OrvanOptions>();
  options->address = address;
  options->timeout = 1000;
  device->Open(options);
  device->answers = std::move(answers);
  return device;
}

// Every field, so a case that changes more than it says fails.
void ExpectSame(const Description& got, const Description& want) {
  EXPECT_EQ(got.identified, want.identified);
  EXPECT_EQ(got.identity, want.identity);
  EXPECT_EQ(got.optionReport, want.optionReport);
  EXPECT_EQ(got.product, want.product);
  EXPECT_EQ(got.modelNumber, want.modelNumber);
  EXPECT_EQ(got.prefix, want.prefix);
  EXPECT_EQ(got.infix, want.infix);
  EXPECT_EQ(got.axfix, want.axfix);
  EXPECT_EQ(got.postfix, want.postfix);
  EXPECT_EQ(got.revision, want.revision);
  EXPECT_EQ(got.majorRevision, want.majorRevision);
  EXPECT_EQ(got.minorRevision, want.minorRevision);
  EXPECT_EQ(got.options, want.options);
  EXPECT_EQ(got.developmentSuffix, want.developmentSuffix);
  EXPECT_EQ(got.modelKey, want.modelKey);
  EXPECT_EQ(got.axisLetters, want.axisLetters);
  EXPECT_EQ(got.letterList2, want.letterList2);
  EXPECT_EQ(got.planeLettersST, want.planeLettersST);
  EXPECT_EQ(got.planeLettersMN, want.planeLettersMN);
  EXPECT_EQ(got.letterList3, want.letterList3);
  EXPECT_EQ(got.optionWords, want.optionWords);
  EXPECT_EQ(got.axisCodes, want.axisCodes);
  EXPECT_EQ(got.word1, want.word1);
  EXPECT_EQ(got.word2, want.word2);
  EXPECT_EQ(got.busKind, want.busKind);
  EXPECT_EQ(got.familyName, want.familyName);
  EXPECT_EQ(got.address, want.address);
  EXPECT_EQ(got.serialNumber, want.serialNumber);
  EXPECT_EQ(got.interruptsSupported, want.interruptsSupported);
  EXPECT_EQ(got.letterCount3, want.letterCount3);
  EXPECT_EQ(got.axisCount, want.axisCount);
  EXPECT_EQ(got.letterCount2, want.letterCount2);
  EXPECT_EQ(got.word3, want.word3);
  EXPECT_EQ(got.mnCount, want.mnCount);
  EXPECT_EQ(got.stCount, want.stCount);
  EXPECT_EQ(got.ecWord1, want.ecWord1);
  EXPECT_EQ(got.ecWord2, want.ecWord2);
  EXPECT_EQ(got.firmwareOverBus, want.firmwareOverBus);
  EXPECT_EQ(got.digitalInputs, want.digitalInputs);
  EXPECT_EQ(got.digitalOutputs, want.digitalOutputs);
  EXPECT_EQ(got.extendedIoPoints, want.extendedIoPoints);
  EXPECT_EQ(got.analogInputs, want.analogInputs);
  EXPECT_EQ(got.analogInputBits, want.analogInputBits);
  EXPECT_EQ(got.analogOutputs, want.analogOutputs);
  EXPECT_EQ(got.analogOutputBits, want.analogOutputBits);
  EXPECT_EQ(got.word4, want.word4);
  EXPECT_EQ(got.charactersPerLine, want.charactersPerLine);
  EXPECT_EQ(got.programLines, want.programLines);
  EXPECT_EQ(got.extraCount, want.extraCount);
  EXPECT_EQ(got.flag1, want.flag1);
  EXPECT_EQ(got.flag2, want.flag2);
  EXPECT_EQ(got.vaLimits, want.vaLimits);
  EXPECT_EQ(got.lineAcknowledged, want.lineAcknowledged);
  EXPECT_EQ(got.qqWord, want.qqWord);
  EXPECT_EQ(got.configurationWord, want.configurationWord);
  EXPECT_EQ(got.sampleRate, want.sampleRate);
  EXPECT_EQ(got.pacing, want.pacing);
}

struct ControllerCase {
  const char* name;
  const char* address;
  std::map<std::string, std::string> answers;
  std::vector<std::string> commands;         // what identification asks, in order
  std::function<void(Description&)> expect;  // applied to the defaults
};

const std::map<std::string, std::string> kFlagship = {
    {kIdentityQuery, "VKTA280 Rev 2.3a-ab-beta2"},
    {kSerialQuery, "1234"},
    {"ID", "ANX16 AXB8 ssi\r\nICM2 biss"},
    {"QP",
     "PR 100,3000,0\r\nVA 30000,80,2046,2046\r\nEC 1 1\r\nAI $40100002 $40400000\r\n"
     "CI $B20000\r\nUC 3\r\nAD 0 4 16\r\nCO 0 2"},
    {"MG _CO", "3"},
};

void ExpectFlagship(Description& d) {
  d.identified = true;
  d.identity = "VKTA280 Rev 2.3a-ab-beta2";
  d.optionReport = "ANX16 AXB8 ssi\r\nICM2 biss";
  d.product = "VKT";
  d.modelNumber = "A280";
  d.prefix = "A", d.infix = "2", d.axfix = "8", d.postfix = "0";
  d.revision = "2.3a", d.majorRevision = "2.3", d.minorRevision = "a";
  d.options = "AB";
  d.developmentSuffix = "beta2";
  d.modelKey = "VKTA2_0";
  d.axisLetters = "A,B,C,D,E,F,G,H";
  d.letterList2 = "A,B,C,D,E,F,G,H";
  d.letterList3 = "A,B,C,D";
  d.planeLettersST = "T,S";
  d.planeLettersMN = "M,N";
  d.optionWords = "CFR,A3,O2,O3,I16B";
  // ssi on all eight, biss on 4-7, then the amplifier codes; 6 and 7 lack the second amplifier.
  d.axisCodes = {17, 17, 17, 17, 53, 53, 48, 48};
  d.familyName = "Orvan Motion Controller";
  d.address = "plc.example.com";
  d.busKind = 2;  // a host name, however it ends
  d.serialNumber = "1234";
  d.interruptsSupported = 1;
  d.axisCount = 8;
  d.letterCount2 = 8, d.letterCount3 = 4;
  d.word3 = 4;
  d.mnCount = 2, d.stCount = 2;
  d.ecWord1 = 1, d.ecWord2 = 1;
  d.digitalInputs = d.digitalOutputs = 16;
  d.extendedIoPoints = 16;
  d.analogInputs = 4, d.analogInputBits = 16, d.analogOutputBits = 16;
  d.charactersPerLine = 100, d.programLines = 3000;
  d.flag2 = false;
  d.vaLimits = {30000, 80, 2046, 2046};
  d.lineAcknowledged = true;
  d.qqWord = 0x3D0F;
  d.configurationWord = 3;
  d.sampleRate = 1000;
}

const ControllerCase kControllers[] = {
    {"flagship motion controller on a host name",
     "plc.example.com",
     kFlagship,
     {"", kIdentityQuery, kSerialQuery, "ID", "QP", "MG _CO"},
     ExpectFlagship},
    {"entry board over serial, every query refused",
     "/dev/ttyUSB0",
     {{kIdentityQuery, "VKT4040 Rev 1.0"},
      {kSerialQuery, "?"},
      {"ID", "?"},
      {"QP", "?"},
      {"MG _CO", "?"},
      {"MG _TM", "1"}},
     {"", kIdentityQuery, kSerialQuery, "TC1", "ID", "TC1", "QP", "TC1", "MG _CO", "TC1", "MG _TM"},
     [](Description& d) {
       d.identified = true;
       d.identity = "VKT4040 Rev 1.0";
       d.product = "VKT";
       d.modelNumber = "4040";
       d.prefix = "4", d.infix = "0", d.axfix = "4", d.postfix = "0";
       d.revision = d.majorRevision = "1.0";
       d.modelKey = "VKT40_0";
       d.axisCount = 4;
       d.axisLetters = "A,B,C,D";
       d.familyName = "Orvan Motion Controller";
       d.address = "/dev/ttyUSB0";
       d.busKind = 1, d.word1 = 0;
       d.word2 = 2;
       d.digitalInputs = d.digitalOutputs = 8;
       d.charactersPerLine = 40, d.programLines = 1000;
       d.vaLimits = {8000, 30, 254, 254};
       d.firmwareOverBus = true;  // its firmware loads over serial
       d.pacing = false;
       d.configurationWord = -1;
       d.sampleRate = 1024000;  // a period of 1
     }},
    {"PLC on the card with expansion banks",
     "RUREZIVU1",
     {{kIdentityQuery, "NBX1200 Rev 3.1"},
      {kSerialQuery, "77"},
      {"ID", "encoder option\r\nextended IO, outputs 24-31"},
      {"QP", "PR 40,500,1"},
      {"MG _CO", "5"}},
     {"", kIdentityQuery, kSerialQuery, "ID", "QP", "MG _CO"},
     [](Description& d) {
       d.identified = true;
       d.identity = "NBX1200 Rev 3.1";
       d.optionReport = "encoder option\r\nextended IO, outputs 24-31";
       d.product = "NBX";
       d.modelNumber = "1200";
       d.prefix = "1", d.infix = "2", d.axfix = "0", d.postfix = "0";
       d.revision = d.majorRevision = "3.1";
       d.modelKey = "NBX1200";
       d.optionWords = "ENC,O3,O4,O5,O2,I3,O4,I5,I6,I12B,O12B";
       d.familyName = "Orvan PLC Controller";
       d.address = "RUREZIVU1";
       d.busKind = 0, d.word1 = -1;
       d.serialNumber = "77";
       d.interruptsSupported = 1;
       d.flag1 = true;
       d.digitalInputs = d.digitalOutputs = 16;
       d.extendedIoPoints = 40;
       d.analogInputs = d.analogOutputs = 8;
       d.word4 = 0;
       d.charactersPerLine = 40, d.programLines = 500;
       d.extraCount = 2;
       d.configurationWord = 5;
       d.sampleRate = 1024;
     }},
    {"remote I/O head, short and odd capability lines",
     "10.0.0.9",
     {{kIdentityQuery, "HBZ3041 Rev 1.2"},
      {kSerialQuery, "9"},
      {"ID", "16bit analog"},
      {"QP", "AD 0 4\r\nCO 3\r\nXX\r\n\r\nVA 1 2 x"},
      {"MG _CO", "0"}},
     {"", kIdentityQuery, kSerialQuery, "ID", "QP", "MG _CO"},
     [](Description& d) {
       d.identified = true;
       d.identity = "HBZ3041 Rev 1.2";
       d.optionReport = "16bit analog";
       d.product = "HBZ";
       d.modelNumber = "3041";
       d.prefix = "3", d.infix = "0", d.axfix = "4", d.postfix = "1";
       d.revision = d.majorRevision = "1.2";
       d.modelKey = "HBZ3041";
       d.familyName = "Orvan PLC Controller";
       d.address = "10.0.0.9";
       d.busKind = 2, d.word1 = 2;
       d.serialNumber = "9";
       d.flag1 = true, d.flag2 = false;
       d.digitalInputs = d.digitalOutputs = 8;
       d.analogInputBits = d.analogOutputBits = 16;
       d.word4 = 0;
       d.charactersPerLine = 40, d.programLines = 100;
       d.vaLimits = {1, 2, 62, 62};
       d.pacing = false;
       d.sampleRate = 1024;
     }},
    {"stepper with twelve axes fills eight codes",
     "10.0.0.7",
     {{kIdentityQuery, "VKT41123 Rev 4.0c"},
      {kSerialQuery, "12"},
      {"ID", "ICM1 ssi\r\nbiss"},
      {"QP", "AI $2020000 $82020000\r\nUC 1"},
      {"MG _CO", "abc"},
      {"MG _TM", "0"}},
     {"", kIdentityQuery, kSerialQuery, "ID", "QP", "MG _CO", "MG _TM"},
     [](Description& d) {
       d.identified = true;
       d.identity = "VKT41123 Rev 4.0c";
       d.optionReport = "ICM1 ssi\r\nbiss";
       d.product = "VKT";
       d.modelNumber = "41123";
       d.prefix = "4", d.infix = "1", d.axfix = "12", d.postfix = "3";
       d.revision = "4.0c", d.majorRevision = "4.0", d.minorRevision = "c";
       d.modelKey = "VKT41_3";
       d.axisCount = 12;
       d.axisLetters = "A,B,C,D,E,F,G,H";
       d.optionWords = "A3";
       // ssi on 0-3 and biss on 0-4 from the report, then the encoder codes.
       d.axisCodes = {53, 53, 53, 53, 45, 13, 13, 13};
       d.familyName = "Orvan Motion Controller";
       d.address = "10.0.0.7";
       d.serialNumber = "12";
       d.interruptsSupported = 1;
       d.ecWord1 = 1;
       d.digitalInputs = d.digitalOutputs = 16;
       d.extraCount = 1;
       d.flag1 = true;
       d.charactersPerLine = 80, d.programLines = 2000;
       d.vaLimits = {16000, 30, 510, 510};
       d.qqWord = 0x3F0F;
       d.sampleRate = 1000;  // a period of 0 is no period
     }},
    {"unknown identity gets the motion rules",
     "10.0.0.8",
     {{kIdentityQuery, "XYZ"}, {kSerialQuery, "5"}, {"MG _TM", "2000"}},
     {"", kIdentityQuery, kSerialQuery, "ID", "QP", "MG _CO", "MG _TM"},
     [](Description& d) {
       d.identified = true;
       d.identity = "XYZ";
       d.familyName = "Orvan Motion Controller";
       d.address = "10.0.0.8";
       d.serialNumber = "5";
       d.digitalInputs = d.digitalOutputs = 8;
       d.charactersPerLine = 80, d.programLines = 2000;
       d.vaLimits = {16000, 30, 510, 510};
       d.sampleRate = 512;
     }},
};

TEST(Description, IdentifiesControllersByTheirReplies) {
  for (const auto& c : kControllers) {
    SCOPED_TRACE(c.name);
    auto device = OpenController(c.address, c.answers);
    const Description& got = device->description->Identify(*device);
    Description want;
    c.expect(want);
    ExpectSame(got, want);
    EXPECT_EQ(device->commands, c.commands);
    // Identification sends no more than its queries and leaves the pacing to the device.
    EXPECT_EQ(device->setOptions,
              (std::vector<std::pair<int32_t, int32_t>>{{5, want.pacing ? 1 : 0}}));
    EXPECT_EQ(device->UnsolicitedCount(), 0u);
  }
}

TEST(Description, IdentifiesOnceThenServesTheRecord) {
  auto device = OpenController("10.0.0.1", kFlagship);
  device->description->Identify(*device);
  const auto sent = device->commands.size();
  device->description->Identify(*device);
  EXPECT_EQ(device->commands.size(), sent);

  // Closing (as a firmware load does) makes the next reader ask again.
  device->Close();
  device->description->Identify(*device);
  EXPECT_EQ(device->commands.size(), 2 * sent);
}

TEST(Description, MonitorKeepsDefaultsAndStaysBound) {
  auto device = OpenController("/dev/ttyS1", kFlagship);
  device->prompt = '>';
  device->description->product = "stale";
  device->description->interruptsSupported = 1;
  const Description& got = device->description->Identify(*device);

  Description want;
  want.identified = true;
  want.address = "/dev/ttyS1";
  want.busKind = 1;
  ExpectSame(got, want);
  EXPECT_EQ(device->commands, std::vector<std::string>{""});
  EXPECT_TRUE(device->setOptions.empty());

  // The reset record can be identified again once the controller leaves its monitor.
  device->prompt = ':';
  device->description->identified = false;
  device->description->Identify(*device);
  EXPECT_EQ(device->description->modelKey, "VKTA2_0");
}

TEST(Description, EveryFailedQueryIsHardwareDescribeFailed) {
  auto probe = OpenController("10.0.0.1", kFlagship);
  probe->description->Identify(*probe);
  const auto steps = static_cast<uint32_t>(probe->commands.size());

  for (uint32_t n = 1; n <= steps; ++n) {
    for (const bool reading : {true, false}) {
      SCOPED_TRACE((reading ? "read " : "write ") + std::to_string(n));
      auto device = OpenController("10.0.0.1", kFlagship);
      (reading ? device->failRead : device->failWrite) = n;
      std::string message;
      EXPECT_EQ(CodeOf([&] { device->description->Identify(*device); }, &message), -1300);
      EXPECT_EQ(message, reading ? "device read error" : "scripted write failure");
      EXPECT_FALSE(device->description->identified);

      // The next reader tries again and succeeds.
      device->failRead = device->failWrite = 0;
      device->description->Identify(*device);
      EXPECT_TRUE(device->description->identified);
      EXPECT_EQ(device->description->modelKey, "VKTA2_0");
    }
  }
}

TEST(Description, NoDeviceIsHardwareDescribeFailed) {
  // Identification always has its device; what can lack is the description on the device.
  auto device = OpenController("10.0.0.1", kFlagship);
  const auto previous =
      Connection::SetDeviceMaker([&](const OrvanOptions&, auto&) { return device; });
  Connection connection;
  auto options = std::make_shared<OrvanOptions>();
  options->address = "10.0.0.1";
  connection.Open(options);
  device->description.reset();
  std::string message;
  EXPECT_EQ(CodeOf([&] { connection.Info(); }, &message), -1300);
  EXPECT_EQ(message, "no hardware description");
  Connection::SetDeviceMaker(previous);
}

struct IdentityCase {
  const char* identity;
  bool matches;
  const char* modelKey;
  const char* revision;
  const char* options;
  const char* developmentSuffix;
  int32_t axisCount;
};

const IdentityCase kIdentities[] = {
    {"VKT4040 Rev 1.0", true, "VKT40_0", "1.0", "", "", 4},
    {"VKT40120 Rev 1.0", true, "VKT40_0", "1.0", "", "", 12},
    {"VKTA280 t Rev 2.3 -ab", true, "VKTA2_0", "2.3", "AB", "", 8},
    {"VKTB240Rev1.0b-dev", true, "VKTB2_0", "1.0b", "DEV", "", 4},  // options come first
    {"VKT4040 C2.1x-AB-beta 7", true, "VKT40_0", "C2.1x", "AB", "beta 7", 4},
    {"WRN1040 Rev s1.5", true, "WRN10_0", "s1.5", "", "", 4},
    {"HBZ3041 Rev 1.2", true, "HBZ3041", "1.2", "", "", 0},
    {"VKT404 Rev 1.0", false, "", "", "", "", 0},           // model number too short
    {"VKT4040 Rev 1.0 -ab-rc1", false, "", "", "", "", 0},  // no such suffix
    {"ABC4040 Rev 1.0", false, "", "", "", "", 0},
    {" VKT4040 Rev 1.0", false, "", "", "", "", 0},
    {"", false, "", "", "", "", 0},
};

TEST(Description, ParsesTheIdentity) {
  for (const auto& c : kIdentities) {
    SCOPED_TRACE(c.identity);
    Description d;
    d.identity = c.identity;
    EXPECT_EQ(d.ParseIdentity(), c.matches);
    EXPECT_EQ(d.modelKey, c.modelKey);
    EXPECT_EQ(d.revision, c.revision);
    EXPECT_EQ(d.options, c.options);
    EXPECT_EQ(d.developmentSuffix, c.developmentSuffix);
    EXPECT_EQ(d.axisCount, c.axisCount);
  }
}

TEST(Description, RunawayIdentityIsNoIdentity) {
  Description d;
  // Backtracks with the square of its length; must neither stall nor throw.
  d.identity = "VKT4040 Rev 1" + std::string(50000, 'a') + "!";
  EXPECT_FALSE(d.ParseIdentity());
  EXPECT_TRUE(d.modelKey.empty());
}

TEST(Description, SampleRateFromThePeriod) {
  const std::pair<const char*, int32_t> cases[] = {
      {"1", 1024000},
      {"0.5", 2048000},
      {"1024", 1000},
      {"2000", 512},
      {"3", 341333},
      // Not a period: taken as 1024.
      {"0", 1000},
      {"-1", 1000},
      {"1e-9", 1000},
      {"nan", 1000},
      {"inf", 1000},
      {"abc", 1000},
      {"", 1000},
  };
  for (const auto& [reply, rate] : cases) {
    SCOPED_TRACE(reply);
    Description d;
    d.ParseSamplePeriod(reply);
    EXPECT_EQ(d.sampleRate, rate);
  }
}

TEST(Description, CapabilityValuesThatDoNotFitAreIgnored) {
  Description d;
  d.ParseCapabilities("PR 70000 100\r\nCO 0 $FFFFFFFF\r\nEC 1\r\nUC x");
  EXPECT_EQ(d.charactersPerLine, 40);
  EXPECT_EQ(d.programLines, 100);
  EXPECT_EQ(d.extendedIoPoints, 0);
  EXPECT_EQ(d.ecWord1, 0);
  EXPECT_FALSE(d.lineAcknowledged);

  // Never more banks than the configuration word has bits.
  d.ParseCapabilities("CO 0 $1000");
  EXPECT_EQ(d.extendedIoPoints, 0x8000);
  d.configurationWord = 1;
  d.BuildLists();
  EXPECT_EQ(d.optionWords.rfind("O2,I3", 0), 0u);
  EXPECT_EQ(d.optionWords.substr(d.optionWords.rfind(',') + 1), "I33");
}

// The record as the utility call hands it to applications, byte for byte.
std::vector<uint8_t> FlagshipGolden() {
  std::vector<uint8_t> golden(1432, 0);
  const auto text = [&](size_t offset, const std::string& value) {
    std::memcpy(golden.data() + offset, value.data(), value.size());
  };
  const auto word = [&](size_t offset, uint32_t value) {
    for (int i = 0; i < 4; ++i) golden[offset + i] = static_cast<uint8_t>(value >> (8 * i));
  };
  text(0, "VKTA280 Rev 2.3a-ab-beta2");
  text(40, "A,B,C,D,E,F,G,H");
  text(72, "A,B,C,D");
  text(104, "M,N");
  text(112, "T,S");
  text(120, "CFR,A3,O2,O3,I16B");
  text(200, "A,B,C,D,E,F,G,H");
  text(232, "VKTA2_0");
  text(248, "AB");
  text(263, "beta2");
  text(279, "1234");
  text(295, "plc.example.com");
  text(327, "ANX16 AXB8 ssi\r\nICM2 biss");
  word(1352, 2);       // bus kind
  word(1356, 0);       // word 1
  word(1360, 4);       // word 2
  word(1364, 100);     // characters per line
  word(1368, 3000);    // program lines
  word(1372, 0);       // flag 1
  word(1376, 4);       // word 3
  word(1380, 1000);    // sample rate
  word(1384, 1);       // EC word 1
  word(1388, 1);       // EC word 2
  word(1392, 0x3D0F);  // QQ word
  word(1396, 7);       // firmware, line-acknowledged, pacing
  const uint32_t codes[] = {17, 17, 17, 17, 53, 53, 48, 48};
  for (size_t i = 0; i < 8; ++i) word(1400 + 4 * i, codes[i]);
  return golden;
}

TEST(Description, CopyToWritesThePublicRecord) {
  auto device = OpenController("plc.example.com", kFlagship);
  OrvDescription out;
  std::memset(&out, 0xA5, sizeof out);  // every byte not written must come out zero
  EXPECT_EQ(device->description->CopyTo(*device, out), 7);
  const auto* bytes = reinterpret_cast<const uint8_t*>(&out);
  EXPECT_EQ(std::vector<uint8_t>(bytes, bytes + sizeof out), FlagshipGolden());
}

TEST(Description, CopyToCutsTextsAtTheirFields) {
  auto device = OpenController(
      "controller.example.org",
      {{kIdentityQuery, std::string(50, 'X')}, {"ID", std::string(1100, 'r')}, {"MG _TM", "1024"}});
  device->description->serialNumber = "ignored";
  OrvDescription out;
  EXPECT_EQ(device->description->CopyTo(*device, out), 5);  // firmware and pacing
  const auto* bytes = reinterpret_cast<const uint8_t*>(&out);
  EXPECT_EQ(std::string(out.identity, 40), std::string(40, 'X'));
  EXPECT_EQ(std::string(out.address, 16), "controller.examp");
  EXPECT_EQ(bytes[311], 0);
  EXPECT_EQ(std::string(out.optionReport, 1024), std::string(1024, 'r'));
  EXPECT_EQ(bytes[1351], 0);
  EXPECT_EQ(out.serialNumber[0], 0);  // the reply "" replaced it
}

// The public layout, field by field.
static_assert(sizeof(OrvDescription) == 1432);
static_assert(offsetof(OrvDescription, identity) == 0);
static_assert(offsetof(OrvDescription, axisLetters) == 40);
static_assert(offsetof(OrvDescription, letterList3) == 72);
static_assert(offsetof(OrvDescription, planeLettersMN) == 104);
static_assert(offsetof(OrvDescription, planeLettersST) == 112);
static_assert(offsetof(OrvDescription, optionWords) == 120);
static_assert(offsetof(OrvDescription, letterList2) == 200);
static_assert(offsetof(OrvDescription, modelKey) == 232);
static_assert(offsetof(OrvDescription, options) == 248);
static_assert(offsetof(OrvDescription, developmentSuffix) == 263);
static_assert(offsetof(OrvDescription, serialNumber) == 279);
static_assert(offsetof(OrvDescription, address) == 295);
static_assert(offsetof(OrvDescription, optionReport) == 327);
static_assert(offsetof(OrvDescription, busKind) == 1352);
static_assert(offsetof(OrvDescription, qqWord) == 1392);
static_assert(offsetof(OrvDescription, flags) == 1396);
static_assert(offsetof(OrvDescription, axisCodes) == 1400);

}  // namespace
