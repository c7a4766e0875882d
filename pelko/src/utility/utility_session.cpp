// The utility session: connect on first use, one exchange per request, and leave the shell on
// every way out.
#include "utility/utility_session.hpp"

#include <algorithm>
#include <map>
#include <mutex>
#include <vector>

#include <boost/algorithm/string/classification.hpp>
#include <boost/algorithm/string/split.hpp>

#include "api/orv_con.hpp"
#include "core/orvan_error.hpp"
#include "core/orvan_options.hpp"
#include "discovery/network_addresses.hpp"
#include "discovery/no_ip_listener.hpp"
#include "pci/pci_device.hpp"
#include "serial/serial_device.hpp"
#include "server_client/client_device.hpp"

namespace orvan {

UtilitySession::UtilitySession() = default;

UtilitySession::~UtilitySession() {
  if (!device) return;
  try {
    if (device->IsConnected()) device->Disconnect();
  } catch (...) {
    // Leaving is best effort; the socket closes with the device either way.
  }
  device.reset();
}

void UtilitySession::Connect(const std::string& address, uint16_t port) {
  if (!device) device = std::make_shared<ClientDevice>(ioContext);
  if (device->IsConnected()) return;
  device->Connect(address, port);
}

ClientDevice& UtilitySession::Connected() {
  if (!device || !device->IsConnected()) throw OrvanError(-1102);
  return *device;
}

std::string UtilitySession::Shell(const std::string& text) {
  ClientDevice& connected = Connected();
  std::lock_guard<std::recursive_timed_mutex> guard(connected.RequestLock());
  return connected.Shell(text, true);
}

std::string UtilitySession::Connections() {
  Connect(kLocalServerAddress, kLocalServerPort);
  return WithoutCarriageReturns(Connected().Connections());
}

std::string UtilitySession::NoIp() {
  const DefaultServer server = GetDefaultServer();
  Connect(server.address, server.port);
  return WithoutCarriageReturns(Connected().NoIp());
}

bool UtilitySession::Ping(uint16_t port, const std::string& address) {
  Connect(GetDefaultServer().address, port);
  return Connected().Ping(address);
}

std::string UtilitySession::ServerInfo(const std::string& name) {
  Connect(kLocalServerAddress, kLocalServerPort);
  return Shell("serverinfo --name " + name);
}

std::string UtilitySession::Servers() {
  Connect(kLocalServerAddress, kLocalServerPort);
  return WithoutCarriageReturns(Connected().Servers());
}

namespace {

std::string JoinedLines(const std::vector<std::string>& lines) {
  std::string text;
  for (size_t i = 0; i < lines.size(); ++i) text += (i == 0 ? "" : "\n") + lines[i];
  return text;
}

}  // namespace

std::string UtilitySession::IpRequests() {
  const auto listener = std::make_shared<NoIpListener>(ioContext);
  return JoinedLines(listener->Listen());
}

std::string UtilitySession::DirectAddresses() {
  std::vector<std::string> list;
  std::make_shared<NetworkAddresses>(ioContext)->Discover(list);
  ListPciDevices(list);
  ListSerialPorts(list);
  return JoinedLines(list);
}

namespace {

bool IsNetworkAddress(const std::string& field) {
  if (field.empty()) return false;
  OrvanOptions classified;
  classified.address = field;
  return classified.AddressKind() == kAddressNetwork;
}

}  // namespace

std::string UtilitySession::Resources() {
  const DefaultServer server = GetDefaultServer();
  Connect(server.address, server.port);
  const std::string listing = Connected().Resources();
  if (listing.empty()) return {};

  std::vector<std::string> lines;
  boost::algorithm::split(lines, listing, boost::is_any_of("\r\n"), boost::token_compress_on);
  // A controller reached over several interfaces is listed once per interface; it is asked
  // about once.
  std::map<std::string, bool> answered;
  std::string result;
  for (const std::string& line : lines) {
    std::vector<std::string> fields;
    boost::algorithm::split(fields, line, boost::is_any_of(","));
    const std::string& address = fields.front();
    if (IsNetworkAddress(address)) {
      auto known = answered.find(address);
      if (known == answered.end())
        known = answered.emplace(address, Ping(server.port, address)).first;
      if (!known->second) {
        result += "(" + address + ")";
        for (size_t i = 1; i < fields.size(); ++i) result += "," + fields[i];
        result += "\n";
        continue;
      }
    }
    result += line + "\n";
  }
  return result;
}

std::string WithoutCarriageReturns(std::string text) {
  text.erase(std::remove(text.begin(), text.end(), '\r'), text.end());
  return text;
}

}  // namespace orvan
