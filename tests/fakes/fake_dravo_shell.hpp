// The fake server's shell, with no transport: each client's modes, escapes and passes; the
// built-in and scripted answers to shell lines and to controller commands in cooked mode; and
// the behaviours tests ask for (an incompatible server, refused links, a silent controller).
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "protocol/shell_wire.hpp"

namespace orvan::fakes {

// One client's shell state, whichever side it came in on; the side fills in send and close.
struct FakeDravoSession {
  enum Stream { kMessages, kRecords, kInterrupts };
  bool udp = false;
  std::function<void(const std::string&)> send;
  std::function<void()> close;
  uint32_t mode = protocol::kShellMode;
  uint32_t pass = 0;  // bytes still to pass through unread
  bool escape = false;
  std::string line;
  std::array<bool, 3> subscribed{};  // by Stream, toggled by ESC m, d, i
};

// What a side does with the bytes one client sent.
using FakeDravoReader =
    std::function<void(const std::shared_ptr<FakeDravoSession>&, const std::string& bytes)>;

class FakeDravoShell {
public:
  // `compatibility` answers "a -c"; the first `linkFailures` links with an address are refused.
  // `changed` runs after each line or command is logged.
  FakeDravoShell(std::string compatibility, int linkFailures, std::function<void()> changed);

  // Bytes from one client, on the thread that serves it.
  void Consume(const std::shared_ptr<FakeDravoSession>& session, const std::string& bytes);

  void ScriptShell(const std::string& line, const std::string& answer);
  void ScriptCommand(const std::string& command, const std::string& answer);
  void SetSilent(bool silent);

  // Shell lines executed, each prefixed "tcp " or "udp "; cooked commands without their CR.
  std::vector<std::string> ShellLines();
  std::vector<std::string> Commands();
  void ClearLog();

private:
  void Execute(const std::shared_ptr<FakeDravoSession>& session, const std::string& line);
  void Answer(const std::shared_ptr<FakeDravoSession>& session, const std::string& command);

  const std::string compatibility;
  const std::function<void()> changed;

  std::mutex lock;
  int linkFailures;
  bool silent = false;
  std::map<std::string, std::string> shellScripts;
  std::map<std::string, std::string> commandScripts;
  std::vector<std::string> shellLines;
  std::vector<std::string> commands;
};

}  // namespace orvan::fakes
