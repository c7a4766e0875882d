// The bounded whole-file read on every kind of path a settings or program file name can
// turn out to be.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "platform/whole_file.hpp"
#include "support/temporary_program_data.hpp"

namespace {

// A temporary folder of its own for each test.
class WholeFileTest : public TemporaryProgramData {
protected:
  std::string Write(const std::string& name, const std::string& bytes) {
    const auto path = root / name;
    TemporaryProgramData::Write(path, bytes);
    return path.string();
  }
  std::string Folder() const { return root.string(); }
};

TEST_F(WholeFileTest, ReadsRegularFilesUpToTheLimitAndRefusesTheRest) {
  const std::string bytes("a\0b\r\n", 5);
  ASSERT_EQ(mkfifo((Folder() + "/fifo").c_str(), 0600), 0);
  const struct {
    const char* name;
    std::string path;
    size_t limit;
    std::error_code error;
    std::string bytes;
  } cases[] = {
      {"regular", Write("file", bytes), 64, {}, bytes},
      {"exactly the limit", Write("five", bytes), 5, {}, bytes},
      {"empty", Write("empty", ""), 64, {}, ""},
      {"over the limit", Write("six", bytes + "x"), 5, platform::FileReadError::TooLarge, ""},
      // Its size says 0; the limit holds against what it really yields.
      {"proc file", "/proc/self/status", 4, platform::FileReadError::TooLarge, ""},
      {"folder", Folder(), 64, platform::FileReadError::NotRegular, ""},
      {"fifo", Folder() + "/fifo", 64, platform::FileReadError::NotRegular, ""},
      {"endless device", "/dev/zero", 64, platform::FileReadError::NotRegular, ""},
      {"missing", Folder() + "/missing", 64, std::error_code(ENOENT, std::system_category()), ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::string got = "stale";
    // A read that blocks (on the FIFO) ends the program here rather than hanging it.
    alarm(20);
    const std::error_code error = platform::ReadWholeFile(c.path, c.limit, got);
    alarm(0);
    EXPECT_EQ(error, c.error) << error.message();
    EXPECT_EQ(got, c.bytes);
  }
}

TEST_F(WholeFileTest, RefusalsSayWhy) {
  std::string got;
  EXPECT_EQ(platform::ReadWholeFile(Folder(), 64, got).message(), "not a regular file");
  EXPECT_EQ(platform::ReadWholeFile(Write("big", "12345"), 4, got).message(),
            "file larger than its reader takes");
}

}  // namespace
