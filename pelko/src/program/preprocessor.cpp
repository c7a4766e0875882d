// Program preprocessing and compression before a download.
#include "program/preprocessor.hpp"

#include "protocol/option_error_text.hpp"

#include <algorithm>
#include <cstdint>
#include <exception>
#include <iterator>

#include <boost/algorithm/string.hpp>
#include <boost/program_options.hpp>

#include "core/orvan_error.hpp"

namespace orvan {
namespace po = boost::program_options;

namespace {

bool StartsWith(const std::string& text, const char* prefix) { return text.rfind(prefix, 0) == 0; }

// The text of the line starting at `start`, and where the line after it starts (CR LF is one
// break, a lone CR or LF is one break).
std::string LineAt(const std::string& text, size_t start, size_t& next) {
  size_t end = start;
  while (end < text.size() && text[end] != '\r' && text[end] != '\n') ++end;
  next = end;
  if (next < text.size()) {
    if (text[next] == '\r' && next + 1 < text.size() && text[next + 1] == '\n') ++next;
    ++next;
  }
  return text.substr(start, end - start);
}

// Directives count only in a text whose first two lines both begin with "##".
bool DirectiveMode(const std::string& text) {
  size_t second = 0;
  const std::string first = LineAt(text, 0, second);
  if (second == first.size()) return false;  // no line break, so no second line
  size_t unused = 0;
  return StartsWith(first, "##") && StartsWith(LineAt(text, second, unused), "##");
}

}  // namespace

Preprocessor::Preprocessor(std::shared_ptr<const ProgramLoader> loader)
    : loader(std::move(loader)) {}

int Preprocessor::Run(const std::string& options, const std::string& program, std::string& out,
                      int lineLimit, int widthLimit, bool allowContinuation) {
  out.clear();
  ParseOptions(options);
  StatementList list;
  const int level = Process(program, list, lineLimit, widthLimit, allowContinuation);

  std::string current;
  int line = 0;
  for (const auto& statement : list) {
    if (statement.line == line) {
      if (!current.empty()) current += ';';
      current += statement.text;
    } else {
      current += '\r';
      out += current;
      ++line;
      current = statement.text;
    }
  }
  if (!current.empty()) {
    current += '\r';
    out += current;
  }
  return level;
}

std::vector<std::string> Preprocessor::SplitOptionWords(const std::string& text) {
  std::vector<std::string> words;
  std::string word;
  bool quoted = false;
  for (const char c : text) {
    if (c == '"') {
      quoted = !quoted;
    } else if (c == ' ' && !quoted) {
      if (!word.empty()) words.push_back(word);
      word.clear();
    } else {
      word += c;
    }
  }
  if (!word.empty()) words.push_back(word);
  return words;
}

void Preprocessor::ParseOptionWords(const std::vector<std::string>& words,
                                    po::variables_map& values) const {
  po::options_description description("Preprocessor options", 80, 40);
  description.add_options()("max", po::value<int>()->default_value(maxLevel),
                            "Maximum compression level")(
      "min", po::value<int>()->default_value(minLevel), "Minimum compression level")(
      "insert", po::value<std::string>()->default_value(insert),
      "Location to insert download, \"\" for beginning")(
      "search,I", po::value<std::vector<std::string>>(), "Add search path for includes")(
      "define,D", po::value<std::vector<std::string>>(), "Add an object-like macro")(
      "ifdef", po::value<std::string>(), "Validates this parsed line only if symbol is defined")(
      "ifndef", po::value<std::string>(),
      "Validates this parsed line only if symbol is NOT defined");
  // No positional words: a stray word is as unknown as a misspelt option.
  const po::positional_options_description noWords;
  po::store(po::command_line_parser(words).options(description).positional(noWords).run(), values);
  po::notify(values);
}

void Preprocessor::ParseOptions(const std::string& text) {
  const auto words = SplitOptionWords(text);
  po::variables_map values;
  try {
    ParseOptionWords(words, values);
  } catch (const std::exception& e) {
    throw OrvanError(-1204, protocol::OptionErrorText::Of(e));
  }

  if (values.count("ifdef") && !macros.count(values["ifdef"].as<std::string>())) return;
  if (values.count("ifndef") && macros.count(values["ifndef"].as<std::string>())) return;

  // A negative level would skip the character check entirely, so it counts as 0.
  maxLevel = std::clamp(values["max"].as<int>(), 0, kMaxLevel);
  minLevel = std::min({std::max(values["min"].as<int>(), 0), kMaxLevel, maxLevel});
  insert = values["insert"].as<std::string>();
  if (values.count("search")) {
    for (const auto& path : values["search"].as<std::vector<std::string>>())
      searchPaths.push_back(path);
  }
  if (values.count("define")) {
    for (const auto& define : values["define"].as<std::vector<std::string>>()) {
      std::vector<std::string> parts;
      boost::split(parts, define, [](char c) { return c == ':'; });
      if (parts.size() == 2) macros[parts[0]] = parts[1];
    }
  }
}

int Preprocessor::Process(const std::string& program, StatementList& list, int lineLimit,
                          int widthLimit, bool allowContinuation) {
  this->lineLimit = lineLimit;
  this->widthLimit = widthLimit;
  includeFiles = 0;
  if (StartsWith(program, "REM DISABLE COMPRESSION")) maxLevel = minLevel = 0;
  InsertLines(program, list, list.begin(), 0);
  RunDirectives(list);
  ApplyMacros(list);
  for (int level = 0; level <= maxLevel; ++level) {
    if (!RunLevel(level, list, allowContinuation) && level >= minLevel) return level;
  }
  if (insert.empty())
    throw OrvanError(-1203, "Unable to fit at compression level " + std::to_string(maxLevel));
  return maxLevel + 1;
}

void Preprocessor::InsertLines(const std::string& text, StatementList& list,
                               StatementList::iterator before, int firstLine, int depth) {
  const bool directives = DirectiveMode(text);
  ProgramStatement statement;
  statement.depth = depth;
  int line = firstLine;
  size_t lineStart = 0;
  bool outsideQuotes = true;
  char previous = '\0';

  const auto store = [&] {
    statement.line = line;
    list.insert(before, statement);
  };
  const auto restart = [&](int kind) {
    statement = ProgramStatement{};
    statement.kind = kind;
    statement.depth = depth;
  };

  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '\n' && previous == '\r') {
      lineStart = i + 1;
    } else if (c == '\r' || c == '\n') {
      if (!(previous == ';' && statement.kind == kCodeStatement)) store();
      restart(kCodeStatement);
      lineStart = i + 1;
      outsideQuotes = true;
      ++line;
    } else if (c == ';') {
      if (statement.kind == kCodeStatement) {
        if (!statement.text.empty()) store();
        restart(kCodeStatement);
      } else {
        statement.text += c;
      }
    } else if (c == '"') {
      outsideQuotes = !outsideQuotes;
      statement.text += c;
    } else if (c == '#') {
      if (previous == '#' && i == lineStart + 1)
        statement.kind = directives ? kDirectiveStatement : kCodeStatement;
      statement.text += c;
    } else if (c == '/' && previous == '/' && directives && outsideQuotes) {
      if (!statement.text.empty() && statement.text.back() == '/') statement.text.pop_back();
      if (!statement.text.empty()) store();
      restart(kCommentStatement);
      statement.text = "//";
    } else if (c == 'M' && i == lineStart + 2 && text.compare(lineStart, 2, "RE") == 0) {
      // Only a line that begins with "REM" is a remark; an 'M' later on a line that merely
      // begins with "RE" (such as "RE;MG 1") is code.
      statement.kind = kRemarkStatement;
      statement.text += c;
    } else {
      statement.text += c;
    }
    previous = c;
  }
  if (!statement.text.empty()) store();

  const int added = line - firstLine;
  for (auto following = before; following != list.end(); ++following) following->line += added;
}

void Preprocessor::RunDirectives(StatementList& list) {
  int shift = 0;
  int previousLine = -1;  // a comment on the first line frees that line
  for (auto it = list.begin(); it != list.end();) {
    const int line = it->line;
    switch (it->kind) {
      case kRemarkStatement:
        --shift;
        previousLine = line;
        it = list.erase(it);
        break;
      case kCommentStatement:
        // A comment after code on the same line frees no line.
        if (line != previousLine) {
          --shift;
          previousLine = line;
        }
        it = list.erase(it);
        break;
      case kDirectiveStatement: {
        std::string argument;
        const int kind = DirectiveKind(it->text, argument);
        if (kind == 1) {
          ParseOptions(argument);
          --shift;
        } else if (kind == 2) {
          IncludeFile(argument, list, it, line);
        } else {
          --shift;
        }
        previousLine = line;
        it = list.erase(it);
        break;
      }
      default:
        previousLine = line;
        it->line = line + shift;
        ++it;
        break;
    }
  }
}

void Preprocessor::ApplyMacros(StatementList& list) const {
  for (const auto& [name, replacement] : macros) {
    if (name.empty()) continue;
    for (auto& statement : list) {
      const auto found = statement.text.find(name);
      if (found != std::string::npos) statement.text.replace(found, name.size(), replacement);
    }
  }
}

int Preprocessor::DirectiveKind(const std::string& line, std::string& argument) {
  argument.clear();
  bool quoted = false;
  for (size_t i = 0; i < line.size(); ++i) {
    const char c = line[i];
    if (quoted && c == '\\' && i + 1 < line.size() && line[i + 1] == '"') {
      argument += '"';
      ++i;
    } else if (c == '"') {
      quoted = !quoted;
    } else if (quoted) {
      argument += c;
    }
  }
  if (argument.empty()) return 0;
  if (StartsWith(line, "##option ")) return 1;
  if (StartsWith(line, "##include ")) return 2;
  return 0;
}

void Preprocessor::IncludeFile(const std::string& name, StatementList& list,
                               StatementList::iterator position, int line) {
  // A file that includes itself, directly or through others, would otherwise never end; many
  // includes of includes would grow without bound just the same.
  const int depth = position->depth + 1;
  if (depth > kMaxIncludeDepth)
    throw OrvanError(-10005, "include files nested deeper than " +
                                 std::to_string(kMaxIncludeDepth) + " at include file " + name);
  if (++includeFiles > kMaxIncludeFiles)
    throw OrvanError(-10005, "more than " + std::to_string(kMaxIncludeFiles) +
                                 " include files at include file " + name);

  auto text = loader->Load(name);
  for (auto path = searchPaths.begin(); !text && path != searchPaths.end(); ++path)
    text = loader->Load(*path + "/" + name);
  if (!text) throw OrvanError(-10005, "unable to  open include file " + name);
  InsertLines(*text, list, std::next(position), line, depth);
}

bool Preprocessor::RunLevel(int level, StatementList& list, bool allowContinuation) {
  switch (level) {
    case 0:
      return CheckCharacters(list);
    case 1:
      return RemoveSpaces(list);
    case 2:
    case 3:
      return RemoveComments(list, level);
    default:
      return JoinLines(list, allowContinuation);
  }
}

bool Preprocessor::WidthDoesNotFit(const StatementList& list) const {
  int line = 0;
  int64_t width = 0;
  for (const auto& statement : list) {
    const int64_t length = static_cast<int64_t>(statement.text.size()) + 1;
    if (statement.line == line) {
      width += length;
    } else {
      ++line;
      width = length;
    }
    if (width > widthLimit) return true;
  }
  return false;
}

bool Preprocessor::LinesDoNotFit(const StatementList& list) const {
  return !list.empty() && static_cast<int64_t>(list.size()) > lineLimit &&
         list.back().line > lineLimit;
}

bool Preprocessor::DoesNotFit(const StatementList& list) const {
  return WidthDoesNotFit(list) || LinesDoNotFit(list);
}

bool Preprocessor::CheckCharacters(StatementList& list) {
  for (auto& statement : list) {
    std::string text;
    size_t leading = 0;
    size_t end = 0;  // just after the last non-blank character
    char first = '\0';
    for (const char c : statement.text) {
      const auto byte = static_cast<unsigned char>(c);
      if (c == '\t') {
        if (first == '\0') {
          text += "  ";
          leading += 2;
        } else {
          text += ' ';
        }
        continue;
      }
      if (byte < 0x20)
        throw OrvanError(-1202, "control characters not legal in VKT code, " + statement.text);
      if (byte >= 0x80)
        throw OrvanError(-1202, "extended ASCII not legal in VKT code, " + statement.text);
      if (c == '\\')
        throw OrvanError(-1202, "\\ character is not legal in VKT code, " + statement.text);
      text += c;
      if (c == ' ') {
        if (first == '\0') ++leading;
      } else {
        if (first == '\0') first = c;
        end = text.size();
      }
    }
    if (first == '#')
      text = text.substr(leading, end - leading);
    else if (first == '\0')
      text = "'";  // an empty comment keeps the line
    else
      text.resize(end);
    statement.text = std::move(text);
  }
  return DoesNotFit(list);
}

bool Preprocessor::RemoveSpaces(StatementList& list) {
  for (auto& statement : list) {
    const std::string& original = statement.text;
    std::string text;
    bool inQuotes = false;
    bool inComment = false;
    for (size_t i = 0; i < original.size(); ++i) {
      const char c = original[i];
      if (c == ' ' && !inQuotes && !inComment) {
        // Some commands need their blank: one two places after a C, one right after a D.
        const bool keep = (i >= 2 && original[i - 2] == 'C') || (i >= 1 && original[i - 1] == 'D');
        if (keep) text += c;
        continue;
      }
      if (c == '"') inQuotes = !(inQuotes || inComment);
      if (c == '\'' || (c == 'O' && i >= 1 && original[i - 1] == 'N')) inComment = !inQuotes;
      text += c;
    }
    statement.text = std::move(text);
  }
  return DoesNotFit(list);
}

bool Preprocessor::RemoveComments(StatementList& list, int level) {
  int shift = 0;
  for (auto it = list.begin(); it != list.end();) {
    it->line -= shift;
    const bool comment = level == 2 ? StartsWith(it->text, "'") : StartsWith(it->text, "NO");
    if (!comment) {
      ++it;
      continue;
    }
    const bool sharesBefore = it != list.begin() && std::prev(it)->line == it->line;
    const auto after = std::next(it);
    const bool sharesAfter = after != list.end() && after->line - shift == it->line;
    if (!sharesBefore && !sharesAfter) ++shift;
    it = list.erase(it);
  }
  return DoesNotFit(list);
}

bool Preprocessor::JoinLines(StatementList& list, bool allowContinuation) {
  int line = 0;
  int64_t used = 0;
  const int64_t limit = widthLimit;
  for (auto it = list.begin(); it != list.end(); ++it) {
    int64_t width = static_cast<int64_t>(it->text.size()) + 1;
    if (width > limit) {
      if (!allowContinuation || it->continuation) return true;
      int64_t cut = limit - 2;
      if (width < limit + 4 && limit - used - 2 > 3) cut = limit - used - 2;
      // A width limit of 2 or less leaves no room for any text before the '`'.
      if (cut <= 0) return true;
      ProgramStatement rest;
      rest.text = it->text.substr(static_cast<size_t>(cut));
      rest.continuation = true;
      rest.depth = it->depth;
      list.insert(std::next(it), rest);
      it->text = it->text.substr(0, static_cast<size_t>(cut)) + '`';
      width = static_cast<int64_t>(it->text.size()) + 1;
    }
    // A label always starts a line.
    if (used + width > limit || (!it->text.empty() && it->text.front() == '#' && used != 0)) {
      if (++line > lineLimit) return true;
      used = width;
    } else {
      used += width;
    }
    it->line = line;
  }
  return false;
}

}  // namespace orvan
