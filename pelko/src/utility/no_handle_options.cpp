// The utility options that need no handle: the version, a pause, the process-wide server and
// the requests to a server. Each server request runs in a session of its own.
#include <string>

#include "api/orv_con.hpp"
#include "core/orvan_device.hpp"
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

int32_t ServerConnections(const UtilityCall& call) {
  return TextOut(call, [] {
    UtilitySession session;
    return session.Connections();
  });
}

}  // namespace orvan
