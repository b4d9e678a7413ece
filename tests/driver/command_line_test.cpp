#include "driver/command_line.h"

#include <gtest/gtest.h>

namespace {

TEST(CommandLine, MaskAloneGivesTheDefaults) {
  const RunOptions options = parseCommandLine({"*.TXT"});
  EXPECT_EQ(options.fileMask, "*.TXT");
  EXPECT_EQ(options.compressionLevel, -1);
  EXPECT_FALSE(options.overwriteArchives);
  EXPECT_FALSE(options.deleteAfterZipping);
}

TEST(CommandLine, MaskIsTakenAsTypedWhateverItHolds) {
  EXPECT_EQ(parseCommandLine({"My Files*.Txt"}).fileMask, "My Files*.Txt");
  // Nothing is cut at 255 characters: a longer path would otherwise search for other files.
  const std::string longMask = std::string(300, 'd') + "/*.log";
  EXPECT_EQ(parseCommandLine({longMask}).fileMask, longMask);
  // Parameter 1 is the mask even when it looks like an option; a second mask is ignored.
  const RunOptions options = parseCommandLine({"-D", "*.TXT"});
  EXPECT_EQ(options.fileMask, "-D");
  EXPECT_FALSE(options.deleteAfterZipping);
  EXPECT_EQ(options.compressionLevel, -1);
}

TEST(CommandLine, OptionsAreJudgedByTheirSecondCharacterInEitherCase) {
  RunOptions options = parseCommandLine({"*", "-d", "-o"});
  EXPECT_TRUE(options.deleteAfterZipping);
  EXPECT_TRUE(options.overwriteArchives);

  options = parseCommandLine({"*", "-Overwrite", "-Delete", "-9x"});
  EXPECT_TRUE(options.overwriteArchives);
  EXPECT_TRUE(options.deleteAfterZipping);
  EXPECT_EQ(options.compressionLevel, 9);

  EXPECT_EQ(parseCommandLine({"*", "-10"}).compressionLevel, 1);

  // -DO is one option: only D counts.
  options = parseCommandLine({"*", "-DO"});
  EXPECT_TRUE(options.deleteAfterZipping);
  EXPECT_FALSE(options.overwriteArchives);
}

TEST(CommandLine, AnythingElseIsIgnored) {
  const RunOptions options = parseCommandLine({"*", "/O", "O", "-X", "-", "", "--", "-\xC3\xB6"});
  EXPECT_FALSE(options.overwriteArchives);
  EXPECT_FALSE(options.deleteAfterZipping);
  EXPECT_EQ(options.compressionLevel, -1);
}

TEST(CommandLine, WorkersAreAllCoresOrACountFromOneToSixtyFour) {
  EXPECT_EQ(parseCommandLine({"*"}).workers, 0);
  EXPECT_EQ(parseCommandLine({"*", "-T"}).workers, kAllCores);
  EXPECT_EQ(parseCommandLine({"*", "-t4"}).workers, 4);
  EXPECT_EQ(parseCommandLine({"*", "-T64"}).workers, 64);
  EXPECT_EQ(parseCommandLine({"*", "-T65"}).workers, 64);
  EXPECT_EQ(parseCommandLine({"*", "-T99999999999"}).workers, 64);
  EXPECT_EQ(parseCommandLine({"*", "-T0"}).workers, 1);
  EXPECT_EQ(parseCommandLine({"*", "-Threads"}).workers, kAllCores);
  EXPECT_EQ(parseCommandLine({"*", "-T2", "-T"}).workers, kAllCores);  // the last one wins
}

TEST(CommandLine, TheLastLevelWins) {
  EXPECT_EQ(parseCommandLine({"*", "-5", "-0"}).compressionLevel, 0);
  EXPECT_EQ(parseCommandLine({"*", "-0", "-5"}).compressionLevel, 5);
  // Switches are only ever turned on.
  const RunOptions options = parseCommandLine({"*", "-D", "-3", "-D"});
  EXPECT_TRUE(options.deleteAfterZipping);
  EXPECT_EQ(options.compressionLevel, 3);
}

}  // namespace
