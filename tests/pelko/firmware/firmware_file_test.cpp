// Firmware files read from their bytes alone: the kind a file is, the package header and its
// parts (every refusal with its code and text), and the Intel-hex records to send.
#include <gtest/gtest.h>

#include <cctype>
#include <string>
#include <vector>

#include "core/orvan_error.hpp"
#include "firmware/firmware_file.hpp"
#include "support/firmware_files.hpp"

using namespace orvan;

namespace {

// gtest names from the cases' own names.
const auto CaseName = [](const auto& info) {
  std::string name = info.param.name;
  for (auto& c : name) c = std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
  return name;
};

struct KindCase {
  const char* name;
  std::string contents;
  int32_t kind;
};

const KindCase kKindCases[] = {
    {"package", "<?xml version=\"1.0\"?><ofp/>", kFirmwarePackage},
    {"package before s-record test", "<?S0", kFirmwarePackage},
    {"s-record with header", "S00600006677\r\n", kFirmwareSRecord},
    {"intel hex", ":00000001FF", kFirmwareHex},
    {"program", "##include a.prg\n", kFirmwareProgram},
    {"s-records without header", "S1130000", kFirmwareText},
    {"one hash", "#A\r", kFirmwareText},
    {"lone angle bracket", "<", kFirmwareText},
    {"lower-case s0", "s0", kFirmwareText},
    {"binary garbage", std::string("\0\xFF\x1A<?", 5), kFirmwareText},
    {"empty", "", kFirmwareText},
};

class FirmwareKind : public ::testing::TestWithParam<KindCase> {};

TEST_P(FirmwareKind, FromTheFirstBytes) {
  EXPECT_EQ(ClassifyFirmwareFile(GetParam().contents), GetParam().kind);
}

INSTANTIATE_TEST_SUITE_P(Files, FirmwareKind, ::testing::ValuesIn(kKindCases), CaseName);

TEST(RawBinaryName, LooksAtTheFileNameOnly) {
  EXPECT_TRUE(IsRawBinaryName("fw.bin"));
  EXPECT_TRUE(IsRawBinaryName("/opt/images/controller.bin"));
  EXPECT_TRUE(IsRawBinaryName("/opt/controller.bin.old"));
  EXPECT_FALSE(IsRawBinaryName("/opt/fw.bin/controller.hex"));
  EXPECT_FALSE(IsRawBinaryName("fw.bin/"));
  EXPECT_FALSE(IsRawBinaryName("/opt/controller.BIN"));
  EXPECT_FALSE(IsRawBinaryName("/opt/controller.s19"));
}

const std::string kData = "ABCDEFGH";  // eight bytes after the terminator

std::string Header(const std::string& ofp) { return "<?xml version=\"1.0\"?>\r\n" + ofp; }

TEST(FirmwarePackage, PartsInDocumentOrderMayShareBytes) {
  const std::string file = Package(Header("<ofp version=\"1\" key=\"VKT41_0\">"
                                          "<bin type=\"s19\" offset=\"0\" length=\"4\"/>"
                                          "<note>any other child is ignored</note>"
                                          "<bin type=\"txt\" offset=\"8\" length=\"0\"/>"
                                          "<bin type=\"hex\" offset=\" 2 \" length=\"+6\"/>"
                                          "</ofp>"),
                                   kData);
  const size_t data = file.find('\x1A') + 1;
  const FirmwarePackage package = ParseFirmwarePackage(file);
  EXPECT_EQ(package.key, "VKT41_0");
  ASSERT_EQ(package.parts.size(), 3u);
  EXPECT_EQ(package.parts[0].type, "s19");
  EXPECT_EQ(package.parts[0].begin, data);
  EXPECT_EQ(package.parts[0].length, 4u);
  EXPECT_EQ(package.parts[1].type, "txt");  // kept; the loader skips it
  EXPECT_EQ(package.parts[2].type, "hex");
  EXPECT_EQ(file.substr(package.parts[2].begin, package.parts[2].length), "CDEFGH");
}

TEST(FirmwarePackage, KeyIsOptionalAndTheFirstTerminatorEndsTheHeader) {
  const std::string data = "x\x1Ay";
  const FirmwarePackage package = ParseFirmwarePackage(Package(
      Header("<ofp version=\"1\"><bin type=\"e19\" offset=\"1\" length=\"2\"/></ofp>"), data));
  EXPECT_EQ(package.key, "");
  ASSERT_EQ(package.parts.size(), 1u);
  EXPECT_EQ(package.parts[0].length, 2u);
}

struct RefusalCase {
  const char* name;
  std::string file;
  std::string message;  // the whole message, or its start when it ends in '*'
};

// Elements opened inside each other and never closed.
std::string Nested(int depth) {
  std::string text;
  for (int i = 0; i < depth; ++i) text += "<a>";
  return text;
}

std::string OneBin(const std::string& attributes) {
  return Package(Header("<ofp version=\"1\"><bin " + attributes + "/></ofp>"), kData);
}

const RefusalCase kRefusals[] = {
    {"no terminator", Header("<ofp version=\"1\"/>"), "bad package format"},
    {"malformed xml", Package(Header("<ofp version=\"1\"><bin></ofp>"), kData),
     "bad package header: *"},
    {"not xml at all", Package("<?\xFF\xFE garbage", kData), "bad package header: *"},
    {"no ofp", Package(Header("<package version=\"1\"/>"), kData),
     "bad package header: no ofp element"},
    {"no version", Package(Header("<ofp/>"), kData), "bad package header: ofp has no version"},
    {"version not a number", Package(Header("<ofp version=\"1.0\"/>"), kData),
     "bad package header: version \"1.0\" of ofp is not a number"},
    {"wrong version", Package(Header("<ofp version=\"2\"/>"), kData), "bad package version"},
    {"no type", OneBin("offset=\"0\" length=\"1\""), "bad package header: bin 1 has no type"},
    {"no offset", OneBin("type=\"s19\" length=\"1\""), "bad package header: bin 1 has no offset"},
    {"no length", OneBin("type=\"s19\" offset=\"0\""), "bad package header: bin 1 has no length"},
    {"offset not a number", OneBin("type=\"s19\" offset=\"0x10\" length=\"1\""),
     "bad package header: offset \"0x10\" of bin 1 is not a number"},
    {"length beyond 64 bits", OneBin("type=\"s19\" offset=\"0\" length=\"99999999999999999999\""),
     "bad package header: length \"99999999999999999999\" of bin 1 is not a number"},
    {"negative offset", OneBin("type=\"s19\" offset=\"-1\" length=\"2\""),
     "bad offset and or length"},
    {"negative length", OneBin("type=\"s19\" offset=\"0\" length=\"-1\""),
     "bad offset and or length"},
    {"part past the end", OneBin("type=\"s19\" offset=\"4\" length=\"5\""),
     "bad offset and or length"},
    {"offset past the end", OneBin("type=\"txt\" offset=\"9\" length=\"0\""),
     "bad offset and or length"},
    {"offset 2^31", OneBin("type=\"s19\" offset=\"2147483648\" length=\"1\""),
     "bad offset and or length"},
    {"length 2^32", OneBin("type=\"s19\" offset=\"0\" length=\"4294967296\""),
     "bad offset and or length"},
    {"length 2^32 - 1", OneBin("type=\"s19\" offset=\"1\" length=\"4294967295\""),
     "bad offset and or length"},
    {"sum past 2^63",
     OneBin("type=\"s19\" offset=\"9223372036854775807\" length=\"9223372036854775807\""),
     "bad offset and or length"},
    {"empty part", OneBin("type=\"hex\" offset=\"3\" length=\"0\""), "firmware file is empty"},
    {"bad second part",
     Package(Header("<ofp version=\"1\"><bin type=\"s19\" offset=\"0\" length=\"8\"/>"
                    "<bin type=\"hex\" offset=\"4\" length=\"5\"/></ofp>"),
             kData),
     "bad offset and or length"},
    {"nested too deeply", Package(Header("<ofp version=\"1\">" + Nested(200) + "</ofp>"), kData),
     "bad package header: elements nested too deeply"},
};

class PackageRefusal : public ::testing::TestWithParam<RefusalCase> {};

TEST_P(PackageRefusal, IsFileErrorWithItsText) {
  try {
    ParseFirmwarePackage(GetParam().file);
    FAIL() << "accepted";
  } catch (const OrvanError& e) {
    EXPECT_EQ(e.Code(), -10005);
    const std::string& wanted = GetParam().message;
    if (!wanted.empty() && wanted.back() == '*') {
      EXPECT_EQ(e.Message().substr(0, wanted.size() - 1), wanted.substr(0, wanted.size() - 1));
      EXPECT_GT(e.Message().size(), wanted.size() - 1) << "the parser's own text is missing";
    } else {
      EXPECT_EQ(e.Message(), wanted);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Headers, PackageRefusal, ::testing::ValuesIn(kRefusals), CaseName);

TEST(HexRecords, EveryRecordLineTheLastOneIncluded) {
  struct Case {
    std::string image;
    std::vector<std::string> texts;
    std::vector<size_t> ends;
  };
  const Case cases[] = {
      {":0A\r\n:0B\r\n", {":0A", ":0B"}, {5, 10}},
      {":0A\n:0B", {":0A", ":0B"}, {4, 7}},
      {":0A\r\n:0B\r", {":0A", ":0B"}, {5, 9}},
      {"header\r\n\r\n:0A\r\n; note\n", {":0A"}, {15}},
      {":0\rA\n", {":0A"}, {5}},
      {"", {}, {}},
  };
  for (const Case& c : cases) {
    std::vector<std::string> texts;
    std::vector<size_t> ends;
    for (const HexRecordLine& record : SplitHexRecords(c.image)) {
      texts.push_back(record.text);
      ends.push_back(record.end);
    }
    EXPECT_EQ(texts, c.texts) << c.image;
    EXPECT_EQ(ends, c.ends) << c.image;
  }
}

}  // namespace
