// File-system and in-memory sources of include files.
#include "program/program_loader.hpp"

#include <fstream>
#include <iterator>
#include <system_error>

#include <boost/filesystem.hpp>

namespace orvan {

std::optional<std::string> FileProgramLoader::Load(const std::string& path) const {
  // A directory opens as a stream on this platform but reads nothing; it is not a file.
  boost::system::error_code error;
  if (!boost::filesystem::is_regular_file(path, error)) return std::nullopt;
  std::ifstream file(path, std::ios::binary);
  if (!file) return std::nullopt;
  std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  if (file.bad()) return std::nullopt;
  return text;
}

std::optional<std::string> MemoryProgramLoader::Load(const std::string& path) const {
  const auto found = files_.find(path);
  if (found == files_.end()) return std::nullopt;
  return found->second;
}

}  // namespace orvan
