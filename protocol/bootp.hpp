// The BOOTP/DHCP packet as the server's IP assigner reads and answers it: 326 bytes, fields at
// fixed places (multi-byte values in network order). A request is read at three places only
// (xid, client MAC, the message type where option 53 stands first); every reply of the server
// is its stored image of the controller's packet in one of two forms.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>

namespace orvan::protocol {

constexpr std::uint16_t kBootpServerPort = 67;
constexpr std::uint16_t kBootpClientPort = 68;

constexpr std::size_t kBootpPacketSize = 326;
// Fields are read up to byte 242: anything shorter is no request.
constexpr std::size_t kBootpShortestRequest = 243;

// Offsets of the fields this system reads or writes.
constexpr std::size_t kBootpOp = 0;
constexpr std::size_t kBootpXid = 4;
constexpr std::size_t kBootpFlags = 10;
constexpr std::size_t kBootpYiaddr = 16;
constexpr std::size_t kBootpChaddr = 28;
constexpr std::size_t kBootpMagicCookie = 236;
constexpr std::size_t kBootpMessageTypeOption = 240;  // 35 01 type
constexpr std::size_t kBootpMessageType = 242;
constexpr std::size_t kBootpServerIdOption = 243;  // 36 04 address
constexpr std::size_t kBootpServerId = 245;
constexpr std::size_t kBootpLeaseOption = 249;   // 33 04 00 01 51 80
constexpr std::size_t kBootpSubnetOption = 255;  // 01 04 mask
constexpr std::size_t kBootpEndOption = 325;

constexpr std::uint8_t kBootRequest = 1;
constexpr std::uint8_t kBootReply = 2;

// Message types; 0 is what a plain BOOTP request carries at byte 242.
constexpr std::uint8_t kPlainBootp = 0;
constexpr std::uint8_t kDhcpDiscover = 1;
constexpr std::uint8_t kDhcpOffer = 2;
constexpr std::uint8_t kDhcpRequest = 3;
constexpr std::uint8_t kDhcpAck = 5;

// The xid of the server's own probe for other DHCP servers; their offers carry it back.
constexpr std::uint32_t kProbeXid = 0x42424242;

using BootpPacket = std::array<std::uint8_t, kBootpPacketSize>;
using MacAddress = std::array<std::uint8_t, 6>;

// The first three bytes of every controller's MAC.
constexpr MacAddress kControllerPrefix{0x02, 0x6D, 0x41};
bool HasControllerPrefix(const MacAddress& mac);

// The fields of a received request (or of an answer to the probe).
struct BootpRequest {
  std::array<std::uint8_t, 4> xid{};  // as received
  MacAddress mac{};
  std::uint8_t messageType = 0;
  std::uint32_t Xid() const;
};

// None unless 243 to 326 bytes arrived: nothing of a shorter or longer datagram is read.
std::optional<BootpRequest> ReadBootpRequest(const std::uint8_t* bytes, std::size_t length);

// A new controller record's image: op 0, htype 1, hlen 6, flags 80 00 (broadcast), the magic
// cookie at 236, zeros elsewhere.
const BootpPacket& BootpTemplate();
// The DHCPDISCOVER that looks for other DHCP servers from an adapter with that MAC.
BootpPacket ProbeDatagram(const MacAddress& adapterMac);

std::uint32_t ReadAddress(const BootpPacket& packet, std::size_t offset);  // host order
void WriteAddress(BootpPacket& packet, std::size_t offset, std::uint32_t address);
void WriteMessageType(BootpPacket& packet, std::uint8_t type);
void WriteServerIdentifier(BootpPacket& packet, std::uint32_t address);
MacAddress ReadMac(const BootpPacket& packet);

// Turns the image into a reply in place: op 2, then for a plain-BOOTP controller zeros from
// byte 240 on (no options, no end option); for any other the lease (86400 s), the subnet mask
// and the end option, beside the message type and server identifier already there.
void MakeReply(BootpPacket& image, bool plainBootp, std::uint32_t netmask);

}  // namespace orvan::protocol
