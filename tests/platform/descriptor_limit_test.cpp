#include <gtest/gtest.h>

#include "platform/descriptor_limit.hpp"

#include <sys/resource.h>

TEST(DescriptorLimit, SoftLimitRisesToTheHardLimit) {
  rlimit limit{};
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &limit), 0);
  if (limit.rlim_max > 64) {
    limit.rlim_cur = 64;
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &limit), 0);
  }
  EXPECT_TRUE(platform::RaiseDescriptorLimit());
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &limit), 0);
  EXPECT_EQ(limit.rlim_cur, limit.rlim_max);
}
