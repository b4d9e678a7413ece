#include "ui/usage.h"

#include <gtest/gtest.h>

#include <iterator>

#include <string>

#include "console/console.h"
#include "support/memory_console.h"
#include "ui/colour_text.h"

namespace {

const char* const kUsage[] = {
    "",
    "Usage: VORDEX [file mask] [options]",
    "",
    "[file mask] contains the file mask which will be processed",
    "[options]   any number of the following optional commands:",
    "",
    "-O  Overwrite existing .ZIP files",
    "-D  Delete original file after zipping",
    "-X  Sets compression level (where X is 0 through 9)",
    "-T  Packs with every core (-Tn: with n threads, 1 through 64)",
    "-R  Also packs matching files in every subfolder, beside each file",
};

TEST(UsageTest, FollowsEarlierOutputFromTheCursorInTheStartUpColours) {
  openMemoryConsole(80, 25, 1, 3);
  showUsage();
  const int lines = static_cast<int>(std::size(kUsage));
  for (int line = 0; line < lines; ++line) {
    EXPECT_EQ(screenText(3 + line), padRight(kUsage[line], 80)) << line;
  }
  EXPECT_EQ(outputRow(), 3 + lines);
  EXPECT_EQ(outputColumn(), 1);
  EXPECT_EQ(currentAttribute(), 0x07);
  EXPECT_EQ(screenAttribute(1, 4), 0x07);
}

TEST(UsageTest, ScrollsTheScreenFromTheLastRow) {
  openMemoryConsole(80, 25, 1, 25);
  writeText("earlier");
  showUsage();
  // Every line break scrolls a row: the earlier text moves up with them.
  const int lines = static_cast<int>(std::size(kUsage));
  EXPECT_EQ(screenText(25 - lines).substr(0, 7), "earlier");
  EXPECT_EQ(screenText(26 - lines), padRight(kUsage[1], 80));
  EXPECT_EQ(screenText(24), padRight(kUsage[lines - 1], 80));
  EXPECT_EQ(outputRow(), 25);
}

}  // namespace
