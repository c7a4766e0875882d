// Raised by the shell to end its client connection (code 0: the client asked to quit).
#pragma once

#include <cstdint>

struct IError {
  uint32_t code = 0;
};
