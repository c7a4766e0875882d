// The shell's line handler and its command dispatcher: a failing command answers "\" and keeps
// its error text for "te".
#include <boost/algorithm/string.hpp>

#include <map>
#include <string>
#include <vector>

#include "core/i_error.hpp"
#include "protocol/option_error_text.hpp"
#include "shell/command_shell.hpp"
#include "shell/commands/command_options.hpp"

namespace po = boost::program_options;
using orvan::protocol::OptionErrorText;

void CommandShell::ExecuteLine(const std::uint8_t* bytes, std::size_t length) {
  std::string text(reinterpret_cast<const char*>(bytes), length);
  boost::algorithm::trim(text);
  if (text.empty()) {
    Reply(0, "");
    return;
  }
  std::vector<std::string> words;
  boost::algorithm::split(
      words, text, [](char c) { return c == ' '; }, boost::algorithm::token_compress_on);
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
