// The utility session: connect on first use, one exchange per request, and leave the shell on
// every way out.
#include "utility/utility_session.hpp"

#include <algorithm>
#include <mutex>

#include "core/orvan_error.hpp"
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

std::string WithoutCarriageReturns(std::string text) {
  text.erase(std::remove(text.begin(), text.end(), '\r'), text.end());
  return text;
}

}  // namespace orvan
