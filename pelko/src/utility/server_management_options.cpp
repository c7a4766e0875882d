// The utility options that manage the local server: its published servers, its own
// announcement, its status and the choice of a server by published name.
#include <boost/asio/ip/tcp.hpp>

#include <cerrno>
#include <cstdlib>
#include <limits>
#include <string>

#include "api/orv_con.hpp"
#include "platform/resolve.hpp"
#include "server_client/client_device.hpp"
#include "utility/utility_options.hpp"
#include "utility/utility_session.hpp"

namespace orvan {

int32_t PublishedServers(const UtilityCall& call) {
  return TextOut(call, [] {
    UtilitySession session;
    return session.Servers();
  });
}

int32_t PublishLocalServer(const UtilityCall& call) {
  const std::string name = ShellTextIn(call.data1);
  const uint16_t flags = *static_cast<const uint16_t*>(call.data2);
  UtilitySession session;
  session.Connect(kLocalServerAddress, kLocalServerPort);
  session.Device()->Publish(name, (flags & 1) != 0, flags >= 2);
  return 0;
}

namespace {

constexpr int32_t kNoSuchServer = -20000;

// The port text as strtol reads it, within 32 bits; false when no digits lead it.
bool ReadPort(const std::string& text, int32_t& port) {
  const char* begin = text.c_str();
  char* end = nullptr;
  errno = 0;
  const long long value = std::strtoll(begin, &end, 10);
  if (end == begin || errno == ERANGE || value < std::numeric_limits<int32_t>::min() ||
      value > std::numeric_limits<int32_t>::max())
    return false;
  port = static_cast<int32_t>(value);
  return true;
}

}  // namespace

int32_t SelectServerByName(const UtilityCall& call) {
  const std::string name = ShellTextIn(call.data1);
  if (name == "Local") {
    SetDefaultServer(kLocalServerAddress, kLocalServerPort);
    return 0;
  }
  UtilitySession session;
  const std::string reply = session.ServerInfo(name);
  const size_t comma = reply.find(',');
  if (reply.empty() || reply == "none" || comma == std::string::npos) return kNoSuchServer;
  int32_t port = 0;
  if (!ReadPort(reply.substr(comma + 1), port)) return kNoSuchServer;
  try {
    boost::asio::ip::tcp::resolver resolver(session.IoContext());
    const auto results = resolver.resolve(boost::asio::ip::tcp::v4(), reply.substr(0, comma),
                                          std::to_string(port), platform::ResolveFlags());
    if (results.empty()) return kNoSuchServer;
    SetDefaultServer(results.begin()->endpoint().address().to_string(),
                     static_cast<uint16_t>(port));
  } catch (...) {
    return kNoSuchServer;
  }
  return 0;
}

int32_t LocalServerStatus(const UtilityCall& call) {
  return TextOut(call, [] {
    UtilitySession session;
    session.Connect(kLocalServerAddress, kLocalServerPort);
    return session.Shell("serverstatus");
  });
}

int32_t PublishedServerInfo(const UtilityCall& call) {
  // Read before the reply is written over it.
  const std::string name = ShellTextIn(call.data1);
  return TextOut(call, [&name] {
    UtilitySession session;
    return session.ServerInfo(name);
  });
}

}  // namespace orvan
