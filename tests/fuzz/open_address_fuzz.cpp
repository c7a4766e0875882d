// Arbitrary open strings: every input gives options or OrvanError -10006, nothing else.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "core/orvan_error.hpp"
#include "core/orvan_options.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string open(reinterpret_cast<const char*>(data), size);
  auto options = std::make_shared<orvan::OrvanOptions>();
  try {
    orvan::ParseOpenAddress(open, options);
    if (!options->address.empty()) (void)options->AddressKind();
  } catch (const orvan::OrvanError& e) {
    if (e.Code() != -10006) std::abort();
  }
  return 0;
}
