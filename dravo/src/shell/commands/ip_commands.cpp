// The IP assigner's commands: listening for controllers that ask for an address, and assigning
// one.
#include <string>

#include "shell/command_shell.hpp"
#include "shell/commands/command_options.hpp"
#include "shell/shell_server.hpp"

namespace po = boost::program_options;
using shell_options::Parse;
using shell_options::Table;

void CommandShell::NoIpCommand(const std::vector<std::string>& args) {
  int listen = 0;
  bool remember = false;
  auto table = Table(
      "Listen for controllers requesting IP addresses. No args lists current requests and "
      "remembered.");
  table.add_options()(
      "listen,l", po::value<int>(&listen)->implicit_value(-1),
      "Listen for controllers requesting IP addresses. (<0 listen indef. ==0 stop listen. >0 "
      "listen with timeout in ms.")("timeout", "Return timeout of DHCP server.")(
      "remember", po::value<bool>(&remember)->implicit_value(false), "Remember assignments")(
      "remembered", "Get if remember assignments is set");
  const auto given = Parse(args, table);
  if (given.empty()) {
    Reply(0, server.ListIpRequests());
  } else if (given.count("listen")) {
    server.SetIpListenTimeout(listen);
    Reply(0, "");
  } else if (given.count("timeout")) {
    Reply(0, std::to_string(server.IpListenTimeout()) + "\r\n");
  } else {
    if (given.count("remember")) {
      server.SetRememberAssignments(remember);
      Reply(0, "");
    }
    if (given.count("remembered")) Reply(0, server.RememberAssignments() ? "1" : "0");
  }
}

void CommandShell::AssignCommand(const std::vector<std::string>& args) {
  std::string mac;
  std::string address;
  std::string clear;
  auto table = Table("Assign IP address to a controller. Adds an entry to remembered assignments.");
  table.add_options()("mac,m", po::value<std::string>(&mac),
                      "MAC Address of hardware, dash or colon delimited.")(
      "address,a", po::value<std::string>(&address), "IP Address to assign.")(
      "clear", po::value<std::string>(&clear),
      "Remove a MAC address from memory. Specify \"all\" to remove all.");
  const auto given = Parse(args, table);
  if (given.count("clear")) {
    server.AssignIp(clear == "all" ? std::string() : clear, std::string());
  } else if (given.count("mac") && given.count("address")) {
    server.AssignIp(mac, address);
  }
  Reply(0, "");
}
