#include "tools/display_model.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

const std::string kInit("\x1B\x40\x1B\x2A\x04\x1B\x5F\x00", 8);

TEST(DisplayModel, ShowsTextWhereTheCursorWasSent) {
  DisplayModel display;
  display.Feed(kInit + "Hello" + std::string("\x1B\x6C\x03\x02", 4) + "world" + std::string("\x1B\x02", 2));
  EXPECT_EQ("Hello               ", display.Row(0));
  EXPECT_EQ("  world             ", display.Row(1));
  EXPECT_TRUE(display.closed());
  EXPECT_EQ((std::vector<std::string>{"reset", "setting * 4", "setting _ 0", "text \"Hello\"", "cursor 3,2",
                                      "text \"world\"", "close"}),
            display.events());
}

TEST(DisplayModel, CommandsSplitAcrossReadsAndTextRunningOn) {
  DisplayModel display;
  const std::string bytes = kInit + std::string(25, 'x') + std::string("\x1B\x6C\x01\x01", 4) + "ab";
  for (char c : bytes) display.Feed(std::string(1, c));
  EXPECT_EQ("ab" + std::string(18, 'x'), display.Row(0));
  EXPECT_EQ(std::string(5, 'x') + std::string(15, ' '), display.Row(1));
  EXPECT_EQ(1, display.resets());
  EXPECT_FALSE(display.closed());
}

}  // namespace
