// The echo request's bytes and checksum, and what an arriving datagram is read as: nothing
// outside the length given, and nothing from a datagram that is not IPv4 with a whole header.
#include "protocol/icmp_echo.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace {

using namespace orvan::protocol;
using Bytes = std::vector<std::uint8_t>;

TEST(IcmpEchoTest, Checksum) {
  struct Case {
    const char* name;
    Bytes bytes;
    std::uint16_t checksum;
  };
  const std::vector<Case> cases = {
      {"the worked example of RFC 1071", {0x00, 0x01, 0xF2, 0x03, 0xF4, 0xF5, 0xF6, 0xF7}, 0x220D},
      {"an odd last byte is the high half of a word", {0x01}, 0xFEFF},
      {"carries fold back in", {0xFF, 0xFF, 0x00, 0x01}, 0xFFFE},
      {"nothing", {}, 0xFFFF},
  };
  for (const auto& c : cases)
    EXPECT_EQ(InternetChecksum(c.bytes.data(), c.bytes.size()), c.checksum) << c.name;
}

TEST(IcmpEchoTest, ServerRequestCarriesTheTextAndSumsToZero) {
  const auto request = ServerEchoRequest(0xBEEF, 0x0102);
  ASSERT_EQ(request.size(), 28u);
  EXPECT_EQ(Bytes(request.begin(), request.begin() + 8),
            (Bytes{8, 0, request[2], request[3], 0xBE, 0xEF, 0x01, 0x02}));
  EXPECT_EQ(std::string(request.begin() + 8, request.end()), "Orvan Motion Control");
  // A receiver summing the whole message, checksum included, gets zero.
  EXPECT_EQ(InternetChecksum(request.data(), request.size()), 0);
  EXPECT_NE(request[2] | request[3], 0);
}

TEST(IcmpEchoTest, RequestWithAPayloadOfAnyLength) {
  for (const std::size_t length : {0u, 1u, 32u, 33u}) {
    const Bytes payload(length, 0xA5);
    const auto request = EchoRequest(7, 65535, payload.data(), payload.size());
    ASSERT_EQ(request.size(), 8 + length);
    EXPECT_EQ(Bytes(request.begin() + 4, request.begin() + 8), (Bytes{0, 7, 0xFF, 0xFF}));
    EXPECT_EQ(Bytes(request.begin() + 8, request.end()), payload);
    EXPECT_EQ(InternetChecksum(request.data(), request.size()), 0) << length;
  }
}

// An IPv4 header of that many bytes with the version byte given, then that much of an ICMP
// header.
Bytes Datagram(std::uint8_t versionAndLength, std::size_t headerBytes, std::size_t icmpBytes) {
  Bytes datagram(headerBytes + icmpBytes, 0);
  datagram[0] = versionAndLength;
  datagram[8] = 63;  // time to live
  const std::uint8_t source[] = {10, 99, 1, 2};
  std::copy(std::begin(source), std::end(source), datagram.begin() + 12);
  const std::uint8_t icmp[] = {0, 5, 0xAA, 0xBB, 0x12, 0x34, 0x00, 0x09};
  for (std::size_t i = 0; i < icmpBytes && i < sizeof icmp; ++i)
    datagram[headerBytes + i] = icmp[i];
  return datagram;
}

TEST(IcmpEchoTest, DatagramFromARawSocket) {
  struct Case {
    const char* name;
    Bytes datagram;
    std::optional<std::size_t> headerLength;  // none: not read
  };
  const std::vector<Case> cases = {
      {"the shortest header", Datagram(0x45, 20, 8), 20},
      {"a reply with its body", Datagram(0x45, 20, 28), 20},
      {"a header with options", Datagram(0x46, 24, 8), 24},
      {"the longest header", Datagram(0x4F, 60, 8), 60},
      {"IPv6", Datagram(0x65, 20, 8), std::nullopt},
      {"a header shorter than 20 bytes", Datagram(0x44, 20, 8), std::nullopt},
      {"no header length", Datagram(0x40, 20, 8), std::nullopt},
      {"a header longer than the datagram", Datagram(0x4F, 20, 8), std::nullopt},
      {"an ICMP header cut short", Datagram(0x45, 20, 7), std::nullopt},
      {"the options eat the ICMP header", Datagram(0x47, 20, 8), std::nullopt},
      {"less than an IPv4 header", Bytes{0x45, 0, 0, 0}, std::nullopt},
      {"empty", Bytes{}, std::nullopt},
  };
  for (const auto& c : cases) {
    // Exactly the datagram's length: a read past it shows under the sanitizer.
    const auto parsed = ParseIcmpDatagram(c.datagram.data(), c.datagram.size());
    ASSERT_EQ(parsed.has_value(), c.headerLength.has_value()) << c.name;
    if (!parsed) continue;
    EXPECT_EQ(parsed->headerLength, *c.headerLength) << c.name;
    EXPECT_EQ(parsed->timeToLive, 63) << c.name;
    EXPECT_EQ(parsed->source, 0x0A630102u) << c.name;
    EXPECT_EQ(parsed->message.type, kIcmpEchoReply) << c.name;
    EXPECT_EQ(parsed->message.code, 5) << c.name;
    EXPECT_EQ(parsed->message.identifier, 0x1234) << c.name;
    EXPECT_EQ(parsed->message.sequence, 9) << c.name;
  }
}

TEST(IcmpEchoTest, MessageFromADatagramSocket) {
  const auto request = ServerEchoRequest(0x0102, 0xFFFE);
  const auto message = ParseIcmpMessage(request.data(), request.size());
  ASSERT_TRUE(message);
  EXPECT_EQ(message->type, kIcmpEchoRequest);
  EXPECT_EQ(message->identifier, 0x0102);
  EXPECT_EQ(message->sequence, 0xFFFE);
  EXPECT_FALSE(ParseIcmpMessage(request.data(), 7));
}

}  // namespace
