// The library's one failure type: a code from the public table and a free message.
// Deliberately not a std::exception, so a handler for standard exceptions never swallows it.
#pragma once

#include <cstdint>
#include <string>

namespace orvan {

class OrvanError {
public:
  OrvanError(int32_t code, std::string message = {}) : code(code), message(std::move(message)) {}

  int32_t Code() const { return code; }
  std::string Message() const { return message; }
  std::string CodeText() const;

private:
  int32_t code;
  std::string message;
};

// The fixed text of a code; "error code: N" for a code without one.
std::string ErrorCodeText(int32_t code);

}  // namespace orvan
