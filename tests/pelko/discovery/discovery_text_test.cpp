// The texts the direct network utilities read from their callers, and which ICMP message
// counts as the answer to an echo.
#include "discovery/ip_assigner.hpp"
#include "discovery/ping.hpp"

#include <gtest/gtest.h>

#include <unistd.h>

#include <array>
#include <optional>
#include <string>

namespace {

using Address = std::array<std::uint8_t, 4>;

TEST(ParseAssignedAddress, ReadsFourNumbersAsPercentIReadsThem) {
  struct Case {
    const char* text;
    std::optional<Address> expected;
  };
  const Case cases[] = {
      {"192.168.1.10", Address{192, 168, 1, 10}},
      {"192,168,1,10", Address{192, 168, 1, 10}},
      {"010.0x10.0X1f.7", Address{8, 16, 31, 7}},  // octal and hexadecimal
      {"256.257.-1.0", Address{0, 1, 255, 0}},     // the low 8 bits of each
      {"192.168.1", std::nullopt},
      {"192.168.1.10.5", std::nullopt},
      {"192.168..10", std::nullopt},
      {"192.168.1.x", std::nullopt},
      {"192.168.1.10 junk", std::nullopt},
      {"08.1.1.1", std::nullopt},  // 8 is no octal digit
      {"", std::nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(orvan::ParseAssignedAddress(c.text), c.expected) << c.text;
}

TEST(ClassicIpv4Address, RefusesWhatTheClassicConversionCannotTellFromAFailure) {
  EXPECT_EQ(orvan::ClassicIpv4Address("10.99.1.2")->to_string(), "10.99.1.2");
  EXPECT_EQ(orvan::ClassicIpv4Address("10.1")->to_string(), "10.0.0.1");
  for (const char* text : {"255.255.255.255", "300.1.1.1", "host", "", "1.2.3.4x"})
    EXPECT_FALSE(orvan::ClassicIpv4Address(text)) << text;
  boost::asio::io_context io;
  EXPECT_EQ(orvan::Ping(io, "255.255.255.255"), orvan::kPingInvalidAddress);
  EXPECT_EQ(orvan::Ping(io, "no address"), orvan::kPingInvalidAddress);
}

TEST(AnswersEcho, OnlyAnEchoReplyWithEveryFieldOfTheRequest) {
  constexpr std::uint32_t kPinged = 0x0A630102;
  struct Case {
    std::uint8_t type;
    std::uint16_t identifier, sequence;
    std::uint32_t source;
    bool answers;
  };
  const Case cases[] = {
      {0, 7, 9, kPinged, true},  {8, 7, 9, kPinged, false},  // a request, not a reply
      {0, 8, 9, kPinged, false}, {0, 7, 10, kPinged, false}, {0, 7, 9, kPinged + 1, false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(orvan::AnswersEcho(c.type, c.identifier, c.sequence, c.source, 7, 9, kPinged),
              c.answers);
  }
}

TEST(RawEchoIdentifier, IsNeverTheServerPingersIdentifier) {
  EXPECT_NE(orvan::RawEchoIdentifier(), static_cast<std::uint16_t>(getpid() & 0xFFFF));
}

}  // namespace
