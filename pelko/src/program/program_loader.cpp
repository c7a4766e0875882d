// File-system and in-memory sources of include files.
#include "program/program_loader.hpp"

#include "core/orvan_device.hpp"
#include "platform/whole_file.hpp"

namespace orvan {

std::optional<std::string> FileProgramLoader::Load(const std::string& path) const {
  std::string text;
  if (platform::ReadWholeFile(path, kLargestFile, text)) return std::nullopt;
  return text;
}

std::optional<std::string> MemoryProgramLoader::Load(const std::string& path) const {
  const auto found = files.find(path);
  if (found == files.end()) return std::nullopt;
  return found->second;
}

}  // namespace orvan
