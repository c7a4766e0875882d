// What every utility option is handed, the checks of its required arguments, and the way its
// text results reach the caller.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

struct OrvCon;

namespace orvan {

// Codes the dispatcher gives itself; none of them touches the handle's last error.
constexpr int32_t kMissingWithHandle = -2;
constexpr int32_t kMissingWithoutHandle = -1201;
constexpr int32_t kNotSupported = -1109;
constexpr int32_t kNoRoomForText = -10002;

// One call of OrvUtility as an option sees it. The handle may be null for options that need
// none; handle options are only run with one.
struct UtilityCall {
  OrvCon* handle;
  void* data1;
  void* data2;
};

// Which data arguments an option cannot do without; false sends the dispatch on as for an
// unknown option.
using ArgumentCheck = bool (*)(const UtilityCall& call);
bool NeedsNothing(const UtilityCall& call);
bool NeedsData1(const UtilityCall& call);
bool NeedsBoth(const UtilityCall& call);
bool NeedsEither(const UtilityCall& call);

using OptionBody = int32_t (*)(const UtilityCall& call);

struct UtilityOption {
  int32_t option;
  // Refused with -1109 before its arguments are looked at where the system check fails.
  bool serverManagement;
  ArgumentCheck present;
  OptionBody run;
};

// The caller's NUL-terminated text in data1.
std::string TextIn(const UtilityCall& call);
// A caller's NUL-terminated text that goes into a shell line. CR, LF, ESC or BS in it raise
// -10002: they would end the line, switch the channel's mode or edit what went before, so one
// call could run a second command.
std::string ShellTextIn(const void* data);

// A text result into data1 with the length at data2: cut to the buffer and always terminated.
// A length of 0 leaves the buffer alone and gives -10002 before the text is produced, so no
// server is asked for an answer that cannot be handed over.
int32_t TextOut(const UtilityCall& call, const std::function<std::string()>& produce);

}  // namespace orvan
