#include "protocol/icmp_echo.hpp"

#include <cstring>

namespace orvan::protocol {

namespace {

std::uint16_t BigEndian16(const std::uint8_t* bytes) {
  return static_cast<std::uint16_t>(bytes[0] << 8 | bytes[1]);
}

void PutBigEndian16(std::uint8_t* bytes, std::uint16_t value) {
  bytes[0] = static_cast<std::uint8_t>(value >> 8);
  bytes[1] = static_cast<std::uint8_t>(value);
}

// Fills in the header of a message whose payload is already in place.
void FillEchoHeader(std::uint8_t* message, std::size_t length, std::uint16_t identifier,
                    std::uint16_t sequence) {
  message[0] = kIcmpEchoRequest;
  message[1] = 0;
  PutBigEndian16(message + 2, 0);
  PutBigEndian16(message + 4, identifier);
  PutBigEndian16(message + 6, sequence);
  PutBigEndian16(message + 2, InternetChecksum(message, length));
}

}  // namespace

std::uint16_t InternetChecksum(const std::uint8_t* bytes, std::size_t length) {
  std::uint32_t sum = 0;
  std::size_t i = 0;
  for (; i + 1 < length; i += 2) sum += BigEndian16(bytes + i);
  if (i < length) sum += static_cast<std::uint32_t>(bytes[i]) << 8;
  while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
  return static_cast<std::uint16_t>(~sum);
}

std::vector<std::uint8_t> EchoRequest(std::uint16_t identifier, std::uint16_t sequence,
                                      const std::uint8_t* payload, std::size_t length) {
  std::vector<std::uint8_t> message(kIcmpHeaderSize + length);
  if (length != 0) std::memcpy(message.data() + kIcmpHeaderSize, payload, length);
  FillEchoHeader(message.data(), message.size(), identifier, sequence);
  return message;
}

std::array<std::uint8_t, kServerEchoSize> ServerEchoRequest(std::uint16_t identifier,
                                                            std::uint16_t sequence) {
  std::array<std::uint8_t, kServerEchoSize> message{};
  std::memcpy(message.data() + kIcmpHeaderSize, kEchoBody, kEchoBodySize);
  FillEchoHeader(message.data(), message.size(), identifier, sequence);
  return message;
}

std::optional<IcmpMessage> ParseIcmpMessage(const std::uint8_t* bytes, std::size_t length) {
  if (bytes == nullptr || length < kIcmpHeaderSize) return std::nullopt;
  IcmpMessage message;
  message.type = bytes[0];
  message.code = bytes[1];
  message.identifier = BigEndian16(bytes + 4);
  message.sequence = BigEndian16(bytes + 6);
  return message;
}

std::optional<IcmpDatagram> ParseIcmpDatagram(const std::uint8_t* bytes, std::size_t length) {
  if (bytes == nullptr || length < kIpv4MinimumHeader || bytes[0] >> 4 != 4) return std::nullopt;
  IcmpDatagram datagram;
  datagram.headerLength = static_cast<std::size_t>(bytes[0] & 0x0F) * 4;
  if (datagram.headerLength < kIpv4MinimumHeader || datagram.headerLength > length)
    return std::nullopt;
  const auto message =
      ParseIcmpMessage(bytes + datagram.headerLength, length - datagram.headerLength);
  if (!message) return std::nullopt;
  datagram.timeToLive = bytes[8];
  datagram.source = static_cast<std::uint32_t>(bytes[12]) << 24 |
                    static_cast<std::uint32_t>(bytes[13]) << 16 |
                    static_cast<std::uint32_t>(bytes[14]) << 8 | bytes[15];
  datagram.message = *message;
  return datagram;
}

}  // namespace orvan::protocol
