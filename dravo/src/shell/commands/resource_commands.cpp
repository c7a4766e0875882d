// The commands on hardware connections: open, link, close, ctrl, and the hardware search.
#include <algorithm>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>

#include "protocol/resource_kind.hpp"
#include "protocol/shell_wire.hpp"
#include "resources/open_parameters.hpp"
#include "shell/command_shell.hpp"
#include "shell/commands/command_options.hpp"
#include "shell/request.hpp"
#include "shell/shell_owner.hpp"
#include "shell/shell_server.hpp"

namespace po = boost::program_options;
using orvan::protocol::kControllerCommandPort;
using orvan::protocol::kControllerUnsolicitedPort;
using orvan::protocol::KindWord;
using orvan::protocol::kKindPci;
using orvan::protocol::kKindSerial;
using orvan::protocol::kKindTcp;
using orvan::protocol::kKindUdp;
using shell_options::Parse;
using shell_options::Table;

namespace {

bool Contains(const std::string& text, const char* word) {
  return text.find(word) != std::string::npos;
}

// Serial ports and PCI cards by the names this platform gives them.
bool IsSerialAddress(const std::string& address) {
  return Contains(address, "COM") || Contains(address, "/dev/tty");
}
bool IsPciAddress(const std::string& address) {
  return Contains(address, "PCI") || Contains(address, "RUREZIVU") ||
         Contains(address, "/dev/rurezivu");
}

// A socket port read without Boost's 16-bit conversion, which overflows on some non-digits.
struct Port {
  std::uint16_t value = 0;
};

void validate(boost::any& target, const std::vector<std::string>& values, Port*, int) {
  po::validators::check_first_occurrence(target);
  const std::string& text = po::validators::get_single_string(values);
  const bool digits =
      !text.empty() && text.size() <= 5 &&
      std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
  if (!digits || std::stoul(text) > 65535) throw po::invalid_option_value(text);
  target = Port{static_cast<std::uint16_t>(std::stoul(text))};
}

}  // namespace

void CommandShell::LinkCommand(const std::vector<std::string>& args) {
  std::string address;
  std::string protocol;
  std::uint32_t id = linkNumber;
  int asked = 0;
  auto table = Table(
      "Configures link. No args returns link number. Allows specifying a resource and getting a "
      "connection all in one shell command.");
  table.add_options()("address,a", po::value<std::string>(&address),
                      "Specify link by simple address, e.g. 192.168.42.200.")(
      "id", po::value<std::uint32_t>(&id), "Number of resource to set, see \"open\".")(
      "mode,m", po::value<int>(&asked), "Switch to mode (1=raw, 2=cooked).")(
      "pass", po::value<std::uint32_t>(&passCounter)->default_value(0), "Bytes to pass unescaped.")(
      "protocol,p", po::value<std::string>(&protocol), "Use to narrow Ethernet choice (udp, tcp).");
  Parse(args, table);
  mode = asked == static_cast<int>(kRawMode)      ? kRawMode
         : asked == static_cast<int>(kCookedMode) ? kCookedMode
                                                  : kShellMode;
  if (!address.empty()) {
    const auto found = server.FindResource(address, protocol);
    if (!found) throw std::runtime_error("no open resource at " + address);
    id = *found;
  }
  if (id != linkNumber) Link(id);
  Reply(0, mode == kShellMode ? std::to_string(linkNumber) + "\r\n" : std::string());
}

void CommandShell::OpenCommand(const std::vector<std::string>& args) {
  auto parameters = std::make_unique<OpenParameters>();
  parameters->baud = 115200;
  parameters->hardwareHandshake = true;
  parameters->port = kControllerUnsolicitedPort;
  parameters->kind = kKindUdp;
  std::string protocol;
  std::string handshake;
  Port port{parameters->port};
  auto table = Table("Opens a resource to an address. No args lists current resources.");
  table.add_options()("address,a", po::value<std::string>(&parameters->address),
                      "Simple address to hardware.")(
      "port",
      po::value<Port>(&port)->implicit_value(Port{kControllerCommandPort},
                                             std::to_string(kControllerCommandPort)),
      "Socket port.")("protocol,p",
                      po::value<std::string>(&protocol)->implicit_value(KindWord(kKindUdp)),
                      "Protocol for Ethernet connection (udp, tcp).")(
      "baud,b", po::value<std::uint32_t>(&parameters->baud)->implicit_value(115200), "Baud rate.")(
      "handshake", po::value<std::string>(&handshake)->implicit_value("hardware"),
      "Hardware handshaking (hardware, none).");
  const auto given = Parse(args, table, {"address"}, false);
  const bool portGiven = given.count("port") > 0;
  parameters->port = port.value;
  if (protocol == KindWord(kKindTcp)) {
    parameters->kind = kKindTcp;
    if (!portGiven) parameters->port = kControllerCommandPort;
  } else if (IsSerialAddress(parameters->address)) {
    parameters->kind = kKindSerial;
  } else if (IsPciAddress(parameters->address)) {
    parameters->kind = kKindPci;
  } else {
    parameters->kind = kKindUdp;
    if (!portGiven) parameters->port = kControllerUnsolicitedPort;
  }
  if (handshake == "none") parameters->hardwareHandshake = false;
  if (parameters->address.empty()) {
    Reply(0, server.ListResources());
    return;
  }
  server.OpenResource(std::move(parameters));  // a full table throws: the answer is "\"
  Reply(0, "");
}

void CommandShell::CloseCommand(const std::vector<std::string>& args) {
  std::vector<std::uint32_t> ids;
  auto table = Table("Close resource.");
  table.add_options()("close,c", po::value<std::vector<std::uint32_t>>(&ids),
                      "ID(s) of resource(s) to close.")("all,a", "Close all resources.");
  const auto given = Parse(args, table, {"close"});
  if (given.count("all")) {
    server.CloseAllResources();
  } else {
    for (const auto id : ids) server.CloseResource(id);
  }
  Reply(0, "");
}

void CommandShell::ResourcesCommand(const std::vector<std::string>& args) {
  auto table = Table("Search for available resources. No args lists last found.");
  table.add_options()("search,s", "Search for hardware resources.");
  const auto given = Parse(args, table);
  if (given.count("search")) {
    server.SearchResources();
    Reply(0, "");
  } else {
    Reply(0, server.ListFound());
  }
}

void CommandShell::CtrlCommand(const std::vector<std::string>& args) {
  int baud = 0;
  int stopBits = 0;
  auto table = Table("");
  table.add_options()("baud", po::value<int>(&baud), "Change baud rate of linked resource.")(
      "stopbits", po::value<int>(&stopBits), "Stop bits (1, 2).");
  // "request" is not in the table: any word that is not an option fails the parse.
  const auto given = Parse(args, table, {"request"});
  if (given.count("help")) {
    std::ostringstream printed;
    printed << table;
    Reply(0, printed.str());
    return;
  }
  const std::pair<const char*, std::uint32_t> controls[] = {
      {"baud", Request::kControlBaud}, {"stopbits", Request::kControlStopBits}};
  for (const auto& [option, parameter] : controls) {
    if (!given.count(option)) continue;
    const int value = parameter == Request::kControlBaud ? baud : stopBits;
    const int result = server.Submit(
        linkNumber, Request::RequestWithControl(parameter, static_cast<std::uint32_t>(value),
                                                owner.SharedFromThis()));
    if (result != 0) {
      Reply(result, "");
      return;
    }
  }
  Reply(0, "");
}
