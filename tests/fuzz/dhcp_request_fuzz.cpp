// Arbitrary bytes as datagrams to the IP assigner's core: the first byte picks the port
// (67 or 68) and whether a probe runs; the rest is the datagram, fed twice (a first request
// and a repeat). A listing, an assignment of what arrived and a save follow, as the shell would.
#include <boost/property_tree/ptree.hpp>

#include <cstdint>
#include <string>

#include "protocol/bootp.hpp"
#include "protocol/bootp_text.hpp"
#include "services/dhcp_request_table.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  DhcpRequestTable table;
  platform::HostInterface adapter;
  adapter.name = "eth0";
  adapter.address = "10.99.1.1";
  adapter.netmask = "255.255.255.0";
  table.StartProbe({adapter});
  if (!(data[0] & 2)) table.EndProbe();
  table.SetRemember(data[0] & 4);
  const std::uint16_t port =
      (data[0] & 1) ? orvan::protocol::kBootpClientPort : orvan::protocol::kBootpServerPort;
  for (int round = 0; round < 2; ++round) {
    const auto outcome = table.OnDatagram(data + 1, size - 1, port, "eth0", "10.99.1.1");
    for (const auto& reply : outcome.replies) {
      if (reply.packet[0] != orvan::protocol::kBootReply) __builtin_trap();
    }
    if (round == 0 && !table.Requests().empty()) {
      const auto mac = orvan::protocol::ReadMac(table.Requests().begin()->second.image);
      (void)table.Assign(orvan::protocol::FormatMacAddress(mac), "10.99.1.50");
    }
  }
  (void)table.List();
  boost::property_tree::ptree root;
  table.SaveTo(root, -1);
  DhcpRequestTable loaded;
  loaded.LoadFrom(root);
  return 0;
}
