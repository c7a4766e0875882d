// The shell exchange: mode escapes around the line, then the reply collected up to "~".
#include "server_client/shell_exchange.hpp"

#include <array>
#include <charconv>
#include <system_error>

#include "core/orvan_device.hpp"
#include "core/orvan_error.hpp"
#include "server_client/server_channel.hpp"

namespace orvan {
namespace {

std::string TrimLineEnds(const std::string& text) {
  const auto first = text.find_first_not_of("\r\n");
  if (first == std::string::npos) return {};
  const auto last = text.find_last_not_of("\r\n");
  return text.substr(first, last - first + 1);
}

}  // namespace

ShellAnswer CollectShellReply(const char* bytes, size_t count, std::string& reply) {
  for (size_t i = 0; i < count; ++i) {
    if (bytes[i] == protocol::kErrorTerminator) return ShellAnswer::Refused;
    if (bytes[i] == protocol::kSuccessTerminator) return ShellAnswer::Complete;
    reply += bytes[i];
  }
  return ShellAnswer::Incomplete;
}

std::string ExchangeShellCommand(int32_t& mode, const std::string& text, bool restore,
                                 const ShellSend& send, const ShellReceive& receive) {
  // One send carries the whole line, or the server would see a command cut in two.
  if (text.size() + 1 > kChannelBlock) {
    throw OrvanError(-10002,
                     "shell command longer than " + std::to_string(kChannelBlock - 1) + " bytes");
  }
  const int32_t previous = mode;
  if (previous != kModeShell) {
    send(Escape(protocol::kEscapeShell));
    mode = kModeShell;
  }
  send(CommandLine(text));
  if (restore && previous != kModeShell) {
    if (previous == kModeRaw) send(Escape(protocol::kEscapeRaw));
    if (previous == kModeCooked) send(Escape(protocol::kEscapeCooked));
    mode = previous;
  }

  std::string reply;
  std::array<char, kChannelBlock> chunk;
  for (;;) {
    const size_t count = receive(chunk.data(), chunk.size());
    switch (CollectShellReply(chunk.data(), count, reply)) {
      case ShellAnswer::Refused:
        throw OrvanError(-20001, "backslash returned");
      case ShellAnswer::Complete:
        return TrimLineEnds(reply);
      case ShellAnswer::Incomplete:
        break;
    }
    if (reply.size() > kReplyLimit)
      throw OrvanError(-10004, "shell reply exceeds " + std::to_string(kReplyLimit) + " bytes");
  }
}

uint32_t ReadReplyNumber(const std::string& reply) {
  const bool hex = !reply.empty() && reply.front() == '$';
  const char* begin = reply.data() + (hex ? 1 : 0);
  uint32_t value = 0;
  const auto [stop, error] =
      std::from_chars(begin, reply.data() + reply.size(), value, hex ? 16 : 10);
  return error == std::errc() ? value : 0;
}

}  // namespace orvan
