// One command of the server's shell over any channel to the server: leaves the channel's mode
// for the shell, sends the line, restores the mode when asked, and reads the reply up to its
// terminator. The channel comes as a send and a receive, so the TLS command channel and the
// UDP sub-channels share one exchange.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

namespace orvan {

// How far one receive took a shell reply: the server ends a reply with "~" (what follows in
// the same receive is dropped) and refuses with "\" anywhere.
enum class ShellAnswer { Incomplete, Complete, Refused };
// Appends the bytes of one receive to the reply, up to the terminator. Pure, for the fuzzer.
ShellAnswer CollectShellReply(const char* bytes, size_t count, std::string& reply);

// Sends bytes on the channel.
using ShellSend = std::function<void(const std::string& bytes)>;
// Receives into the buffer; the count placed.
using ShellReceive = std::function<size_t(char* buffer, size_t length)>;

// The reply without its line ends. `mode` is the channel's mode as last set and follows the
// escapes sent. A line longer than one channel send raises -10002, "\" -20001, a reply past
// the reply limit -10004; the channel's own failures pass through.
std::string ExchangeShellCommand(int32_t& mode, const std::string& text, bool restore,
                                 const ShellSend& send, const ShellReceive& receive);

// A number in a shell reply: hexadecimal after a leading "$", else decimal, read up to the first
// other character; 0 when no digit comes first or the value does not fit 32 bits.
uint32_t ReadReplyNumber(const std::string& reply);

}  // namespace orvan
