// The machine-wide program-data folder: /var/lib, or ORVAN_PROGRAM_DATA when set,
// so tests and users without root can point the server at a folder of their own.
#pragma once

#include <string>

namespace platform {

std::string ProgramDataDirectory();

}  // namespace platform
