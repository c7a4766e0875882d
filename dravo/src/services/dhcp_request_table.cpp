#include "services/dhcp_request_table.hpp"

#include "protocol/bootp_text.hpp"
#include "protocol/controller_model.hpp"
#include "settings/config_store.hpp"

#include <boost/property_tree/ptree.hpp>

#include <algorithm>
#include <stdexcept>

namespace protocol = orvan::protocol;
namespace pt = boost::property_tree;

DhcpRequestTable::DhcpRequestTable(Clock clock) : now(std::move(clock)) {}

DhcpRequest::Time DhcpRequestTable::SystemTime() {
  return std::chrono::time_point_cast<std::chrono::seconds>(std::chrono::system_clock::now());
}

void DhcpRequestTable::StartProbe(std::vector<platform::HostInterface> fresh) {
  adapters = std::move(fresh);
  for (auto& adapter : adapters) adapter.dhcpEnabled = false;
  probing = true;
}

DhcpOutcome DhcpRequestTable::OnDatagram(const std::uint8_t* bytes, std::size_t length,
                                         std::uint16_t port, const std::string& adapterName,
                                         const std::string& adapterAddress) {
  DhcpOutcome outcome;
  const auto request = protocol::ReadBootpRequest(bytes, length);
  if (!request) return outcome;
  if (port == protocol::kBootpClientPort) {
    // Only the probe's answers count here: the server's own replies come back to this port.
    if (probing && request->Xid() == protocol::kProbeXid &&
        request->messageType == protocol::kDhcpOffer) {
      for (auto& adapter : adapters) {
        if (adapter.name == adapterName) adapter.dhcpEnabled = true;
      }
      outcome.probeAnswered = true;
    }
    return outcome;
  }
  if (port != protocol::kBootpServerPort || !protocol::HasControllerPrefix(request->mac))
    return outcome;
  DhcpRequest* record = GetOrAddRequest(request->mac);
  if (!record) return outcome;
  auto& image = record->image;
  std::copy(request->xid.begin(), request->xid.end(), image.begin() + protocol::kBootpXid);
  std::copy(request->mac.begin(), request->mac.end(), image.begin() + protocol::kBootpChaddr);
  image[protocol::kBootpMessageType] = request->messageType;
  record->adapterName = adapterName;
  protocol::WriteServerIdentifier(image, protocol::ParseIpv4Address(adapterAddress).value_or(0));
  record->lastSeen = now();
  const auto* adapter = FindAdapter(adapterName);
  record->suppress =
      protocol::DefersToForeignServer(record->ModelByte()) && adapter && adapter->dhcpEnabled;
  switch (request->messageType) {
    case protocol::kPlainBootp:
      break;
    case protocol::kDhcpDiscover:
      protocol::WriteMessageType(image, protocol::kDhcpOffer);
      break;
    case protocol::kDhcpRequest:
      protocol::WriteMessageType(image, protocol::kDhcpAck);
      break;
    default:
      return outcome;  // a release, decline or inform: seen, never answered
  }
  outcome.replies = SendReply(*record);
  return outcome;
}

std::vector<DhcpReply> DhcpRequestTable::SendReply(DhcpRequest& record) {
  std::vector<DhcpReply> replies;
  if (record.Assigned() == 0 || !record.lastSeen || record.suppress) return replies;
  const std::uint32_t server = protocol::ReadAddress(record.image, protocol::kBootpServerId);
  const bool plainBootp = protocol::IsBootpModel(record.ModelByte());
  for (const auto& adapter : adapters) {
    if (protocol::ParseIpv4Address(adapter.address) != server) continue;
    DhcpReply reply{adapter.name, adapter.address, record.image};
    protocol::MakeReply(reply.packet, plainBootp,
                        protocol::ParseIpv4Address(adapter.netmask).value_or(0));
    replies.push_back(std::move(reply));
  }
  if (!replies.empty()) record.image = replies.front().packet;
  // A plain-BOOTP reply blanks the options; the record keeps its server all the same.
  protocol::WriteServerIdentifier(record.image, server);
  return replies;
}

DhcpOutcome DhcpRequestTable::Assign(const std::string& mac, const std::string& ip) {
  DhcpOutcome outcome;
  if (mac.empty()) {
    for (auto& [key, record] : requests)
      protocol::WriteAddress(record.image, protocol::kBootpYiaddr, 0);
    ExpireRequests();
    return outcome;
  }
  const auto parsed = protocol::ParseMacAddress(mac);
  if (!parsed) throw std::invalid_argument("invalid MAC address: " + mac);
  std::uint32_t address = 0;
  if (!ip.empty()) {
    const auto converted = protocol::ParseIpv4Address(ip);
    if (!converted) throw std::invalid_argument("invalid IP address: " + ip);
    address = *converted;
  }
  DhcpRequest* record = GetOrAddRequest(*parsed);
  if (!record)
    throw std::length_error("the IP assigner holds " + std::to_string(kMaxRequests) +
                            " assigned controllers already");
  std::copy(parsed->begin(), parsed->end(), record->image.begin() + protocol::kBootpChaddr);
  protocol::WriteAddress(record->image, protocol::kBootpYiaddr, address);
  protocol::WriteMessageType(record->image, protocol::kDhcpOffer);
  if (address != 0) {
    outcome.replies = SendReply(*record);
  } else {
    ExpireRequests();
  }
  // Without remembering, a plain-BOOTP controller's address serves one reply only.
  if (!remember && protocol::IsBootpModel((*parsed)[3])) requests.erase(Key(*parsed));
  return outcome;
}

std::string DhcpRequestTable::List() {
  ExpireRequests();
  std::string listing;
  for (const auto& [key, record] : requests) {
    if (!record.suppress) listing += DescribeRequest(record) + "\r\n";
  }
  return listing;
}

void DhcpRequestTable::ExpireRequests() {
  const auto time = now();
  for (auto entry = requests.begin(); entry != requests.end();) {
    const auto& record = entry->second;
    if (Expired(record, time) && (record.Assigned() == 0 || !remember)) {
      entry = requests.erase(entry);
    } else {
      ++entry;
    }
  }
}

bool DhcpRequestTable::Expired(const DhcpRequest& record, DhcpRequest::Time time) const {
  if (!record.lastSeen) return true;
  const int limit = protocol::IsBootpModel(record.ModelByte()) ? kBootpExpiry : kDhcpExpiry;
  return (time - *record.lastSeen).count() >= limit;
}

void DhcpRequestTable::SetRemember(bool on) {
  remember = on;
  if (!on) requests.clear();
}

void DhcpRequestTable::SaveTo(pt::ptree& root, int listenTimeout) const {
  root.erase(ConfigStore::kDhcp);
  root.put(ConfigStore::kDhcpTimeout, listenTimeout);
  root.put(ConfigStore::kDhcpRemember, remember);
  if (!remember) return;
  auto& section = root.get_child(ConfigStore::kDhcp);
  for (const auto& [key, record] : requests) {
    if (record.Assigned() == 0) continue;
    pt::ptree assignment;
    assignment.put(ConfigStore::kAssignMac,
                   protocol::FormatMacAddress(protocol::ReadMac(record.image)));
    assignment.put(ConfigStore::kAssignIp, protocol::FormatIpv4Address(record.Assigned()));
    section.add_child("assign", assignment);
  }
}

void DhcpRequestTable::LoadFrom(const pt::ptree& root) {
  remember = root.get<bool>(ConfigStore::kDhcpRemember, false);
  const auto section = root.get_child_optional(ConfigStore::kDhcp);
  if (!section) return;
  for (const auto& [name, node] : *section) {
    if (name != "assign") continue;
    const auto mac = protocol::ParseMacAddress(node.get<std::string>(ConfigStore::kAssignMac, ""));
    const auto ip = node.get<std::string>(ConfigStore::kAssignIp, "");
    if (!mac || ip.empty()) continue;
    DhcpRequest* record = GetOrAddRequest(*mac);
    if (!record) continue;
    protocol::WriteAddress(record->image, protocol::kBootpYiaddr,
                           protocol::ParseIpv4Address(ip).value_or(0));
  }
}

std::int32_t DhcpRequestTable::Key(const protocol::MacAddress& mac) {
  return static_cast<std::int32_t>(mac[3]) << 16 | mac[4] << 8 | mac[5];
}

DhcpRequest* DhcpRequestTable::GetOrAddRequest(const protocol::MacAddress& mac) {
  const auto key = Key(mac);
  const auto found = requests.find(key);
  if (found != requests.end()) return &found->second;
  if (requests.size() >= kMaxRequests) {
    // The unassigned controller that asked longest ago (or never) makes room.
    auto oldest = requests.end();
    for (auto entry = requests.begin(); entry != requests.end(); ++entry) {
      if (entry->second.Assigned() != 0) continue;
      if (oldest == requests.end() || entry->second.lastSeen < oldest->second.lastSeen)
        oldest = entry;
    }
    if (oldest == requests.end()) return nullptr;
    requests.erase(oldest);
  }
  DhcpRequest& record = requests[key];
  std::copy(mac.begin(), mac.end(), record.image.begin() + protocol::kBootpChaddr);
  return &record;
}

const platform::HostInterface* DhcpRequestTable::FindAdapter(const std::string& name) const {
  const auto found = std::find_if(adapters.begin(), adapters.end(),
                                  [&](const platform::HostInterface& a) { return a.name == name; });
  return found == adapters.end() ? nullptr : &*found;
}

std::string DhcpRequestTable::DescribeRequest(const DhcpRequest& record) const {
  const auto mac = protocol::ReadMac(record.image);
  return protocol::ControllerModelName(mac[3]) + ", " + std::to_string(mac[4] * 256 + mac[5]) +
         ", " + protocol::FormatMacAddress(mac) + ", " + record.adapterName + ", " +
         protocol::FormatIpv4Address(
             protocol::ReadAddress(record.image, protocol::kBootpServerId)) +
         ", " + protocol::FormatIpv4Address(record.Assigned());
}
