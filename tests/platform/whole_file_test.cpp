// The bounded whole-file read on every kind of path a settings or program file name can
// turn out to be.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <string>

#include "platform/whole_file.hpp"

namespace {

class WholeFileTest : public ::testing::Test {
protected:
  void SetUp() override {
    char pattern[] = "/tmp/whole-file-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    folder = pattern;
  }
  void TearDown() override {
    const std::string command = "rm -rf '" + folder + "'";
    EXPECT_EQ(std::system(command.c_str()), 0);
  }
  std::string Write(const std::string& name, const std::string& bytes) {
    const std::string path = folder + "/" + name;
    std::ofstream(path, std::ios::binary) << bytes;
    return path;
  }

  std::string folder;
};

TEST_F(WholeFileTest, ReadsRegularFilesUpToTheLimitAndRefusesTheRest) {
  const std::string bytes("a\0b\r\n", 5);
  ASSERT_EQ(mkfifo((folder + "/fifo").c_str(), 0600), 0);
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
      {"folder", folder, 64, platform::FileReadError::NotRegular, ""},
      {"fifo", folder + "/fifo", 64, platform::FileReadError::NotRegular, ""},
      {"endless device", "/dev/zero", 64, platform::FileReadError::NotRegular, ""},
      {"missing", folder + "/missing", 64, std::error_code(ENOENT, std::system_category()), ""},
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
  EXPECT_EQ(platform::ReadWholeFile(folder, 64, got).message(), "not a regular file");
  EXPECT_EQ(platform::ReadWholeFile(Write("big", "12345"), 4, got).message(),
            "file larger than its reader takes");
}

}  // namespace
