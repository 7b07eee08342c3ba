// Guards ox_add_gtest: every entry of its ENV list reaches the discovered tests, including
// values that hold '='.
#include <gtest/gtest.h>

#include <cstdlib>

TEST(GtestEnvironment, EveryEntryArrives) {
  ASSERT_NE(std::getenv("OX_ENV_FIRST"), nullptr);
  ASSERT_NE(std::getenv("OX_ENV_SECOND"), nullptr);
  EXPECT_STREQ(std::getenv("OX_ENV_FIRST"), "1");
  EXPECT_STREQ(std::getenv("OX_ENV_SECOND"), "a=b");
}
