#include "settings/config_store.hpp"

#include <boost/filesystem/operations.hpp>
#include <boost/property_tree/ini_parser.hpp>
#include <boost/property_tree/xml_parser.hpp>
#include <iostream>
#include <sstream>
#include <system_error>

#include "platform/program_data.hpp"
#include "platform/whole_file.hpp"
#include "settings/file_replace.hpp"

namespace fs = boost::filesystem;
namespace pt = boost::property_tree;

namespace {

// Only a file that is plainly absent counts as missing; any other doubt is tried and reported.
bool Missing(const fs::path& file) {
  boost::system::error_code error;
  return fs::symlink_status(file, error).type() == fs::file_not_found;
}

fs::path SettingsFile() { return ServerDataDirectory() / "dravo.xml"; }
fs::path LegacyFile() { return ServerDataDirectory() / "dravo.ini"; }

void CreateIfMissing(const fs::path& directory) {
  boost::system::error_code error;
  const fs::file_status status = fs::status(directory, error);
  if (status.type() == fs::file_not_found || status.type() == fs::status_error)
    fs::create_directory(directory);
}

// The whole settings file; a file that cannot be read, is no regular file or is too large
// throws, as a malformed one does.
std::string ReadSettingsFile(const fs::path& file) {
  std::string bytes;
  if (const std::error_code error = platform::ReadWholeFile(file.string(), kLargestDataFile, bytes))
    throw std::system_error(error, file.string());
  return bytes;
}

// The deepest element nesting of the bytes, lexed as the XML parser lexes them (comments,
// CDATA, declarations and quoted attribute values skipped), counted only up to a limit.
int Nesting(const std::string& bytes, int limit) {
  const size_t size = bytes.size();
  auto skip_past = [&](size_t from, const char* end) {
    const size_t found = bytes.find(end, from);
    return found == std::string::npos ? size : found + std::char_traits<char>::length(end);
  };
  int depth = 0;
  size_t i = 0;
  while (i < size) {
    if (bytes[i] != '<') {
      ++i;
      continue;
    }
    if (bytes.compare(i, 4, "<!--") == 0) {
      i = skip_past(i + 4, "-->");
    } else if (bytes.compare(i, 9, "<![CDATA[") == 0) {
      i = skip_past(i + 9, "]]>");
    } else if (bytes.compare(i, 2, "<?") == 0) {
      i = skip_past(i + 2, "?>");
    } else if (bytes.compare(i, 2, "<!") == 0) {
      int brackets = 0;
      for (i += 2; i < size && !(bytes[i] == '>' && brackets == 0); ++i) {
        if (bytes[i] == '[') ++brackets;
        if (bytes[i] == ']' && brackets > 0) --brackets;
      }
      ++i;
    } else if (bytes.compare(i, 2, "</") == 0) {
      if (depth > 0) --depth;
      i = skip_past(i + 2, ">");
    } else {
      char previous = '\0';
      for (++i; i < size && bytes[i] != '>'; ++i) {
        if (bytes[i] == '"' || bytes[i] == '\'') {
          const size_t close = bytes.find(bytes[i], i + 1);
          i = close == std::string::npos ? size - 1 : close;
        }
        previous = bytes[i];
      }
      ++i;
      if (previous != '/' && ++depth > limit) return depth;
    }
  }
  return depth;
}

// Renames a file that cannot be used to the first free "<name>.corrupt", "<name>.corrupt.2", ...
bool KeepAside(const fs::path& file, const std::string& why) {
  for (int n = 1; n < 1000; ++n) {
    fs::path aside = file;
    aside += n == 1 ? ".corrupt" : ".corrupt." + std::to_string(n);
    if (!Missing(aside)) continue;
    boost::system::error_code error;
    fs::rename(file, aside, error);
    if (error) break;
    std::cerr << "Settings file " << file.string() << " cannot be used (" << why << "); kept as "
              << aside.string() << '\n';
    return true;
  }
  std::cerr << "Settings file " << file.string() << " cannot be used (" << why
            << ") nor be put aside; settings are not saved\n";
  return false;
}

}  // namespace

fs::path DataDirectory() { return fs::path(platform::ProgramDataDirectory()) / "Orvan"; }

fs::path ServerDataDirectory() { return DataDirectory() / "dravo"; }

ConfigStore::ConfigStore() {
  CreateIfMissing(DataDirectory());
  CreateIfMissing(ServerDataDirectory());
  Load();
  MigrateIni();
}

ConfigStore::~ConfigStore() {
  try {
    Save();
  } catch (const std::exception& e) {
    std::cerr << "Cannot save settings to " << SettingsFile().string() << ": " << e.what() << '\n';
  }
}

void ConfigStore::Commit() {
  // One attempt: a failure is the caller's to report, not the destructor's to try again.
  struct Done {
    bool& modified;
    ~Done() { modified = false; }
  } done{modified};
  Save();
}

pt::ptree& ConfigStore::Modify() {
  modified = true;
  return tree;
}

pt::ptree ConfigStore::ParseSettings(const std::string& bytes) {
  // The parser would stop at a NUL and take the rest for absent.
  if (bytes.find('\0') != std::string::npos) throw pt::ptree_error("NUL byte in the file");
  if (Nesting(bytes, kMaxNesting) > kMaxNesting)
    throw pt::ptree_error("elements nested more than " + std::to_string(kMaxNesting) + " deep");
  std::istringstream stream(bytes);
  pt::ptree tree;
  pt::read_xml(stream, tree);
  return tree;
}

pt::ptree ConfigStore::ParseLegacySettings(const std::string& bytes) {
  std::istringstream stream(bytes);
  pt::ptree tree;
  pt::read_ini(stream, tree);
  return tree;
}

std::string ConfigStore::SerializeSettings(const pt::ptree& tree) {
  std::ostringstream stream;
  pt::write_xml(stream, tree, pt::xml_writer_make_settings<std::string>(' ', 0, "utf-8"));
  return stream.str();
}

void ConfigStore::Load() {
  const fs::path file = SettingsFile();
  if (Missing(file)) return;
  try {
    tree = ParseSettings(ReadSettingsFile(file));
  } catch (const std::exception& e) {
    tree.clear();
    readOnly = !KeepAside(file, e.what());
  }
}

void ConfigStore::MigrateIni() {
  const fs::path file = LegacyFile();
  if (Missing(file)) return;
  pt::ptree legacy;
  try {
    legacy = ParseLegacySettings(ReadSettingsFile(file));
  } catch (const std::exception& e) {
    KeepAside(file, e.what());
    return;
  }
  const std::string name = legacy.get<std::string>("Server.Name", "");
  if (name.empty()) {
    fs::remove(file);
    return;
  }
  tree.put(kServerPublish, legacy.get<bool>("Server.Publish", false));
  tree.put(kServerName, name);
  modified = true;
  removeLegacy = true;
}

void ConfigStore::Save() {
  if (!modified) return;
  if (readOnly) throw std::runtime_error("the old settings file is in the way");
  ReplaceFile(SettingsFile(), SerializeSettings(tree), 0644);
  if (removeLegacy) fs::remove(LegacyFile());
}
