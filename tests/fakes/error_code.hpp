// The OrvanError code a step ends with (0 when it ends normally), and optionally its message.
#pragma once

#include <functional>
#include <string>

#include "core/orvan_error.hpp"

namespace orvan::fakes {

inline int32_t CodeOf(const std::function<void()>& body, std::string* message = nullptr) {
  try {
    body();
  } catch (const OrvanError& e) {
    if (message) *message = e.Message();
    return e.Code();
  }
  return 0;
}

}  // namespace orvan::fakes
