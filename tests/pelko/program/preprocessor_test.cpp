#include <gtest/gtest.h>

#include <boost/filesystem.hpp>

#include <array>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "core/orvan_error.hpp"
#include "program/preprocessor.hpp"

using namespace orvan;

namespace {

struct Limits {
  int lines = 100;
  int width = 80;
  bool continuation = true;
};

struct RunCase {
  const char* name;
  std::string options;
  std::string program;
  Limits limits;
  int level;
  std::string out;
};

const std::string kLong100(100, 'A');

const std::array<RunCase, 19> kRunCases{{
    {"two statements on a line", "", "X=1;Y=2\r\nZ=3\r\n", {}, 0, "X=1;Y=2\rZ=3\r"},
    {"lone LF and no final break", "", "X=1\nY=2", {}, 0, "X=1\rY=2\r"},
    {"trailing semicolon", "", "X=1;\r\nY=2\r\n", {}, 0, "X=1\rY=2\r"},
    {"blank line kept at level 0", "", "X=1\r\n\r\nY=2\r\n", {}, 0, "X=1\r'\rY=2\r"},
    {"blank line dropped at level 2", "--min 2", "X=1\r\n\r\nY=2\r\n", {}, 2, "X=1\rY=2\r"},
    {"tab leading and inner", "", "\tX=\t1 \r\n", {}, 0, "  X= 1\r"},
    {"label loses its blanks", "", "  #A \r\n", {}, 0, "#A\r"},
    {"blanks removed at level 1", "--min 1", "X = 1\r\nMG \"a b\"\r\n", {}, 1, "X=1\rMG\"a b\"\r"},
    {"blank after D and two after C stay", "--min 1", "XD 5\r\nCB 1\r\n", {}, 1, "XD 5\rCB 1\r"},
    {"NO comments go at level 3",
     "--min 3",
     "X=1\r\nNO note here\r\nNOTE\r\nY=2\r\n",
     {},
     3,
     "X=1\rY=2\r"},
    {"comment sharing a line frees none", "--min 2", "X=1;'c\r\nY=2\r\n", {}, 2, "X=1\rY=2\r"},
    {"remark line dropped", "", "REM note\r\nX=1\r\n", {}, 0, "X=1\r"},
    {"RE then MG is code", "", "RE;MG 1\r\nX=1\r\n", {}, 0, "RE;MG 1\rX=1\r"},
    {"macro replaces first occurrence", "-D FOO:BAR", "FOO=FOO\r\n", {}, 0, "BAR=FOO\r"},
    {"define without value defines nothing", "-D FOO", "FOO=1\r\n", {}, 0, "FOO=1\r"},
    {"option directive in the first two lines",
     "",
     "##option \"--min 1\"\r\n##x\r\nX = 1\r\n",
     {},
     1,
     "X=1\r"},
    {"lone option directive is code",
     "",
     "X=1\r\n##option \"--min 1\"\r\n",
     {},
     0,
     "X=1\r##option \"--min 1\"\r"},
    {"continuation at level 4",
     "",
     kLong100 + "\r\n",
     {100, 80, true},
     4,
     std::string(78, 'A') + "`\r" + std::string(22, 'A') + "\r"},
    {"joined onto fewer lines at level 4",
     "",
     "X=1\r\nY=2\r\nZ=3\r\n",
     {1, 80, true},
     4,
     "X=1;Y=2;Z=3\r"},
}};

class PreprocessorRun : public testing::TestWithParam<RunCase> {};

TEST_P(PreprocessorRun, GivesControllerLines) {
  const auto& c = GetParam();
  Preprocessor preprocessor(std::make_shared<MemoryProgramLoader>());
  std::string out = "stale";
  EXPECT_EQ(preprocessor.Run(c.options, c.program, out, c.limits.lines, c.limits.width,
                             c.limits.continuation),
            c.level);
  EXPECT_EQ(out, c.out);
}

INSTANTIATE_TEST_SUITE_P(Table, PreprocessorRun, testing::ValuesIn(kRunCases),
                         [](const auto& info) {
                           std::string name = info.param.name;
                           for (auto& c : name)
                             if (!isalnum(static_cast<unsigned char>(c))) c = '_';
                           return name;
                         });

struct ErrorCase {
  const char* name;
  std::string options;
  std::string program;
  Limits limits;
  int code;
  std::string message;
};

const std::array<ErrorCase, 14> kErrorCases{{
    {"control character",
     "",
     "X=\x01\r\n",
     {},
     -1202,
     "control characters not legal in VKT code, X=\x01"},
    {"extended ASCII",
     "",
     "X=\xc3\xa9\r\n",
     {},
     -1202,
     "extended ASCII not legal in VKT code, X=\xc3\xa9"},
    {"backslash",
     "",
     "MG \"a\\b\"\r\n",
     {},
     -1202,
     "\\ character is not legal in VKT code, MG \"a\\b\""},
    {"negative max still checks characters",
     "--max=-1",
     "X=\\\r\n",
     {},
     -1202,
     "\\ character is not legal in VKT code, X=\\"},
    {"disabled compression",
     "",
     "REM DISABLE COMPRESSION\r\nX = 1\r\n",
     {100, 4, true},
     -1203,
     "Unable to fit at compression level 0"},
    {"no continuation",
     "",
     kLong100 + "\r\n",
     {100, 80, false},
     -1203,
     "Unable to fit at compression level 4"},
    {"too many lines",
     "--max 3",
     "X=1\r\nY=2\r\nZ=3\r\n",
     {1, 80, true},
     -1203,
     "Unable to fit at compression level 3"},
    {"width 1 cannot be cut",
     "",
     "X=1\r\n",
     {100, 1, true},
     -1203,
     "Unable to fit at compression level 4"},
    {"negative width",
     "",
     "X=1\r\n",
     {100, -5, true},
     -1203,
     "Unable to fit at compression level 4"},
    {"unknown option", "--bogus", "X=1\r\n", {}, -1204, ""},
    {"unknown directive option", "", "##option \"--bogus 1\"\r\n##x\r\n", {}, -1204, ""},
    {"stray word", "4", "X=1\r\n", {}, -1204, ""},
    {"placeholder in a bad value", "--max %value%", "X=1\r\n", {}, -1204, ""},
    {"missing include",
     "",
     "##option \"--max 4\"\r\n##include \"nope.inc\"\r\n",
     {},
     -10005,
     "unable to  open include file nope.inc"},
}};

class PreprocessorError : public testing::TestWithParam<ErrorCase> {};

TEST_P(PreprocessorError, EndsInCodeAndMessage) {
  const auto& c = GetParam();
  Preprocessor preprocessor(std::make_shared<MemoryProgramLoader>());
  std::string out = "stale";
  try {
    preprocessor.Run(c.options, c.program, out, c.limits.lines, c.limits.width,
                     c.limits.continuation);
    FAIL() << "no error";
  } catch (const OrvanError& e) {
    EXPECT_EQ(e.Code(), c.code);
    if (!c.message.empty())
      EXPECT_EQ(e.Message(), c.message);
    else
      EXPECT_FALSE(e.Message().empty());
  }
  EXPECT_TRUE(out.empty());
}

INSTANTIATE_TEST_SUITE_P(Table, PreprocessorError, testing::ValuesIn(kErrorCases),
                         [](const auto& info) {
                           std::string name = info.param.name;
                           for (auto& c : name)
                             if (!isalnum(static_cast<unsigned char>(c))) c = '_';
                           return name;
                         });

TEST(PreprocessorOptions, LevelsAreClampedAndOrdered) {
  Preprocessor preprocessor;
  preprocessor.ParseOptions("--max 9 --min 7");
  EXPECT_EQ(preprocessor.Max(), 4);
  EXPECT_EQ(preprocessor.Min(), 4);
  preprocessor.ParseOptions("--max 2");
  EXPECT_EQ(preprocessor.Max(), 2);
  EXPECT_EQ(preprocessor.Min(), 2);
  preprocessor.ParseOptions("--max=-3 --min=-1");
  EXPECT_EQ(preprocessor.Max(), 0);
  EXPECT_EQ(preprocessor.Min(), 0);
}

TEST(PreprocessorOptions, QuotedWordsDefinesSearchPathsAndInsert) {
  Preprocessor preprocessor;
  preprocessor.ParseOptions(
      "-D \"A B:C D\" -DX:Y -D N:1 -D N:2 -D a:b:c -I inc --search \"my dir\" "
      "--insert #START");
  const std::map<std::string, std::string> macros{{"A B", "C D"}, {"N", "2"}, {"X", "Y"}};
  EXPECT_EQ(preprocessor.Macros(), macros);
  EXPECT_EQ(preprocessor.SearchPaths(), (std::vector<std::string>{"inc", "my dir"}));
  EXPECT_EQ(preprocessor.Insert(), "#START");
  EXPECT_EQ(Preprocessor::SplitOptionWords("  a \"b c\"  \"\" d"),
            (std::vector<std::string>{"a", "b c", "d"}));
}

TEST(PreprocessorOptions, IfdefAndIfndefGateTheWholeText) {
  Preprocessor preprocessor;
  preprocessor.ParseOptions("--ifdef FAST --max 1 -D SLOW:1");
  EXPECT_EQ(preprocessor.Max(), 4);
  EXPECT_TRUE(preprocessor.Macros().empty());
  preprocessor.ParseOptions("--ifndef FAST -D FAST:1");
  preprocessor.ParseOptions("--ifdef FAST --max 1");
  EXPECT_EQ(preprocessor.Max(), 1);
  preprocessor.ParseOptions("--ifndef FAST --max 3");
  EXPECT_EQ(preprocessor.Max(), 1);
}

TEST(PreprocessorDirectives, KindAndQuotedArgument) {
  struct Row {
    const char* line;
    int kind;
    const char* argument;
  };
  const Row rows[] = {
      {"##option \"--max 1\"", 1, "--max 1"},     {"##include \"a.inc\"", 2, "a.inc"},
      {"##include \"a\\\"b\" \"c\"", 2, "a\"bc"}, {"##include a.inc", 0, ""},
      {"##includes \"a.inc\"", 0, "a.inc"},       {"##option \"\"", 0, ""},
  };
  for (const auto& row : rows) {
    std::string argument = "stale";
    EXPECT_EQ(Preprocessor::DirectiveKind(row.line, argument), row.kind) << row.line;
    EXPECT_EQ(argument, row.argument) << row.line;
  }
}

TEST(PreprocessorDirectives, SlashCommentsGoInDirectiveModeOnly) {
  auto loader = std::make_shared<MemoryProgramLoader>();
  Preprocessor preprocessor(loader);
  std::string out;
  EXPECT_EQ(preprocessor.Run("", "##a\r\n##b\r\n// whole line\r\nX=1 // tail\r\nMG \"a//b\"\r\n",
                             out, 100, 80, true),
            0);
  EXPECT_EQ(out, "X=1\rMG \"a//b\"\r");
  EXPECT_EQ(Preprocessor(loader).Run("", "X=1 // kept\r\n", out, 100, 80, true), 0);
  EXPECT_EQ(out, "X=1 // kept\r");
}

TEST(PreprocessorInclude, IncludedLinesFollowTheDirective) {
  auto loader = std::make_shared<MemoryProgramLoader>();
  loader->Add("f.inc", "A=1\r\nB=2\r\n");
  Preprocessor preprocessor(loader);
  const std::string program = "##option \"--max 3\"\r\n##include \"f.inc\"\r\nX=1;Y=2\r\n";
  StatementList list;
  EXPECT_EQ(preprocessor.Process(program, list, 100, 80, true), 0);
  std::vector<std::pair<std::string, int>> lines;
  for (const auto& statement : list) lines.emplace_back(statement.text, statement.line);
  EXPECT_EQ(lines, (std::vector<std::pair<std::string, int>>{
                       {"A=1", 0}, {"B=2", 1}, {"X=1", 3}, {"Y=2", 3}}));
  EXPECT_EQ(preprocessor.Max(), 3);

  std::string out;
  EXPECT_EQ(Preprocessor(loader).Run("", program, out, 100, 80, true), 0);
  EXPECT_EQ(out, "A=1\rB=2\rX=1\rY=2\r");
}

TEST(PreprocessorInclude, SelfInclusionEndsInFileError) {
  auto loader = std::make_shared<MemoryProgramLoader>();
  loader->Add("loop.inc", "##include \"other.inc\"\r\n##x\r\n");
  loader->Add("other.inc", "##include \"loop.inc\"\r\n##include \"loop.inc\"\r\n");
  Preprocessor preprocessor(loader);
  std::string out;
  try {
    preprocessor.Run("", "##include \"loop.inc\"\r\n##x\r\n", out, 100, 80, true);
    FAIL() << "no error";
  } catch (const OrvanError& e) {
    EXPECT_EQ(e.Code(), -10005);
    EXPECT_NE(e.Message().find(".inc"), std::string::npos) << e.Message();
    EXPECT_NE(e.Message().find("deeper than 16"), std::string::npos) << e.Message();
  }
}

TEST(PreprocessorInclude, SixteenLevelsAreAllowed) {
  auto loader = std::make_shared<MemoryProgramLoader>();
  for (int i = 1; i < 16; ++i)
    loader->Add(std::to_string(i), "##include \"" + std::to_string(i + 1) + "\"\r\n##x\r\n");
  loader->Add("16", "X=16\r\n");
  std::string out;
  EXPECT_EQ(Preprocessor(loader).Run("", "##include \"1\"\r\n##x\r\n", out, 100, 80, true), 0);
  EXPECT_NE(out.find("X=16\r"), std::string::npos) << out;
}

TEST(PreprocessorInclude, IncludeCountIsBounded) {
  auto loader = std::make_shared<MemoryProgramLoader>();
  loader->Add("leaf", "X=1\r\n");
  std::string program;
  for (int i = 0; i < 1100; ++i) program += "##include \"leaf\"\r\n";
  std::string out;
  try {
    Preprocessor(loader).Run("", program, out, 5000, 80, true);
    FAIL() << "no error";
  } catch (const OrvanError& e) {
    EXPECT_EQ(e.Code(), -10005);
    EXPECT_EQ(e.Message(), "more than 1024 include files at include file leaf");
  }
}

TEST(PreprocessorInclude, FilesFromDiskAndSearchPaths) {
  const auto folder = boost::filesystem::temp_directory_path() /
                      boost::filesystem::unique_path("preprocessor-%%%%-%%%%");
  boost::filesystem::create_directories(folder / "lib");
  std::ofstream(folder / "lib" / "part.inc", std::ios::binary) << "B=2\r\n";
  std::ofstream(folder / "main.inc", std::ios::binary) << "A=1\r\n";

  const std::string program =
      "##include \"" + (folder / "main.inc").string() + "\"\r\n##include \"part.inc\"\r\n";
  Preprocessor preprocessor;
  std::string out;
  EXPECT_EQ(
      preprocessor.Run("-I " + (folder / "none").string() + " -I " + (folder / "lib").string(),
                       program, out, 100, 80, true),
      0);
  EXPECT_EQ(out, "A=1\rB=2\r");

  // A folder of the include's name is no file.
  boost::filesystem::create_directories(folder / "dir.inc");
  std::string unused;
  EXPECT_THROW(Preprocessor().Run("-I " + folder.string(), "##include \"dir.inc\"\r\n##x\r\n",
                                  unused, 100, 80, true),
               OrvanError);
  boost::filesystem::remove_all(folder);
}

TEST(PreprocessorFit, InsertLocationTurnsNoFitIntoMaxPlusOne) {
  Preprocessor preprocessor(std::make_shared<MemoryProgramLoader>());
  std::string out;
  EXPECT_EQ(preprocessor.Run("--insert #A --max 2", kLong100 + "\r\n", out, 100, 80, false), 3);
  EXPECT_EQ(preprocessor.Insert(), "#A");
  EXPECT_EQ(out, kLong100 + "\r");
}

TEST(PreprocessorFit, LabelsStartALineAtLevel4) {
  std::string out;
  EXPECT_EQ(Preprocessor(std::make_shared<MemoryProgramLoader>())
                .Run("--min 4", "X=1\r\n#A\r\nY=2\r\nZ=3\r\n", out, 100, 80, true),
            4);
  EXPECT_EQ(out, "X=1\r#A;Y=2;Z=3\r");
}

}  // namespace
