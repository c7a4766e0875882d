// The utility options that reach controllers without a server: discovery, the BOOTP listener,
// direct assignment and ping. Each runs on the I/O context of a session of its own.
#include <memory>
#include <string>

#include "discovery/ip_assigner.hpp"
#include "discovery/ping.hpp"
#include "utility/utility_options.hpp"
#include "utility/utility_session.hpp"

namespace orvan {

int32_t DirectAddressList(const UtilityCall& call) {
  return TextOut(call, [] {
    UtilitySession session;
    return session.DirectAddresses();
  });
}

int32_t DirectIpRequests(const UtilityCall& call) {
  return TextOut(call, [] {
    UtilitySession session;
    return session.IpRequests();
  });
}

int32_t AssignDirectly(const UtilityCall& call) {
  const std::string ip = static_cast<const char*>(call.data1);
  const std::string mac = static_cast<const char*>(call.data2);
  UtilitySession session;
  std::make_shared<IpAssigner>(session.IoContext())->Assign(mac, ip);
  return 0;
}

int32_t PingDirectly(const UtilityCall& call) {
  const std::string address = static_cast<const char*>(call.data1);
  UtilitySession session;
  const bool answered = Ping(session.IoContext(), address) == kPingAnswered;
  *static_cast<uint32_t*>(call.data2) = answered ? 1 : 0;
  return 0;
}

}  // namespace orvan
