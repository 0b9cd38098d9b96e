#include <gtest/gtest.h>

#include "app/options.h"

TEST(ParseOptions, LastValueWins) {
  const char* argv[] = {"updater", "--log", "x", "--log", "y"};
  OptionMap options = parseOptions(5, argv);
  EXPECT_EQ(options["log"], "y");
}
