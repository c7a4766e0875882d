// Fixed texts of the library's error codes.
#include "core/orvan_error.hpp"

#include <utility>

namespace orvan {
namespace {

constexpr std::pair<int32_t, const char*> kCodeTexts[] = {
    {0, "no error"},
    {-1100, "device timed out"},
    {-1101, "device failed to open"},
    {-1102, "device not open"},
    {-1103, "device read error"},
    {-1104, "device write error"},
    {-1105, "compound command not valid at device layer"},
    {-1106, "illegal command passed to command call"},
    {-1107, "data record error"},
    {-1109, "function not supported on this communication bus"},
    {-1110, "firmware cannot be loaded on this communication bus to this hardware"},
    {-1111, "controller is in monitor"},
    {-1200, "array not dimensioned on controller or wrong size"},
    {-1201, "connection to hardware not established"},
    {-1202, "illegal ASCII character in program"},
    {-1203, "program cannot be compressed to fit on the controller"},
    {-1204, "preprocessor did not recognize options"},
    {-1300, "hardware describe failed"},
    {-1301, "hardware description data invalid"},
    {-1302, "Version of override file is incompatible with this binary"},
    {-10000, "question mark returned by controller"},
    {-10001, "weak pointer conversion failed"},
    {-10002, "value passed to function was bad or out of range"},
    {-10003, "operation could not complete because of a memory error"},
    {-10004, "data was lost due to buffer or fifo limitations"},
    {-10005, "file was not found, contents are invalid, or write failed"},
    {-10006, "a bad address was specified in open"},
    {-10007, "An OS API call returned an error"},
    {-20000, "dravo open error"},
    {-20001, "dravo shell error"},
    {-20002, "no dravo subscription for this stream"},
};

}  // namespace

std::string ErrorCodeText(int32_t code) {
  for (const auto& [known, text] : kCodeTexts) {
    if (known == code) return text;
  }
  return "error code: " + std::to_string(code);
}

std::string OrvanError::CodeText() const { return ErrorCodeText(code); }

}  // namespace orvan
