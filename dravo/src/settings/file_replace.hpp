// Whole-file replacements for the server's settings and certificate files. A replacement goes
// to a temporary file in the same folder that is renamed into place, so a crash or a full disk
// never leaves a half-written file behind.
#pragma once

#include <sys/types.h>

#include <boost/filesystem/path.hpp>
#include <string>

// Replaces (or creates) the file with these bytes and this mode; throws
// boost::filesystem::filesystem_error on failure, leaving any old file as it was.
void ReplaceFile(const boost::filesystem::path& path, const std::string& bytes, mode_t mode);
