// The utility call's shell requests: resources, the controllers without an address and their
// assignment, servers, publishing and connections.
#include "server_client/client_device.hpp"

namespace orvan {

std::string ClientDevice::Resources() {
  std::lock_guard<std::recursive_timed_mutex> guard(requestLock);
  // The search runs on in the server; its first results need a moment.
  if (TryShell("r -s")) WaitMilliseconds(500);
  return Shell("r", true);
}

std::string ClientDevice::NoIp() { return Shell("noip", true); }

void ClientDevice::NoIpListen(int32_t milliseconds) {
  ShellQuietly("noip -l " + std::to_string(milliseconds));
}

void ClientDevice::NoIpRemember(bool remember) {
  ShellQuietly(std::string("noip --remember ") + (remember ? "1" : "0"));
}

void ClientDevice::Assign(const std::string& mac, const std::string& ip) {
  if (mac.empty())
    ShellQuietly("assign --clear all");
  else if (ip.empty())
    ShellQuietly("assign --clear " + mac);
  else
    ShellQuietly("assign -m " + mac + " -a " + ip);
}

std::string ClientDevice::Servers() { return Shell("servers", true); }

void ClientDevice::Publish(const std::string& name, bool publish, bool save) {
  const std::string port = " --port " + std::to_string(protocol::kServerPort);
  std::string text =
      publish ? "publish --name " + name + port : "publish --remove --name " + name + port;
  if (save) text += " --save";
  ShellQuietly(text);
}

std::string ClientDevice::Connections() { return Shell("connections", true); }

}  // namespace orvan
