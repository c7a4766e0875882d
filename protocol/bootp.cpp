#include "protocol/bootp.hpp"

#include <algorithm>

namespace orvan::protocol {

bool HasControllerPrefix(const MacAddress& mac) {
  return std::equal(mac.begin(), mac.begin() + 3, kControllerPrefix.begin());
}

std::uint32_t BootpRequest::Xid() const {
  return std::uint32_t{xid[0]} << 24 | std::uint32_t{xid[1]} << 16 | std::uint32_t{xid[2]} << 8 |
         xid[3];
}

std::optional<BootpRequest> ReadBootpRequest(const std::uint8_t* bytes, std::size_t length) {
  if (length < kBootpShortestRequest || length > kBootpPacketSize) return std::nullopt;
  BootpRequest request;
  std::copy_n(bytes + kBootpXid, request.xid.size(), request.xid.begin());
  std::copy_n(bytes + kBootpChaddr, request.mac.size(), request.mac.begin());
  request.messageType = bytes[kBootpMessageType];
  return request;
}

const BootpPacket& BootpTemplate() {
  static const BootpPacket image = [] {
    BootpPacket packet{};
    packet[1] = 1;  // Ethernet
    packet[2] = 6;
    packet[kBootpFlags] = 0x80;
    packet[kBootpMagicCookie] = 0x63;
    packet[kBootpMagicCookie + 1] = 0x82;
    packet[kBootpMagicCookie + 2] = 0x53;
    packet[kBootpMagicCookie + 3] = 0x63;
    return packet;
  }();
  return image;
}

BootpPacket ProbeDatagram(const MacAddress& adapterMac) {
  BootpPacket packet = BootpTemplate();
  packet[kBootpOp] = kBootRequest;
  WriteAddress(packet, kBootpXid, kProbeXid);
  std::copy(adapterMac.begin(), adapterMac.end(), packet.begin() + kBootpChaddr);
  WriteMessageType(packet, kDhcpDiscover);
  return packet;
}

std::uint32_t ReadAddress(const BootpPacket& packet, std::size_t offset) {
  return std::uint32_t{packet[offset]} << 24 | std::uint32_t{packet[offset + 1]} << 16 |
         std::uint32_t{packet[offset + 2]} << 8 | packet[offset + 3];
}

void WriteAddress(BootpPacket& packet, std::size_t offset, std::uint32_t address) {
  for (int i = 0; i < 4; ++i)
    packet[offset + i] = static_cast<std::uint8_t>(address >> (24 - 8 * i));
}

void WriteMessageType(BootpPacket& packet, std::uint8_t type) {
  packet[kBootpMessageTypeOption] = 0x35;
  packet[kBootpMessageTypeOption + 1] = 1;
  packet[kBootpMessageType] = type;
}

void WriteServerIdentifier(BootpPacket& packet, std::uint32_t address) {
  packet[kBootpServerIdOption] = 0x36;
  packet[kBootpServerIdOption + 1] = 4;
  WriteAddress(packet, kBootpServerId, address);
}

MacAddress ReadMac(const BootpPacket& packet) {
  MacAddress mac;
  std::copy_n(packet.begin() + kBootpChaddr, mac.size(), mac.begin());
  return mac;
}

void MakeReply(BootpPacket& image, bool plainBootp, std::uint32_t netmask) {
  image[kBootpOp] = kBootReply;
  if (plainBootp) {
    std::fill(image.begin() + kBootpMessageTypeOption, image.end(), 0);
    return;
  }
  static constexpr std::array<std::uint8_t, 6> lease{0x33, 4, 0x00, 0x01, 0x51, 0x80};  // 86400 s
  std::copy(lease.begin(), lease.end(), image.begin() + kBootpLeaseOption);
  image[kBootpSubnetOption] = 1;
  image[kBootpSubnetOption + 1] = 4;
  WriteAddress(image, kBootpSubnetOption + 2, netmask);
  image[kBootpEndOption] = 0xFF;
}

}  // namespace orvan::protocol
