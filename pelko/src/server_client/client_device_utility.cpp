// The utility call's shell requests: resources, the controllers without an address and their
// assignment, servers, publishing and connections.
#include "server_client/client_device.hpp"

#include "core/orvan_error.hpp"
#include "server_client/shell_exchange.hpp"

namespace orvan {

std::string ClientDevice::Resources() {
  std::lock_guard<std::recursive_timed_mutex> guard(requestLock);
  // The search runs on in the server; its first results need a moment.
  if (TryShell("r -s")) WaitMilliseconds(500);
  return Shell("r", true);
}

std::string ClientDevice::NoIp() { return Shell("noip", true); }

// The settings requests below answer only "~" or "\"; a refusal is reported, not swallowed,
// so a caller never takes a setting the server did not make for done.
void ClientDevice::NoIpListen(uint32_t milliseconds) {
  Shell("noip -l " + std::to_string(milliseconds), true);
}

void ClientDevice::NoIpRemember(bool remember) {
  Shell(std::string("noip --remember ") + (remember ? "1" : "0"), true);
}

bool ClientDevice::NoIpRemembered() {
  return ReadReplyNumber(Shell("noip --remembered", true)) != 0;
}

uint32_t ClientDevice::NoIpTimeout() { return ReadReplyNumber(Shell("noip --timeout", true)); }

void ClientDevice::Assign(const std::string& mac, const std::string& ip) {
  if (mac.empty())
    Shell("assign --clear all", true);
  else if (ip.empty())
    Shell("assign --clear " + mac, true);
  else
    Shell("assign -m " + mac + " -a " + ip, true);
}

bool ClientDevice::Ping(const std::string& address) {
  std::lock_guard<std::recursive_timed_mutex> guard(requestLock);
  return TryShell("ping " + address);
}

std::string ClientDevice::Servers() { return Shell("servers", true); }

void ClientDevice::Publish(const std::string& name, bool publish, bool save) {
  const std::string port = " --port " + std::to_string(protocol::kServerPort);
  std::string text =
      publish ? "publish --name " + name + port : "publish --remove --name " + name + port;
  if (save) text += " --save";
  // The restart a publish causes may cut its answer short; only the server's explicit
  // refusal is reported.
  try {
    Shell(text, true);
  } catch (const OrvanError& e) {
    if (e.Code() == -20001) throw;
  }
}

std::string ClientDevice::Connections() { return Shell("connections", true); }

}  // namespace orvan
