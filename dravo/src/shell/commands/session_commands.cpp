// The commands about the connection itself: leaving the shell, and the last error's text.
#include <string>

#include "core/i_error.hpp"
#include "shell/command_shell.hpp"

void CommandShell::QuitCommand(const std::vector<std::string>& args) {
  if (!args.empty()) {
    Reply(0, "Delete requestor in dravo, disconnects client.\n");
    return;
  }
  Unlink();
  throw IError{0};
}

void CommandShell::TeCommand(const std::vector<std::string>& args) {
  if (!args.empty()) {
    Reply(0, "Report error text from last error.\n");
    return;
  }
  if (lastError.empty()) {
    Reply(0, "");
    return;
  }
  const std::string text = lastError + "\r\n";
  lastError.clear();
  Reply(0, text);
}
