// Raised by the shell to end its client connection (code 0: the client asked to quit).
// Not a standard exception, so the shell's own error handlers let it through.
#pragma once

#include <cstdint>

struct IError {
  std::uint32_t code = 0;
};
