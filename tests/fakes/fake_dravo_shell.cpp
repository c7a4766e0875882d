#include "fakes/fake_dravo_shell.hpp"

#include <boost/algorithm/string/trim.hpp>

#include <sstream>

namespace orvan::fakes {

namespace {

std::vector<std::string> Words(const std::string& line) {
  std::vector<std::string> words;
  std::istringstream in(line);
  for (std::string word; in >> word;) words.push_back(word);
  return words;
}

// The value after an option word, or the fallback.
std::string ValueOf(const std::vector<std::string>& words, const std::string& shortName,
                    const std::string& longName, const std::string& fallback) {
  for (size_t i = 1; i + 1 < words.size(); ++i) {
    if (words[i] == shortName || words[i] == longName) return words[i + 1];
  }
  return fallback;
}

bool Has(const std::vector<std::string>& words, const std::string& word) {
  for (size_t i = 1; i < words.size(); ++i) {
    if (words[i] == word) return true;
  }
  return false;
}

}  // namespace

FakeDravoShell::FakeDravoShell(std::string compatibility, int linkFailures,
                               std::function<void()> changed)
    : compatibility(std::move(compatibility)),
      changed(std::move(changed)),
      linkFailures(linkFailures) {}

void FakeDravoShell::Consume(const std::shared_ptr<FakeDravoSession>& session,
                             const std::string& bytes) {
  FakeDravoSession& s = *session;
  for (const char byte : bytes) {
    if (s.pass > 0) {
      --s.pass;
    } else if (static_cast<uint8_t>(byte) == protocol::kEscape) {
      s.escape = true;
      continue;
    } else if (s.escape) {
      s.escape = false;
      switch (protocol::EscapeLetter(static_cast<uint8_t>(byte))) {
        case protocol::kEscapeCooked:
          s.mode = protocol::kCookedMode;
          s.line.clear();
          break;
        case protocol::kEscapeRaw:
          if (s.mode != protocol::kRawMode) s.line.clear();
          s.mode = protocol::kRawMode;
          break;
        case protocol::kEscapeShell:
          if (s.mode != protocol::kShellMode) s.line.clear();
          s.mode = protocol::kShellMode;
          break;
        case protocol::kEscapeMessages:
          s.subscribed[FakeDravoSession::kMessages] = !s.subscribed[FakeDravoSession::kMessages];
          break;
        case protocol::kEscapeRecords:
          s.subscribed[FakeDravoSession::kRecords] = !s.subscribed[FakeDravoSession::kRecords];
          break;
        case protocol::kEscapeInterrupts:
          s.subscribed[FakeDravoSession::kInterrupts] =
              !s.subscribed[FakeDravoSession::kInterrupts];
          break;
        default:
          break;
      }
      continue;
    }
    if (s.mode == protocol::kShellMode) {
      if (byte == protocol::kCommandEnd) {
        const std::string line = s.line;
        s.line.clear();
        Execute(session, line);
      } else {
        s.line += byte;
      }
    } else if (s.mode == protocol::kCookedMode) {
      if (byte == protocol::kCommandEnd || byte == protocol::kCommandSeparator) {
        const std::string command = s.line;
        s.line.clear();
        Answer(session, command);
      } else {
        s.line += byte;
      }
    }
  }
}

void FakeDravoShell::Execute(const std::shared_ptr<FakeDravoSession>& session,
                             const std::string& raw) {
  const std::string line = boost::algorithm::trim_copy(raw);
  std::string scripted;
  bool hasScript = false;
  bool refuseLink = false;
  {
    std::lock_guard<std::mutex> guard(lock);
    shellLines.push_back((session->udp ? "udp " : "tcp ") + line);
    const auto found = shellScripts.find(line);
    if (found != shellScripts.end()) {
      scripted = found->second;
      hasScript = true;
    }
  }
  changed();
  if (hasScript) return session->send(scripted);
  const auto words = Words(line);
  if (words.empty()) return session->send("~");
  const std::string& word = words[0];
  if (word == "a" || word == "admin") {
    if (Has(words, "-c")) return session->send(compatibility + "\r\n~");
    if (Has(words, "-v")) return session->send("1.33.4\r\n~");
    return session->send("~");
  }
  if (word == "o" || word == "open") return session->send("~");
  if (word == "l" || word == "link") {
    const int mode = std::stoi(ValueOf(words, "-m", "--mode", "0"));
    session->pass = static_cast<uint32_t>(std::stoul(ValueOf(words, "--pass", "--pass", "0")));
    session->mode = mode == static_cast<int>(protocol::kRawMode)      ? protocol::kRawMode
                    : mode == static_cast<int>(protocol::kCookedMode) ? protocol::kCookedMode
                                                                      : protocol::kShellMode;
    if (Has(words, "--address") || Has(words, "-a")) {
      std::lock_guard<std::mutex> guard(lock);
      if (linkFailures > 0) {
        --linkFailures;
        refuseLink = true;
      }
    }
    if (refuseLink) return session->send("\\");
    return session->send(session->mode == protocol::kShellMode ? "1\r\n~" : "~");
  }
  if (word == "q" || word == "quit" || word == "exit") {
    if (words.size() > 1) return session->send("Delete requestor in dravo, disconnects client.\n~");
    return session->close();
  }
  if (word == "r" || word == "resources") {
    return session->send(Has(words, "-s") ? "~" : "tcp 127.0.0.2\r\n~");
  }
  if (word == "noip") return session->send(words.size() == 1 ? "no requests\r\n~" : "~");
  if (word == "servers") return session->send("other server\n~");
  if (word == "connections") return session->send("127.0.0.1\n~");
  if (word == "te" || word == "ctrl" || word == "assign" || word == "publish") {
    return session->send("~");
  }
  session->send("\\");
}

void FakeDravoShell::Answer(const std::shared_ptr<FakeDravoSession>& session,
                            const std::string& raw) {
  std::string command = raw;
  if (!command.empty() && command.front() == '\n') command.erase(0, 1);
  std::string reply;
  {
    std::lock_guard<std::mutex> guard(lock);
    commands.push_back(command);
    const auto found = commandScripts.find(command);
    if (found != commandScripts.end()) {
      reply = found->second;
    } else if (silent) {
      reply.clear();
    } else if (command == "\x12\x16") {
      reply = "VKT4140 Rev 1.0b\r\n:";
    } else if (command == "MG_BN{Z10.0}") {
      reply = "1234\r\n:";
    } else if (command.size() > 4 && command.compare(0, 4, "MG \"") == 0 && command.back() == '"') {
      reply = command.substr(4, command.size() - 5) + "\r\n:";
    } else {
      reply = ":";
    }
  }
  changed();
  if (!reply.empty()) session->send(reply);
}

void FakeDravoShell::ScriptShell(const std::string& line, const std::string& answer) {
  std::lock_guard<std::mutex> guard(lock);
  shellScripts[line] = answer;
}

void FakeDravoShell::ScriptCommand(const std::string& command, const std::string& answer) {
  std::lock_guard<std::mutex> guard(lock);
  commandScripts[command] = answer;
}

void FakeDravoShell::SetSilent(bool on) {
  std::lock_guard<std::mutex> guard(lock);
  silent = on;
}

std::vector<std::string> FakeDravoShell::ShellLines() {
  std::lock_guard<std::mutex> guard(lock);
  return shellLines;
}

std::vector<std::string> FakeDravoShell::Commands() {
  std::lock_guard<std::mutex> guard(lock);
  return commands;
}

void FakeDravoShell::ClearLog() {
  std::lock_guard<std::mutex> guard(lock);
  shellLines.clear();
  commands.clear();
}

}  // namespace orvan::fakes
