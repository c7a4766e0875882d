// BOOTP/DHCP datagrams written out field by field, as a controller sends them and as the
// server's replies must read, so tests compare against bytes built apart from the code.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace bootp_packets {

using Mac = std::array<std::uint8_t, 6>;

inline void PutBigEndian(std::vector<std::uint8_t>& bytes, std::size_t at, std::uint32_t value) {
  for (int i = 0; i < 4; ++i) bytes[at + i] = static_cast<std::uint8_t>(value >> (24 - 8 * i));
}

// A controller's request: 300 bytes, option 53 first unless plain BOOTP (type 0); cut or
// padded to `length`.
inline std::vector<std::uint8_t> Request(const Mac& mac, std::uint8_t type, std::uint32_t xid,
                                         std::size_t length = 300) {
  std::vector<std::uint8_t> bytes(326, 0);
  bytes[0] = 1, bytes[1] = 1, bytes[2] = 6;
  PutBigEndian(bytes, 4, xid);
  for (std::size_t i = 0; i < 6; ++i) bytes[28 + i] = mac[i];
  PutBigEndian(bytes, 236, 0x63825363);
  if (type != 0) bytes[240] = 0x35, bytes[241] = 1, bytes[242] = type, bytes[243] = 0xFF;
  bytes.resize(length);
  return bytes;
}

// The server's 326-byte reply: broadcast flag, the address, the MAC, the cookie; then for a
// DHCP controller (type 2 or 5) the message type, server identifier, a lease of 86400 s, the
// netmask and the end option; for a plain-BOOTP one (type 0) nothing more.
inline std::vector<std::uint8_t> Reply(const Mac& mac, std::uint8_t type, std::uint32_t xid,
                                       std::uint32_t address, std::uint32_t server,
                                       std::uint32_t netmask) {
  std::vector<std::uint8_t> bytes(326, 0);
  bytes[0] = 2, bytes[1] = 1, bytes[2] = 6;
  PutBigEndian(bytes, 4, xid);
  bytes[10] = 0x80;
  PutBigEndian(bytes, 16, address);
  for (std::size_t i = 0; i < 6; ++i) bytes[28 + i] = mac[i];
  PutBigEndian(bytes, 236, 0x63825363);
  if (type == 0) return bytes;
  bytes[240] = 0x35, bytes[241] = 1, bytes[242] = type;
  bytes[243] = 0x36, bytes[244] = 4;
  PutBigEndian(bytes, 245, server);
  bytes[249] = 0x33, bytes[250] = 4;
  PutBigEndian(bytes, 251, 86400);
  bytes[255] = 1, bytes[256] = 4;
  PutBigEndian(bytes, 257, netmask);
  bytes[325] = 0xFF;
  return bytes;
}

}  // namespace bootp_packets
