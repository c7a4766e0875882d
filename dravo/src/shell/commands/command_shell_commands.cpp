// The shell's line handler, its command dispatcher and every command with its option table.
#include <algorithm>
#include <boost/algorithm/string.hpp>
#include <boost/program_options.hpp>
#include <map>
#include <sstream>
#include <string>

#include "core/i_error.hpp"
#include "protocol/option_error_text.hpp"
#include "resources/open_parameters.hpp"
#include "settings/config_store.hpp"
#include "settings/publish_settings.hpp"
#include "shell/command_shell.hpp"
#include "shell/request.hpp"
#include "shell/shell_owner.hpp"
#include "shell/shell_server.hpp"

namespace po = boost::program_options;

namespace {

constexpr const char* kHelpText = "Print help, all other options ignored.";
constexpr const char* kProtocolWord = "tcp";

// Resource kinds.
constexpr std::uint32_t kKindTcp = 0;
constexpr std::uint32_t kKindUdp = 1;
constexpr std::uint32_t kKindSerial = 2;
constexpr std::uint32_t kKindPci = 3;

// A command's option table: the caption, the common help option, the library's layout.
po::options_description Table(const std::string& caption) {
  po::options_description table(caption, po::options_description::m_default_line_length,
                                po::options_description::m_default_line_length / 2);
  table.add_options()("help", kHelpText);
  return table;
}

struct Positional {
  const char* name = nullptr;
};

// Parses the words after the command word into the table's variables.
po::variables_map Parse(const std::vector<std::string>& args, const po::options_description& table,
                        Positional positional = {}, bool allowUnregistered = true) {
  po::command_line_parser parser(args);
  parser.options(table);
  po::positional_options_description positions;
  if (positional.name) {
    positions.add(positional.name, -1);
    parser.positional(positions);
  }
  if (allowUnregistered) parser.allow_unregistered();
  po::variables_map map;
  po::store(parser.run(), map);
  po::notify(map);
  return map;
}

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

using orvan::protocol::OptionErrorText;

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

void CommandShell::ExecuteLine(const std::uint8_t* bytes, std::size_t length) {
  std::string line(reinterpret_cast<const char*>(bytes), length);
  boost::algorithm::trim(line);
  if (line.empty()) {
    Reply(0, "");
    return;
  }
  std::vector<std::string> words;
  boost::algorithm::split(
      words, line, [](char c) { return c == ' '; }, boost::algorithm::token_compress_on);
  RunCommand(std::move(words));
}

void CommandShell::RunCommand(std::vector<std::string> words) {
  if (words.empty()) {
    Reply(0, "");
    return;
  }
  using Command = void (CommandShell::*)(const std::vector<std::string>&);
  static const std::map<std::string, Command> commands = {
      {"l", &CommandShell::LinkCommand},
      {"link", &CommandShell::LinkCommand},
      {"o", &CommandShell::OpenCommand},
      {"open", &CommandShell::OpenCommand},
      {"c", &CommandShell::CloseCommand},
      {"close", &CommandShell::CloseCommand},
      {"q", &CommandShell::QuitCommand},
      {"quit", &CommandShell::QuitCommand},
      {"exit", &CommandShell::QuitCommand},
      {"a", &CommandShell::AdminCommand},
      {"admin", &CommandShell::AdminCommand},
      {"noip", &CommandShell::NoIpCommand},
      {"assign", &CommandShell::AssignCommand},
      {"r", &CommandShell::ResourcesCommand},
      {"resources", &CommandShell::ResourcesCommand},
      {"ping", &CommandShell::PingCommand},
      {"serverinfo", &CommandShell::ServerInfoCommand},
      {"serverstatus", &CommandShell::ServerStatusCommand},
      {"servers", &CommandShell::ServersCommand},
      {"publish", &CommandShell::PublishCommand},
      {"connections", &CommandShell::ConnectionsCommand},
      {"te", &CommandShell::TeCommand},
      {"ctrl", &CommandShell::CtrlCommand},
  };
  const std::string word = words.front();
  words.erase(words.begin());
  const auto command = commands.find(word);
  if (command == commands.end()) {
    Fail("invalid dravo command");
    return;
  }
  // A failing command answers "\" alone and keeps its words for "te"; only the quit
  // request leaves the shell.
  try {
    (this->*command->second)(words);
  } catch (const IError&) {
    throw;
  } catch (po::error_with_option_name& e) {
    Fail(OptionErrorText::Of(e));
  } catch (const std::exception& e) {
    Fail(e.what());
  }
}

void CommandShell::LinkCommand(const std::vector<std::string>& args) {
  std::string address;
  std::string protocol;
  std::uint32_t id = linkNumber_;
  int mode = 0;
  auto table = Table(
      "Configures link. No args returns link number. Allows specifying a resource and getting a "
      "connection all in one shell command.");
  table.add_options()("address,a", po::value<std::string>(&address),
                      "Specify link by simple address, e.g. 192.168.42.200.")(
      "id", po::value<std::uint32_t>(&id), "Number of resource to set, see \"open\".")(
      "mode,m", po::value<int>(&mode), "Switch to mode (1=raw, 2=cooked).")(
      "pass", po::value<std::uint32_t>(&passCounter_)->default_value(0),
      "Bytes to pass unescaped.")("protocol,p", po::value<std::string>(&protocol),
                                  "Use to narrow Ethernet choice (udp, tcp).");
  Parse(args, table);
  mode_ = mode == 1 ? kRawMode : mode == 2 ? kCookedMode : kShellMode;
  if (!address.empty()) {
    const auto found = server_.FindResource(address, protocol);
    if (!found) throw std::runtime_error("no open resource at " + address);
    id = *found;
  }
  if (id != linkNumber_) Link(id);
  Reply(0, mode_ == kShellMode ? std::to_string(linkNumber_) + "\r\n" : std::string());
}

void CommandShell::OpenCommand(const std::vector<std::string>& args) {
  auto parameters = std::make_unique<OpenParameters>();
  parameters->baud = 115200;
  parameters->hardwareHandshake = true;
  parameters->port = 60007;
  parameters->kind = kKindUdp;
  std::string protocol;
  std::string handshake;
  Port port{parameters->port};
  auto table = Table("Opens a resource to an address. No args lists current resources.");
  table.add_options()("address,a", po::value<std::string>(&parameters->address),
                      "Simple address to hardware.")(
      "port", po::value<Port>(&port)->implicit_value(Port{23}, "23"), "Socket port.")(
      "protocol,p", po::value<std::string>(&protocol)->implicit_value("udp"),
      "Protocol for Ethernet connection (udp, tcp).")(
      "baud,b", po::value<std::uint32_t>(&parameters->baud)->implicit_value(115200), "Baud rate.")(
      "handshake", po::value<std::string>(&handshake)->implicit_value("hardware"),
      "Hardware handshaking (hardware, none).");
  const auto given = Parse(args, table, {"address"}, false);
  const bool portGiven = given.count("port") > 0;
  parameters->port = port.value;
  if (protocol == kProtocolWord) {
    parameters->kind = kKindTcp;
    if (!portGiven) parameters->port = 23;
  } else if (IsSerialAddress(parameters->address)) {
    parameters->kind = kKindSerial;
  } else if (IsPciAddress(parameters->address)) {
    parameters->kind = kKindPci;
  } else {
    parameters->kind = kKindUdp;
    if (!portGiven) parameters->port = 60007;
  }
  if (handshake == "none") parameters->hardwareHandshake = false;
  if (parameters->address.empty()) {
    Reply(0, server_.ListResources());
    return;
  }
  server_.OpenResource(std::move(parameters));
  Reply(0, "");
}

void CommandShell::CloseCommand(const std::vector<std::string>& args) {
  std::vector<std::uint32_t> ids;
  auto table = Table("Close resource.");
  table.add_options()("close,c", po::value<std::vector<std::uint32_t>>(&ids),
                      "ID(s) of resource(s) to close.")("all,a", "Close all resources.");
  const auto given = Parse(args, table, {"close"});
  if (given.count("all")) {
    server_.CloseAllResources();
  } else {
    for (const auto id : ids) server_.CloseResource(id);
  }
  Reply(0, "");
}

void CommandShell::QuitCommand(const std::vector<std::string>& args) {
  if (!args.empty()) {
    Reply(0, "Delete requestor in dravo, disconnects client.\n");
    return;
  }
  Unlink();
  throw IError{0};
}

void CommandShell::AdminCommand(const std::vector<std::string>& args) {
  std::uint32_t timeout = owner_.IdleTimeout();
  auto table = Table("Administrative settings and options.");
  table.add_options()("timeout,t",
                      po::value<std::uint32_t>(&timeout)->implicit_value(owner_.IdleTimeout()),
                      "Set timeout for requestor in ms.")("version,v", "Version of dravo.")(
      "compatibility,c", "Compatibility number for pairing with pelko.")(
      "shutdown", "Shut down server.")("restart", "Restart the server.");
  const auto given = Parse(args, table);
  if (given.count("timeout")) owner_.SetIdleTimeout(timeout);
  if (given.count("shutdown")) {
    server_.Shutdown();
  } else if (given.count("restart")) {
    server_.Restart();
  } else if (given.count("version")) {
    Reply(0, std::string(kVersion) + "\r\n");
  } else if (given.count("compatibility")) {
    Reply(0, "1\r\n");
  } else if (given.count("timeout")) {
    Reply(0, std::to_string(owner_.IdleTimeout()) + "\r\n");
  } else {
    Reply(0, "");
  }
}

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
    Reply(0, server_.ListIpRequests());
  } else if (given.count("listen")) {
    server_.SetIpListenTimeout(listen);
    Reply(0, "");
  } else if (given.count("timeout")) {
    Reply(0, std::to_string(server_.IpListenTimeout()) + "\r\n");
  } else {
    if (given.count("remember")) {
      server_.SetRememberAssignments(remember);
      Reply(0, "");
    }
    if (given.count("remembered")) Reply(0, server_.RememberAssignments() ? "1" : "0");
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
    server_.AssignIp(clear == "all" ? std::string() : clear, std::string());
  } else if (given.count("mac") && given.count("address")) {
    server_.AssignIp(mac, address);
  }
  Reply(0, "");
}

void CommandShell::ResourcesCommand(const std::vector<std::string>& args) {
  auto table = Table("Search for available resources. No args lists last found.");
  table.add_options()("search,s", "Search for hardware resources.");
  const auto given = Parse(args, table);
  if (given.count("search")) {
    server_.SearchResources();
    Reply(0, "");
  } else {
    Reply(0, server_.ListFound());
  }
}

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
  server_.StartPing(address, count, owner_.SharedFromThis());
}

bool CommandShell::RefuseWithoutMdns() {
  if (mdnsSupported_) return false;
  Fail("mDNS not supported on this installation of DRAVO");
  return true;
}

void CommandShell::ServerInfoCommand(const std::vector<std::string>& args) {
  if (RefuseWithoutMdns()) return;
  std::vector<std::string> name;
  auto table = Table("");
  table.add_options()("name,n", po::value<std::vector<std::string>>(&name)->multitoken(),
                      "Name of Service.");
  const auto given = Parse(args, table);
  if (!given.count("name")) return;
  Reply(0, server_.ServerInfo(boost::algorithm::join(name, " ")));
}

void CommandShell::ServerStatusCommand(const std::vector<std::string>&) {
  if (RefuseWithoutMdns()) return;
  Reply(0, server_.ServerStatus());
}

void CommandShell::ServersCommand(const std::vector<std::string>&) {
  if (RefuseWithoutMdns()) return;
  Reply(0, server_.ListServers());
}

void CommandShell::ConnectionsCommand(const std::vector<std::string>&) {
  if (RefuseWithoutMdns()) return;
  Reply(0, server_.ListConnections());
}

void CommandShell::PublishCommand(const std::vector<std::string>& args) {
  if (RefuseWithoutMdns()) return;
  std::vector<std::string> name;
  PublishSettings settings;
  settings.port = 23;
  auto table = Table("");
  table.add_options()("name,n", po::value<std::vector<std::string>>(&name)->multitoken(),
                      "Name of Service.")("port,p", po::value<std::int32_t>(&settings.port),
                                          "Port Number.")("remove,r", "Remove Server.")(
      "save,s", "Save Configuration.");
  const auto given = Parse(args, table);
  settings.name = boost::algorithm::join(name, " ");
  bool act = false;
  if (given.count("remove")) {
    settings.publish = false;
    act = true;
  } else if (given.count("name") && given.count("port")) {
    settings.publish = true;
    act = true;
  }
  if (act) {
    if (given.count("save")) SavePublishSettings(settings);
    server_.ApplyPublishSettings(settings);
  }
  Reply(0, "");
}

void CommandShell::TeCommand(const std::vector<std::string>& args) {
  if (!args.empty()) {
    Reply(0, "Report error text from last error.\n");
    return;
  }
  if (lastError_.empty()) {
    Reply(0, "");
    return;
  }
  const std::string text = lastError_ + "\r\n";
  lastError_.clear();
  Reply(0, text);
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
    const int result = server_.Submit(
        linkNumber_, Request::RequestWithControl(parameter, static_cast<std::uint32_t>(value),
                                                 owner_.SharedFromThis()));
    if (result != 0) {
      Reply(result, "");
      return;
    }
  }
  Reply(0, "");
}

void CommandShell::SavePublishSettings(const PublishSettings& settings) {
  // The store writes itself back when it goes; the port is not kept.
  ConfigStore store;
  auto& tree = store.Modify();
  tree.put(ConfigStore::kServerPublish, settings.publish);
  tree.put(ConfigStore::kServerName, settings.name);
}
