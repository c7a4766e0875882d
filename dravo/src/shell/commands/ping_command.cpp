// The ping command: the server pings a controller and its pinger answers the client.
#include <string>

#include "shell/command_shell.hpp"
#include "shell/commands/command_options.hpp"
#include "shell/shell_owner.hpp"
#include "shell/shell_server.hpp"

namespace po = boost::program_options;
using shell_options::Parse;
using shell_options::Table;

void CommandShell::PingCommand(const std::vector<std::string>& args) {
  std::string address;
  int count = 1;
  auto table = Table("Ping a controller.");
  table.add_options()("address,a", po::value<std::string>(&address), "Address to ping.")(
      "count,c", po::value<int>(&count)->implicit_value(1), "Ping count.");
  Parse(args, table, {"address"});
  if (address.empty()) {
    Fail("ping requires an address");
    return;
  }
  // The pinger answers, one line per echo.
  server.StartPing(address, count, owner.SharedFromThis());
}
