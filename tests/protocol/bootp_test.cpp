// The BOOTP/DHCP packet rules: what of a datagram is read, the probe and the two reply forms
// byte for byte, the model classes, and the MAC and IPv4 texts users type.
#include "protocol/bootp.hpp"
#include "protocol/bootp_text.hpp"
#include "protocol/controller_model.hpp"

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

namespace {

using namespace orvan::protocol;

std::vector<std::uint8_t> Datagram(std::size_t length) {
  std::vector<std::uint8_t> bytes(kBootpPacketSize, 0xEE);
  const std::uint8_t head[] = {1, 1, 6, 0, 0xA1, 0xB2, 0xC3, 0xD4};
  std::copy(std::begin(head), std::end(head), bytes.begin());
  const std::uint8_t mac[] = {0x02, 0x6D, 0x41, 0x60, 0x00, 0x2A};
  std::copy(std::begin(mac), std::end(mac), bytes.begin() + 28);
  bytes[242] = 3;
  bytes.resize(length, 0xEE);
  return bytes;
}

TEST(BootpRequest, OnlyDatagramsOf243To326BytesAreRead) {
  const struct {
    std::size_t length;
    bool read;
  } cases[] = {{0, false}, {242, false}, {243, true}, {300, true}, {326, true}, {327, false}};
  for (const auto& c : cases) {
    const auto bytes = Datagram(c.length);
    const auto request = ReadBootpRequest(bytes.data(), bytes.size());
    ASSERT_EQ(request.has_value(), c.read) << c.length;
    if (!request) continue;
    EXPECT_EQ(request->Xid(), 0xA1B2C3D4u);
    EXPECT_EQ(request->mac, (MacAddress{0x02, 0x6D, 0x41, 0x60, 0x00, 0x2A}));
    EXPECT_EQ(request->messageType, 3);
    EXPECT_TRUE(HasControllerPrefix(request->mac));
  }
  EXPECT_FALSE(HasControllerPrefix({0x02, 0x6D, 0x40, 0x60, 0x00, 0x2A}));
}

TEST(BootpPacket, TheProbeIsADiscoverFromTheAdapterWithTheProbeXid) {
  BootpPacket expected{};
  expected[0] = 1;
  expected[1] = 1;
  expected[2] = 6;
  for (int i = 4; i < 8; ++i) expected[i] = 0x42;
  expected[10] = 0x80;
  const std::uint8_t mac[] = {0x52, 0x54, 0x00, 0x12, 0x34, 0x56};
  std::copy(std::begin(mac), std::end(mac), expected.begin() + 28);
  const std::uint8_t tail[] = {0x63, 0x82, 0x53, 0x63, 0x35, 0x01, 0x01};
  std::copy(std::begin(tail), std::end(tail), expected.begin() + 236);
  EXPECT_EQ(ProbeDatagram({0x52, 0x54, 0x00, 0x12, 0x34, 0x56}), expected);
}

TEST(BootpPacket, ReplyFormsDifferAfterTheMagicCookie) {
  BootpPacket image = BootpTemplate();
  WriteAddress(image, kBootpYiaddr, 0x0A630132);
  WriteMessageType(image, kDhcpAck);
  WriteServerIdentifier(image, 0x0A630101);

  BootpPacket dhcp = image;
  MakeReply(dhcp, false, 0xFFFFFF00);
  EXPECT_EQ(dhcp[0], 2);
  EXPECT_EQ(std::vector<std::uint8_t>(dhcp.begin() + 16, dhcp.begin() + 20),
            (std::vector<std::uint8_t>{10, 99, 1, 50}));
  const std::vector<std::uint8_t> options{0x35, 1, 5,    0x36, 4, 10, 99,  1,   1,   0x33, 4,
                                          0,    1, 0x51, 0x80, 1, 4,  255, 255, 255, 0};
  EXPECT_EQ(std::vector<std::uint8_t>(dhcp.begin() + 240, dhcp.begin() + 261), options);
  for (std::size_t i = 261; i < 325; ++i) ASSERT_EQ(dhcp[i], 0) << i;
  EXPECT_EQ(dhcp[325], 0xFF);

  BootpPacket bootp = image;
  MakeReply(bootp, true, 0xFFFFFF00);
  EXPECT_EQ(bootp[0], 2);
  EXPECT_EQ(std::vector<std::uint8_t>(bootp.begin() + 236, bootp.begin() + 240),
            (std::vector<std::uint8_t>{0x63, 0x82, 0x53, 0x63}));
  for (std::size_t i = 240; i < kBootpPacketSize; ++i) ASSERT_EQ(bootp[i], 0) << i;
}

TEST(ControllerModel, TheFourthMacByteGivesFormDeferenceAndName) {
  const struct {
    std::uint8_t byte;
    bool bootp;
    bool defers;
    bool named;
  } cases[] = {{0x00, true, false, true},   {0x18, true, false, true},  {0x20, true, true, true},
               {0x50, true, true, true},    {0x58, false, true, true},  {0x09, false, false, false},
               {0x60, false, false, false}, {0xF8, false, false, false}};
  for (const auto& c : cases) {
    EXPECT_EQ(IsBootpModel(c.byte), c.bootp) << int(c.byte);
    EXPECT_EQ(DefersToForeignServer(c.byte), c.defers) << int(c.byte);
    EXPECT_EQ(ControllerModelName(c.byte) != kGenericControllerName, c.named) << int(c.byte);
  }
  std::set<std::string> names;
  for (int byte = 0; byte <= 0x58; byte += 8) names.insert(ControllerModelName(byte));
  EXPECT_EQ(names.size(), 12u);
  // The library's listener has no row for the DHCP family.
  EXPECT_EQ(BootpModelName(0x58), kGenericControllerName);
  EXPECT_EQ(BootpModelName(0x08), ControllerModelName(0x08));
}

TEST(BootpText, MacTextsParseWithEitherSeparatorAndAllSixNumbers) {
  const MacAddress controller{0x02, 0x6D, 0x41, 0x01, 0x02, 0x03};
  const struct {
    const char* text;
    std::optional<MacAddress> mac;
  } cases[] = {
      {"02:6D:41:01:02:03", controller},
      {"2:6d:41:1:2:3", controller},
      {"02-6D-41-01-02-03", controller},
      {"102:16D:41:01:02:103", controller},  // low 8 bits of each number
      {"02:6D:41:01:02", std::nullopt},
      {"02:6D:41:01:02:03:04", std::nullopt},
      {"02:6D:41:01:02:", std::nullopt},
      {"02:6D-41:01:02:03", std::nullopt},
      {"02 6D 41 01 02 03", std::nullopt},
      {"g2:6D:41:01:02:03", std::nullopt},
      {"", std::nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(ParseMacAddress(c.text), c.mac) << c.text;
  EXPECT_EQ(FormatMacAddress({0x02, 0x6d, 0x41, 0x0a, 0xbc, 0x00}), "02:6D:41:0A:BC:00");
}

TEST(BootpText, Ipv4TextsConvertOnlyWhenDotted) {
  const struct {
    const char* text;
    std::optional<std::uint32_t> address;
  } cases[] = {{"10.99.1.50", 0x0A630132},      {"0.0.0.0", 0u},
               {"255.255.255.255", 0xFFFFFFFF}, {"10.99.1", std::nullopt},
               {"10.99.1.256", std::nullopt},   {"10,99,1,50", std::nullopt},
               {"host", std::nullopt},          {"", std::nullopt}};
  for (const auto& c : cases) EXPECT_EQ(ParseIpv4Address(c.text), c.address) << c.text;
  EXPECT_EQ(ParseIpv4Address(std::string("10.0.0.1\0x", 10)), std::nullopt);
  EXPECT_EQ(FormatIpv4Address(0x0A630132), "10.99.1.50");
  EXPECT_EQ(FormatIpv4Address(0), "0.0.0.0");
}

}  // namespace
