// Turns a user's program text into controller lines: directives, includes, macros, then up to
// five cumulative compression levels until the program fits the controller's line count and
// line width. Pure logic: include files come through a ProgramLoader.
#pragma once

#include <list>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <boost/program_options/variables_map.hpp>

#include "program/program_loader.hpp"

namespace orvan {

// Values of ProgramStatement::kind.
constexpr int kCodeStatement = 0;
constexpr int kRemarkStatement = 1;
constexpr int kCommentStatement = 2;  // "//" comment
constexpr int kDirectiveStatement = 3;

struct ProgramStatement {
  std::string text;           // without line break and without the ';' that separated it
  int line = 0;               // the program's first line is 0
  bool continuation = false;  // second part of a statement cut at level 4
  int kind = kCodeStatement;
  int depth = 0;  // include nesting the statement came from; 0 for the program itself
};

using StatementList = std::list<ProgramStatement>;

class Preprocessor {
public:
  static constexpr int kMaxLevel = 4;
  static constexpr int kMaxIncludeDepth = 16;
  static constexpr int kMaxIncludeFiles = 1024;

  explicit Preprocessor(
      std::shared_ptr<const ProgramLoader> loader = std::make_shared<FileProgramLoader>());

  // Applies `options`, preprocesses `program` and writes the controller lines (each ended by CR)
  // to `out`. Returns the level at which the program fits, or Max() + 1 when it fits at no level
  // and an insert location is set. Throws OrvanError -1202, -1203, -1204 or -10005.
  int Run(const std::string& options, const std::string& program, std::string& out, int lineLimit,
          int widthLimit, bool allowContinuation);

  // Applies an option text (the caller's or a "##option" directive's); -1204 when malformed.
  void ParseOptions(const std::string& text);

  int Process(const std::string& program, StatementList& list, int lineLimit, int widthLimit,
              bool allowContinuation);
  // Splits `text` into statements and inserts them in front of `before`; numbering starts at
  // `firstLine` and the statements from `before` on move down by the line breaks read.
  void InsertLines(const std::string& text, StatementList& list, StatementList::iterator before,
                   int firstLine, int depth = 0);
  // Inserts the file's statements after the directive at `position`.
  void IncludeFile(const std::string& name, StatementList& list, StatementList::iterator position,
                   int line);

  // Level passes; each returns true when the program does not fit.
  bool CheckCharacters(StatementList& list);
  bool RemoveSpaces(StatementList& list);
  bool RemoveComments(StatementList& list, int level);
  bool JoinLines(StatementList& list, bool allowContinuation);

  // 1 for "##option ", 2 for "##include ", 0 otherwise; `argument` gets the quoted text.
  static int DirectiveKind(const std::string& line, std::string& argument);
  static std::vector<std::string> SplitOptionWords(const std::string& text);

  int Max() const { return maxLevel; }
  int Min() const { return minLevel; }
  // Where the download goes; when not empty, a program that does not fit is not an error.
  const std::string& Insert() const { return insert; }
  const std::vector<std::string>& SearchPaths() const { return searchPaths; }
  const std::map<std::string, std::string>& Macros() const { return macros; }

private:
  void ParseOptionWords(const std::vector<std::string>& words,
                        boost::program_options::variables_map& values) const;
  void RunDirectives(StatementList& list);
  void ApplyMacros(StatementList& list) const;
  bool RunLevel(int level, StatementList& list, bool allowContinuation);
  bool DoesNotFit(const StatementList& list) const;
  bool WidthDoesNotFit(const StatementList& list) const;
  bool LinesDoNotFit(const StatementList& list) const;

  std::shared_ptr<const ProgramLoader> loader;
  int maxLevel = kMaxLevel;
  int minLevel = 0;
  std::string insert;
  std::vector<std::string> searchPaths;
  std::map<std::string, std::string> macros;
  int lineLimit = 0;
  int widthLimit = 0;
  int includeFiles = 0;
};

}  // namespace orvan
