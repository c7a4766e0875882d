// Where the preprocessor gets the text of "##include" files. The preprocessor only sees this
// interface, so tests and fuzz targets hand it files from memory instead of the disk.
#pragma once

#include <map>
#include <optional>
#include <string>

namespace orvan {

class ProgramLoader {
public:
  virtual ~ProgramLoader() = default;
  // The whole text of the file, or nothing when it cannot be opened or read.
  virtual std::optional<std::string> Load(const std::string& path) const = 0;
};

// Reads regular files from the file system, up to the library's largest file; names are
// handed over as the bytes they are.
class FileProgramLoader : public ProgramLoader {
public:
  std::optional<std::string> Load(const std::string& path) const override;
};

// Files kept in memory under their exact path text.
class MemoryProgramLoader : public ProgramLoader {
public:
  void Add(const std::string& path, std::string text) { files[path] = std::move(text); }
  std::optional<std::string> Load(const std::string& path) const override;

private:
  std::map<std::string, std::string> files;
};

}  // namespace orvan
