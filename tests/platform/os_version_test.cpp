#include <gtest/gtest.h>

#include "platform/os_version.hpp"
#include "platform/program_data.hpp"

#include <cstdlib>

TEST(OsVersion, TrueOnLinuxAndForcibleForTests) {
  EXPECT_TRUE(platform::IsWindows10OrLater());
  platform::ForceWindows10OrLater(false);
  EXPECT_FALSE(platform::IsWindows10OrLater());
  platform::ResetWindows10OrLater();
  EXPECT_TRUE(platform::IsWindows10OrLater());
}

TEST(ProgramData, VarLibUnlessOverridden) {
  unsetenv("ORVAN_PROGRAM_DATA");
  EXPECT_EQ(platform::ProgramDataDirectory(), "/var/lib");
  setenv("ORVAN_PROGRAM_DATA", "/tmp/orvan-data", 1);
  EXPECT_EQ(platform::ProgramDataDirectory(), "/tmp/orvan-data");
  setenv("ORVAN_PROGRAM_DATA", "", 1);
  EXPECT_EQ(platform::ProgramDataDirectory(), "/var/lib");
  unsetenv("ORVAN_PROGRAM_DATA");
}
