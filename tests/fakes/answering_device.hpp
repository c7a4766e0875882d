// A scripted controller that answers each command from a table, so a test of a whole exchange
// (identification, say) names the replies rather than the order of the reads.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "fakes/scripted_device.hpp"

namespace orvan::fakes {

class AnsweringDevice : public ScriptedDevice {
public:
  // Reply text by command (as written, without its carriage return). "?" goes out bare; any
  // other reply is followed by CR, LF and the prompt.
  std::map<std::string, std::string> answers;
  // The reply to a command the table lacks.
  std::string otherwise;
  // ':' normally; '>' plays a controller in its monitor.
  char prompt = ':';
  // Every command written, in order.
  std::vector<std::string> commands;

  void Write(const char* buffer, uint64_t length, int32_t timeout, bool progress) override;
};

}  // namespace orvan::fakes
