#include "driver/command_line.h"

#include <gtest/gtest.h>

namespace {

using Action = CommandLine::Action;

RunOptions options(const std::vector<std::string>& parameters) {
  const CommandLine line = parseCommandLine(parameters);
  EXPECT_EQ(line.action, Action::Run) << line.refusal;
  return line.options;
}

std::string refusal(const std::vector<std::string>& parameters) {
  const CommandLine line = parseCommandLine(parameters);
  EXPECT_EQ(line.action, Action::Refused);
  return line.refusal;
}

TEST(CommandLine, MaskAloneGivesTheDefaults) {
  const RunOptions defaults = options({"*.TXT"});
  EXPECT_EQ(defaults.fileMask, "*.TXT");
  EXPECT_EQ(defaults.compressionLevel, -1);
  EXPECT_FALSE(defaults.overwriteArchives);
  EXPECT_FALSE(defaults.deleteAfterZipping);
  EXPECT_FALSE(defaults.dryRun);
  EXPECT_EQ(defaults.olderThan, -1);
}

TEST(CommandLine, MaskIsTakenAsTypedWhateverItHolds) {
  EXPECT_EQ(options({"My Files*.Txt"}).fileMask, "My Files*.Txt");
  // Nothing is cut at 255 characters: a longer path would otherwise search for other files.
  const std::string longMask = std::string(300, 'd') + "/*.log";
  EXPECT_EQ(options({longMask}).fileMask, longMask);
  // Parameter 1 is the mask even when it looks like an option; a second mask is ignored.
  const RunOptions first = options({"-D", "*.TXT"});
  EXPECT_EQ(first.fileMask, "-D");
  EXPECT_FALSE(first.deleteAfterZipping);
  EXPECT_EQ(first.compressionLevel, -1);
  // After "--" nothing is an option: a mask may begin with "-" there too.
  const RunOptions ended = options({"--delete", "--", "-x.log", "-O"});
  EXPECT_EQ(ended.fileMask, "-x.log");
  EXPECT_TRUE(ended.deleteAfterZipping);
  EXPECT_FALSE(ended.overwriteArchives);
  EXPECT_EQ(options({"--", "-D"}).fileMask, "-D");
}

// Every spelling that meant something keeps its meaning, in either case.
TEST(CommandLine, SpellingsOfTheShortOptions) {
  struct Case {
    const char* parameter;
    bool overwrite;
    bool remove;
    int level;
  };
  const Case cases[] = {
      {"-O", true, false, -1},         {"-o", true, false, -1},
      {"-D", false, true, -1},         {"-d", false, true, -1},
      {"-Overwrite", true, false, -1}, {"-overwr", true, false, -1},
      {"-OVERWRITE", true, false, -1}, {"-Delete", false, true, -1},
      {"-Del", false, true, -1},       {"-dELETE", false, true, -1},
      {"-0", false, false, 0},         {"-9", false, false, 9},
      {"-9x", false, false, 9},        {"-10", false, false, 1},
  };
  for (const Case& c : cases) {
    const RunOptions got = options({"*", c.parameter});
    EXPECT_EQ(got.overwriteArchives, c.overwrite) << c.parameter;
    EXPECT_EQ(got.deleteAfterZipping, c.remove) << c.parameter;
    EXPECT_EQ(got.compressionLevel, c.level) << c.parameter;
  }
  EXPECT_TRUE(options({"*", "-R"}).recursive);
  EXPECT_TRUE(options({"*", "-recurs"}).recursive);
  EXPECT_TRUE(options({"*", "-n"}).dryRun);
  EXPECT_TRUE(options({"*", "-q"}).quiet);
  EXPECT_TRUE(options({"*", "-Quiet"}).quiet);
}

TEST(CommandLine, LongOptionsInTheGnuStyle) {
  const RunOptions got = options({"--overwrite", "--delete", "--level=3", "--recursive",
                                  "--dry-run", "--quiet", "--json", "--exclude=*.tmp", "--exclude",
                                  "old/*", "--output-dir", "/srv/a", "--older-than=12h", "*.log"});
  EXPECT_EQ(got.fileMask, "*.log");
  EXPECT_TRUE(got.overwriteArchives && got.deleteAfterZipping && got.recursive && got.dryRun &&
              got.quiet && got.json);
  EXPECT_EQ(got.compressionLevel, 3);
  EXPECT_EQ(got.excludes, (std::vector<std::string>{"*.tmp", "old/*"}));
  EXPECT_EQ(got.outputDir, "/srv/a");
  EXPECT_EQ(got.olderThan, 12 * 3600);

  EXPECT_EQ(options({"*", "--fast"}).compressionLevel, 1);
  EXPECT_EQ(options({"*", "--best"}).compressionLevel, 9);
  EXPECT_EQ(options({"*", "--older-than", "30m"}).olderThan, 1800);
  EXPECT_EQ(options({"*", "--older-than=7d"}).olderThan, 7 * 86400);
  // A unique beginning stands for the name, as getopt_long has it.
  EXPECT_TRUE(options({"*", "--del"}).deleteAfterZipping);
  EXPECT_TRUE(options({"*", "--dry"}).dryRun);

  const RunOptions list = options({"--files0-from=-", "-D"});
  EXPECT_EQ(list.fileList, "-");
  EXPECT_EQ(list.listSeparator, '\0');
  EXPECT_TRUE(list.deleteAfterZipping);
  EXPECT_EQ(options({"--files-from", "names.txt"}).listSeparator, '\n');
}

TEST(CommandLine, AnythingElseBeginningWithADashIsRefusedByName) {
  EXPECT_EQ(refusal({"*.log", "-dry-run"}), "unknown option '-dry-run'");
  EXPECT_EQ(refusal({"*.log", "-delete-not"}), "unknown option '-delete-not'");
  EXPECT_EQ(refusal({"*.log", "-DO"}), "unknown option '-DO'");
  EXPECT_EQ(refusal({"*", "-rm"}), "unknown option '-rm'");
  EXPECT_EQ(refusal({"*", "-test"}), "unknown option '-test'");
  EXPECT_EQ(refusal({"*", "-x", "*.tmp"}), "unknown option '-x'");
  EXPECT_EQ(refusal({"*", "-f"}), "unknown option '-f'");
  EXPECT_EQ(refusal({"*", "-T4x"}), "unknown option '-T4x'");
  EXPECT_EQ(refusal({"*", "-\xC3\xB6"}), "unknown option '-\xC3\xB6'");
  EXPECT_EQ(refusal({"*", "-\n"}), "unknown option '-\\n'");
  EXPECT_EQ(refusal({"*", "--force"}), "unknown option '--force'");
  EXPECT_EQ(refusal({"*", "--rm"}), "unknown option '--rm'");
  EXPECT_EQ(refusal({"*", "--f"}),
            "option '--f' is ambiguous: --fast, --files-from, --files0-from");
  EXPECT_EQ(refusal({"*", "--delete=yes"}), "option --delete takes no value");
  EXPECT_EQ(refusal({"*", "--exclude"}), "option --exclude needs a value");
  EXPECT_EQ(refusal({"*", "--level=10"}), "'--level=10': a level is a digit, 0 to 9");
  EXPECT_EQ(refusal({"*", "--threads=x"}), "'--threads=x': threads are counted from 1 to 64");
  EXPECT_EQ(refusal({"*", "--older-than=7"}),
            "'--older-than=7': an age is a number and a unit: 30m, 12h, 7d");
  EXPECT_EQ(refusal({"--delete"}), "no file mask given");
  EXPECT_EQ(refusal({"*", "--files-from=list"}),
            "a mask and a list of names (--files-from) exclude each other");
  EXPECT_EQ(refusal({"--files0-from=-", "-R"}),
            "-R and a list of names (--files0-from) exclude each other");
  // The first problem is the one told; help asked for before it wins.
  EXPECT_EQ(refusal({"*", "-x", "--force"}), "unknown option '-x'");
  EXPECT_EQ(parseCommandLine({"*", "--help", "--force"}).action, Action::Help);
  EXPECT_EQ(parseCommandLine({"*", "--force", "--help"}).action, Action::Refused);
}

TEST(CommandLine, HelpAndVersion) {
  for (const std::vector<std::string>& help :
       {std::vector<std::string>{}, {"-h"}, {"-?"}, {"--help"}, {"--he"}, {"*", "-h"}}) {
    EXPECT_EQ(parseCommandLine(help).action, Action::Help) << help.size();
  }
  EXPECT_EQ(parseCommandLine({"--version"}).action, Action::Version);
  // Alone it is help; with more after it, the first parameter is the mask as ever.
  EXPECT_EQ(options({"-h", "-D"}).fileMask, "-h");
}

TEST(CommandLine, OtherParametersAreIgnoredButLookedAtForAnExpandedMask) {
  const CommandLine line =
      parseCommandLine({"*", "/O", "O", "-", "", "--output-dir", "out", "--exclude=x", "-D"});
  EXPECT_EQ(line.action, Action::Run);
  EXPECT_FALSE(line.options.overwriteArchives);
  EXPECT_TRUE(line.options.deleteAfterZipping);
  // An option's value ("out") is no word of its own.
  EXPECT_EQ(line.words, (std::vector<std::size_t>{1, 2, 3, 4, 5, 7, 8}));
}

TEST(CommandLine, WorkersAreAllCoresOrACountFromOneToSixtyFour) {
  EXPECT_EQ(options({"*"}).workers, 0);
  EXPECT_EQ(options({"*", "-T"}).workers, kAllCores);
  EXPECT_EQ(options({"*", "-t4"}).workers, 4);
  EXPECT_EQ(options({"*", "-T64"}).workers, 64);
  EXPECT_EQ(options({"*", "-T65"}).workers, 64);
  EXPECT_EQ(options({"*", "-T99999999999"}).workers, 64);
  EXPECT_EQ(options({"*", "-T0"}).workers, 1);
  EXPECT_EQ(options({"*", "-Threads"}).workers, kAllCores);
  EXPECT_EQ(options({"*", "-T2", "-T"}).workers, kAllCores);  // the last one wins
  EXPECT_EQ(options({"*", "--threads"}).workers, kAllCores);
  EXPECT_EQ(options({"*", "--threads=3"}).workers, 3);
}

TEST(CommandLine, TheLastLevelWins) {
  EXPECT_EQ(options({"*", "-5", "-0"}).compressionLevel, 0);
  EXPECT_EQ(options({"*", "-0", "-5"}).compressionLevel, 5);
  EXPECT_EQ(options({"*", "--best", "-2"}).compressionLevel, 2);
  // Switches are only ever turned on.
  const RunOptions got = options({"*", "-D", "-3", "-D"});
  EXPECT_TRUE(got.deleteAfterZipping);
  EXPECT_EQ(got.compressionLevel, 3);
}

}  // namespace
