#include "platform/program_data.hpp"

#include <cstdlib>

namespace platform {

std::string ProgramDataDirectory() {
  const char* overridden = std::getenv("ORVAN_PROGRAM_DATA");
  return overridden && *overridden ? overridden : "/var/lib";
}

}  // namespace platform
