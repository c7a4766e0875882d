// The administrative command: the connection's idle timeout, the server's version and
// compatibility number, shutting it down and restarting it.
#include <string>

#include "protocol/shell_wire.hpp"
#include "shell/command_shell.hpp"
#include "shell/commands/command_options.hpp"
#include "shell/shell_owner.hpp"
#include "shell/shell_server.hpp"

namespace po = boost::program_options;
using shell_options::Parse;
using shell_options::Table;

void CommandShell::AdminCommand(const std::vector<std::string>& args) {
  std::uint32_t timeout = owner.IdleTimeout();
  auto table = Table("Administrative settings and options.");
  table.add_options()("timeout,t",
                      po::value<std::uint32_t>(&timeout)->implicit_value(owner.IdleTimeout()),
                      "Set timeout for requestor in ms.")("version,v", "Version of dravo.")(
      "compatibility,c", "Compatibility number for pairing with pelko.")(
      "shutdown", "Shut down server.")("restart", "Restart the server.");
  const auto given = Parse(args, table);
  if (given.count("timeout")) owner.SetIdleTimeout(timeout);
  if (given.count("shutdown")) {
    server.Shutdown();
  } else if (given.count("restart")) {
    server.Restart();
  } else if (given.count("version")) {
    Reply(0, std::string(kVersion) + "\r\n");
  } else if (given.count("compatibility")) {
    Reply(0, std::to_string(orvan::protocol::kCompatibility) + "\r\n");
  } else if (given.count("timeout")) {
    Reply(0, std::to_string(owner.IdleTimeout()) + "\r\n");
  } else {
    Reply(0, "");
  }
}
