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
    "-n  Shows what would be done and does nothing",
    "-q  Writes no report to standard output",
    "",
    "Long forms: --overwrite --delete --level=X --fast --best --threads[=n]",
    "  --recursive --dry-run --quiet --help --version; -- ends the options",
    "--files-from=FILE  Packs the names FILE lists, one a line (- reads input)",
    "--files0-from=FILE The same with names ended by NUL, as find -print0 gives",
    "--output-dir=DIR   Writes every archive into DIR (with -R, a tree below it)",
    "--exclude=PATTERN  Passes over names (with a /, paths) that match PATTERN",
    "--older-than=AGE   Packs only files last changed AGE ago or more: 30m 12h 7d",
    "--json             Writes the report as JSON Lines",
};

TEST(UsageTest, FollowsEarlierOutputFromTheCursorInTheStartUpColours) {
  openMemoryConsole(80, 25, 1, 3);
  showUsage(testConsole());
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
  testConsole().writeText("earlier");
  showUsage(testConsole());
  // Every line break scrolls a row: the earlier text moves up with them.
  const int lines = static_cast<int>(std::size(kUsage));
  EXPECT_EQ(screenText(25 - lines).substr(0, 7), "earlier");
  EXPECT_EQ(screenText(26 - lines), padRight(kUsage[1], 80));
  EXPECT_EQ(screenText(24), padRight(kUsage[lines - 1], 80));
  EXPECT_EQ(outputRow(), 25);
}

}  // namespace
