// Argument checks and text copies shared by every utility option.
#include "utility/utility_call.hpp"

#include "api/orv_con.hpp"
#include "core/orvan_error.hpp"

namespace orvan {

bool NeedsNothing(const UtilityCall&) { return true; }
bool NeedsData1(const UtilityCall& call) { return call.data1 != nullptr; }
bool NeedsBoth(const UtilityCall& call) { return call.data1 && call.data2; }
bool NeedsEither(const UtilityCall& call) { return call.data1 || call.data2; }

std::string TextIn(const UtilityCall& call) { return static_cast<const char*>(call.data1); }

std::string ShellTextIn(const void* data) {
  std::string text = static_cast<const char*>(data);
  if (text.find_first_of("\r\n\x1b\b") != std::string::npos)
    throw OrvanError(-10002, "text holds a line end or control character");
  return text;
}

int32_t TextOut(const UtilityCall& call, const std::function<std::string()>& produce) {
  const uint32_t length = *static_cast<const uint32_t*>(call.data2);
  if (length == 0) return kNoRoomForText;
  return CopyStringOut(produce(), static_cast<char*>(call.data1), length, nullptr, true);
}

}  // namespace orvan
