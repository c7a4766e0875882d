// ICMP echo as both libraries speak it: the echo request they send, the Internet checksum
// over it, and what an arriving datagram says (with its IPv4 header, as a raw socket delivers
// it, or the ICMP message alone, as an ICMP datagram socket does). Bytes from the network are
// read only within the length given.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace orvan::protocol {

constexpr std::uint8_t kIcmpEchoReply = 0;
constexpr std::uint8_t kIcmpEchoRequest = 8;
constexpr std::size_t kIcmpHeaderSize = 8;
constexpr std::size_t kIpv4MinimumHeader = 20;
// The text every echo carries.
constexpr const char* kEchoBody = "Orvan Motion Control";
constexpr std::size_t kEchoBodySize = 20;
// The server's request: the header and the text, nothing more.
constexpr std::size_t kServerEchoSize = kIcmpHeaderSize + kEchoBodySize;

// RFC 1071: the ones' complement of the ones' complement sum of the 16-bit big-endian words,
// an odd last byte padded with zero.
std::uint16_t InternetChecksum(const std::uint8_t* bytes, std::size_t length);

// An echo request with its checksum filled in: type 8, code 0, identifier and sequence
// big-endian, then the payload.
std::vector<std::uint8_t> EchoRequest(std::uint16_t identifier, std::uint16_t sequence,
                                      const std::uint8_t* payload, std::size_t length);
// The server's 28-byte request: the payload is the text alone, without terminator.
std::array<std::uint8_t, kServerEchoSize> ServerEchoRequest(std::uint16_t identifier,
                                                            std::uint16_t sequence);

// The header of an ICMP message.
struct IcmpMessage {
  std::uint8_t type = 0;
  std::uint8_t code = 0;
  std::uint16_t identifier = 0;
  std::uint16_t sequence = 0;
};
// None when fewer than 8 bytes.
std::optional<IcmpMessage> ParseIcmpMessage(const std::uint8_t* bytes, std::size_t length);

// An ICMP message inside an IPv4 datagram.
struct IcmpDatagram {
  std::size_t headerLength = 0;  // of the IPv4 header, in bytes
  std::uint8_t timeToLive = 0;
  std::uint32_t source = 0;  // host order: 10.0.0.1 is 0x0A000001
  IcmpMessage message;
};
// None unless the datagram is IPv4 with a header of at least 20 bytes that it holds whole,
// followed by at least an ICMP header.
std::optional<IcmpDatagram> ParseIcmpDatagram(const std::uint8_t* bytes, std::size_t length);

}  // namespace orvan::protocol
