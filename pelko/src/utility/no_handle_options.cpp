// The utility options that need no handle: the version, a pause, the process-wide server and
// the requests to a server. Each server request runs in a session of its own.
#include <string>

#include "api/orv_con.hpp"
#include "core/orvan_device.hpp"
#include "server_client/client_device.hpp"
#include "utility/utility_options.hpp"
#include "utility/utility_session.hpp"

namespace orvan {

int32_t LibraryVersion(const UtilityCall& call) {
  return TextOut(call, [] { return std::string(kLibraryVersion); });
}

int32_t Pause(const UtilityCall& call) {
  WaitMilliseconds(*static_cast<const uint32_t*>(call.data1));
  return 0;
}

int32_t SetServer(const UtilityCall& call) {
  SetDefaultServer(TextIn(call), *static_cast<const uint16_t*>(call.data2));
  return 0;
}

int32_t ServerVersion(const UtilityCall& call) {
  return TextOut(call, [] {
    const DefaultServer server = GetDefaultServer();
    UtilitySession session;
    session.Connect(server.address, server.port);
    return session.Shell("a -v");
  });
}

int32_t ServerResources(const UtilityCall& call) {
  return TextOut(call, [] {
    UtilitySession session;
    return session.Resources();
  });
}

namespace {

// The session's device connected to the configured server.
ClientDevice& ConfiguredServer(UtilitySession& session) {
  const DefaultServer server = GetDefaultServer();
  session.Connect(server.address, server.port);
  return *session.Device();
}

}  // namespace

// Three forms, told apart by which arguments were given: the requests heard (buffer and
// length), listen for n ms (n alone), or how long the server listens (a place for it alone).
int32_t IpRequestListening(const UtilityCall& call) {
  if (call.data1 && call.data2) {
    return TextOut(call, [] {
      UtilitySession session;
      return session.NoIp();
    });
  }
  UtilitySession session;
  if (call.data1) {
    ConfiguredServer(session).NoIpListen(*static_cast<const uint32_t*>(call.data1));
  } else {
    *static_cast<uint32_t*>(call.data2) = ConfiguredServer(session).NoIpTimeout();
  }
  return 0;
}

int32_t AssignThroughServer(const UtilityCall& call) {
  const std::string ip = ShellTextIn(call.data1);
  const std::string mac = ShellTextIn(call.data2);
  UtilitySession session;
  ConfiguredServer(session).Assign(mac, ip);
  return 0;
}

int32_t PingThroughServer(const UtilityCall& call) {
  const std::string address = ShellTextIn(call.data1);
  UtilitySession session;
  const bool answered = session.Ping(GetDefaultServer().port, address);
  *static_cast<uint32_t*>(call.data2) = answered ? 1 : 0;
  return 0;
}

int32_t RememberedAssignments(const UtilityCall& call) {
  UtilitySession session;
  *static_cast<uint8_t*>(call.data1) = ConfiguredServer(session).NoIpRemembered() ? 1 : 0;
  return 0;
}

int32_t RememberAssignments(const UtilityCall& call) {
  UtilitySession session;
  ConfiguredServer(session).NoIpRemember(*static_cast<const uint8_t*>(call.data1) != 0);
  return 0;
}

int32_t ServerConnections(const UtilityCall& call) {
  return TextOut(call, [] {
    UtilitySession session;
    return session.Connections();
  });
}

}  // namespace orvan
