// Each write is one command; what is left of an earlier reply is dropped, as a controller that
// starts a new reply would make it stale.
#include "fakes/answering_device.hpp"

namespace orvan::fakes {

void AnsweringDevice::Write(const char* buffer, uint64_t length, int32_t timeout, bool progress) {
  ScriptedDevice::Write(buffer, length, timeout, progress);
  std::string command(buffer, length);
  if (!command.empty() && command.back() == '\r') command.pop_back();
  commands.push_back(command);
  script.clear();
  const auto answer = answers.find(command);
  const std::string& text = answer == answers.end() ? otherwise : answer->second;
  Reply(text == "?" ? text : text + "\r\n" + prompt);
}

}  // namespace orvan::fakes
