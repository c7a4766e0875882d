// Classification of firmware files and the package reader: the header is XML read into a
// property tree, the parts are ranges of the bytes after its 0x1A terminator.
#include "firmware/firmware_file.hpp"

#include <boost/property_tree/ptree.hpp>
#include <boost/property_tree/xml_parser.hpp>

#include <charconv>
#include <sstream>

#include "core/orvan_error.hpp"

namespace orvan {
namespace {

namespace pt = boost::property_tree;

constexpr char kTerminator = 0x1A;
constexpr int32_t kFileError = -10005;
// The XML reader descends once per nested element; a header nested deeper than any package
// needs is refused before it can use up the stack.
constexpr int kDeepestHeader = 64;

bool StartsWith(std::string_view text, std::string_view prefix) {
  return text.substr(0, prefix.size()) == prefix;
}

[[noreturn]] void BadHeader(const std::string& why) {
  throw OrvanError(kFileError, "bad package header: " + why);
}

// Counts elements as they open and close, roughly: comments and '>' inside attribute values can
// only make it count deeper, which refuses a header no package has.
bool NestedTooDeeply(std::string_view header) {
  int depth = 0;
  for (size_t at = header.find('<'); at != std::string_view::npos; at = header.find('<', at + 1)) {
    if (at + 1 >= header.size()) break;
    const char next = header[at + 1];
    if (next == '/') {
      if (depth > 0) --depth;
      continue;
    }
    if (next == '?' || next == '!') continue;
    const size_t close = header.find('>', at + 1);
    if (close == std::string_view::npos) break;
    if (header[close - 1] != '/' && ++depth > kDeepestHeader) return true;
    at = close;
  }
  return false;
}

// A decimal integer with an optional sign and blanks around it, as the header's numbers are.
bool ParseInteger(const std::string& text, int64_t& value) {
  const auto first = text.find_first_not_of(" \t\r\n");
  if (first == std::string::npos) return false;
  const auto last = text.find_last_not_of(" \t\r\n");
  const char* begin = text.data() + first;
  const char* end = text.data() + last + 1;
  if (*begin == '+' && end - begin > 1 && begin[1] != '-') ++begin;
  const auto [stop, error] = std::from_chars(begin, end, value);
  return error == std::errc() && stop == end;
}

// The attribute as a number; `what` names its element in the message.
int64_t NumberAttribute(const pt::ptree& element, const std::string& name,
                        const std::string& what) {
  const auto text = element.get_optional<std::string>("<xmlattr>." + name);
  if (!text) BadHeader(what + " has no " + name);
  int64_t value = 0;
  if (!ParseInteger(*text, value))
    BadHeader(name + " \"" + *text + "\" of " + what + " is not a number");
  return value;
}

pt::ptree ReadHeader(std::string_view header) {
  if (NestedTooDeeply(header)) BadHeader("elements nested too deeply");
  std::istringstream text{std::string(header)};
  pt::ptree tree;
  try {
    pt::read_xml(text, tree);
  } catch (const pt::xml_parser_error& e) {
    BadHeader(e.what());
  }
  return tree;
}

}  // namespace

int32_t ClassifyFirmwareFile(std::string_view contents) {
  if (StartsWith(contents, "<?")) return kFirmwarePackage;
  if (StartsWith(contents, "S0")) return kFirmwareSRecord;
  if (StartsWith(contents, ":")) return kFirmwareHex;
  if (StartsWith(contents, "##")) return kFirmwareProgram;
  return kFirmwareText;
}

bool IsRawBinaryName(std::string_view path) {
  const size_t slash = path.rfind('/');
  const std::string_view name = slash == std::string_view::npos ? path : path.substr(slash + 1);
  return name.find(".bin") != std::string_view::npos;
}

bool IsLoadedPartType(const std::string& type) {
  return type == "s19" || type == "e19" || type == "hex" || type == "vkt";
}

FirmwarePackage ParseFirmwarePackage(std::string_view file) {
  const size_t terminator = file.find(kTerminator);
  if (terminator == std::string_view::npos) throw OrvanError(kFileError, "bad package format");
  const pt::ptree tree = ReadHeader(file.substr(0, terminator));

  const auto root = tree.get_child_optional("ofp");
  if (!root) BadHeader("no ofp element");
  if (NumberAttribute(*root, "version", "ofp") != 1)
    throw OrvanError(kFileError, "bad package version");

  FirmwarePackage package;
  package.key = root->get<std::string>("<xmlattr>.key", "");
  // 64-bit signed arithmetic throughout: offsets and lengths near 2^31 or 2^32 neither wrap
  // nor pass for small numbers.
  const int64_t data = static_cast<int64_t>(terminator) + 1;
  const int64_t available = static_cast<int64_t>(file.size()) - data;
  size_t number = 0;
  for (const auto& [name, element] : *root) {
    if (name != "bin") continue;
    const std::string what = "bin " + std::to_string(++number);
    FirmwarePart part;
    const auto type = element.get_optional<std::string>("<xmlattr>.type");
    if (!type) BadHeader(what + " has no type");
    part.type = *type;
    const int64_t offset = NumberAttribute(element, "offset", what);
    const int64_t length = NumberAttribute(element, "length", what);
    if (offset < 0 || length < 0 || offset > available || length > available - offset)
      throw OrvanError(kFileError, "bad offset and or length");
    // An empty part would be loaded as nothing and then burned.
    if (length == 0 && IsLoadedPartType(part.type))
      throw OrvanError(kFileError, "firmware file is empty");
    part.begin = static_cast<size_t>(data + offset);
    part.length = static_cast<size_t>(length);
    package.parts.push_back(std::move(part));
  }
  return package;
}

std::vector<HexRecordLine> SplitHexRecords(std::string_view image) {
  std::vector<HexRecordLine> records;
  size_t start = 0;
  while (start < image.size()) {
    const size_t feed = image.find('\n', start);
    const size_t end = feed == std::string_view::npos ? image.size() : feed + 1;
    std::string line;
    for (const char c : image.substr(start, end - start)) {
      if (c != '\r' && c != '\n') line += c;
    }
    if (!line.empty() && line.front() == ':') records.push_back({std::move(line), end});
    start = end;
  }
  return records;
}

}  // namespace orvan
