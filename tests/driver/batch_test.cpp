#include "driver/batch.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <memory>
#include <new>

#include <string>
#include <vector>

#include "archive_reader.h"
#include "driver/command_line.h"
#include "driver/out_of_memory.h"
#include "support/memory_console.h"
#include "test_folder.h"
#include "ui/usage.h"
#include "ui/views.h"

namespace {

using Log = std::vector<std::string>;

// A whole run as the program makes it, on the in-memory console.
int runBatch(const std::vector<std::string>& parameters) {
  const CommandLine line = parseCommandLine(parameters);
  if (line.action == CommandLine::Action::Help) {
    showUsage(testConsole());
    return kExitSuccess;
  }
  const std::unique_ptr<RunView> view = makeTerminalView(testConsole());
  TerminalControl control(testConsole());
  return runBatch(line.options, *view, control);
}

// Whole runs on the in-memory console, in a fresh current folder.
class RunBatch : public ::testing::Test {
 protected:
  void SetUp() override { openMemoryConsole(); }

  static bool statusWindowShows(const std::string& text) {
    for (int row = 19; row <= 25; ++row) {
      if (screenText(row).find(text) != std::string::npos) return true;
    }
    return false;
  }

  static std::string field(int column, int row, int width) {
    std::string text;
    for (int i = 0; i < width; ++i) text += screenGlyph(column + i, row);
    return text;
  }

  TestFolder folder_;
};

TEST_F(RunBatch, WithoutParametersShowsTheUsageAndTouchesNothing) {
  writeFile("a.txt", "a");
  EXPECT_EQ(runBatch({}), 0);
  bool usageShown = false;
  for (int row = 1; row <= 25; ++row) {
    usageShown |= screenText(row).find("Usage: VORDEX [file mask] [options]") != std::string::npos;
  }
  EXPECT_TRUE(usageShown);
  EXPECT_FALSE(exists("a.zip"));
}

TEST_F(RunBatch, AMaskThatMatchesNothingFillsTheFieldsAndSaysSo) {
  EXPECT_EQ(runBatch({"a-mask-longer-than-ten*", "-O"}), 0);
  EXPECT_EQ(field(44, 2, 3), "1.1");
  EXPECT_EQ(screenAttribute(44, 2), 0x0E);
  EXPECT_EQ(field(10, 10, 10), "a-mask-lon");
  EXPECT_EQ(field(10, 11, 3), "YES");
  EXPECT_EQ(field(28, 11, 3), "NO ");
  EXPECT_EQ(screenAttribute(28, 11), 0x07);
  EXPECT_EQ(screenText(19).substr(0, 40), "No file matches a-mask-longer-than-ten* ");
  for (int row = 20; row <= 25; ++row) EXPECT_EQ(screenText(row), std::string(80, ' ')) << row;
  EXPECT_EQ(field(28, 10, 7), std::string(7, ' '));  // FILES untouched
}

TEST_F(RunBatch, PacksEveryMatchCountingSkippedFilesToo) {
  writeFile("b.txt", "bee");
  writeFile("a.txt", "ay");
  writeFile("c.zip", "an archive met by the search");
  writeFile("skip.log", "not matched");
  // Neither a folder, even one named like an archive, nor a dangling link is a file to count.
  ASSERT_EQ(mkdir("d.zip", 0755), 0);
  ASSERT_EQ(symlink("gone", "e.txt"), 0);
  EXPECT_EQ(runBatch({"*", "-9"}), 0);  // a skipped file is no failure
  EXPECT_EQ(field(28, 10, 2), "4 ");
  EXPECT_EQ(readArchive("a.zip")->front().data, "ay");
  EXPECT_EQ(readArchive("b.zip")->front().data, "bee");
  EXPECT_EQ(readArchive("skip.zip")->front().data, "not matched");
  EXPECT_EQ(readFile("c.zip"), "an archive met by the search");
  EXPECT_TRUE(exists("a.txt"));
}

TEST_F(RunBatch, TwoFilesOfOneBaseNameGiveOneArchiveWithOrWithoutOverwrite) {
  for (const bool overwrite : {false, true}) {
    SCOPED_TRACE(overwrite);
    writeFile("a.txt", "text");
    writeFile("a.doc", "document");
    std::vector<std::string> parameters{"a.*", "-D"};
    if (overwrite) parameters.push_back("-O");
    EXPECT_EQ(runBatch(parameters), 0);
    const auto entries = readArchive("a.zip");
    ASSERT_TRUE(entries.has_value());
    ASSERT_EQ(entries->size(), 1u);
    EXPECT_EQ(entries->front().name, "a.doc");  // met first in byte order
    EXPECT_EQ(entries->front().data, "document");
    EXPECT_FALSE(exists("a.doc"));
    EXPECT_EQ(readFile("a.txt"), "text");
    // The panel's log window shows the report after the run.
    EXPECT_EQ(field(37, 8, 5), " 2   ");
    EXPECT_EQ(field(45, 8, 27), "Skipped: ZIP already exists");
    EXPECT_EQ(field(37, 9, 5), "     ");
    ASSERT_EQ(unlink("a.zip"), 0);
    ASSERT_EQ(unlink("a.txt"), 0);
  }
}

TEST_F(RunBatch, AFailedFileMakesTheExitCodeTwo) {
  writeFile("bad.txt", "kept");
  writeFile("good.txt", "packed");
  ASSERT_EQ(mkdir("bad.zip", 0755), 0);
  EXPECT_EQ(runBatch({"*.txt", "-D"}), 2);
  EXPECT_EQ(readFile("bad.txt"), "kept");
  EXPECT_FALSE(exists("good.txt"));
  EXPECT_EQ(readArchive("good.zip")->front().data, "packed");
}

TEST_F(RunBatch, EscapeStopsTheRunAfterTheFileInHand) {
  for (const char* name : {"1.txt", "2.txt", "3.txt"}) writeFile(name, name);
  feedKeyBytes("\x1b");
  EXPECT_EQ(runBatch({"*.txt"}), 0);
  EXPECT_TRUE(exists("1.zip"));
  EXPECT_FALSE(exists("2.zip"));
  EXPECT_EQ(field(28, 10, 2), "1 ");
  EXPECT_TRUE(statusWindowShows("Operations aborted"));
}

TEST_F(RunBatch, OtherKeysAreDroppedOnePerFile) {
  for (const char* name : {"1.txt", "2.txt", "3.txt", "4.txt", "5.txt"}) writeFile(name, name);
  feedKeyBytes("ab\x1b");
  EXPECT_EQ(runBatch({"*.txt"}), 0);
  EXPECT_EQ(field(28, 10, 2), "3 ");
  EXPECT_TRUE(exists("3.zip"));
  EXPECT_FALSE(exists("4.zip"));
  EXPECT_TRUE(statusWindowShows("Operations aborted"));
}

TEST_F(RunBatch, AnAbortAfterAFailureStillEndsWithTwo) {
  writeFile("1.txt", "one");
  writeFile("2.txt", "two");
  ASSERT_EQ(mkdir("1.zip", 0755), 0);
  feedKeyBytes("\x1b");
  EXPECT_EQ(runBatch({"*.txt"}), 2);
  EXPECT_FALSE(exists("2.zip"));
}

#if !defined(__SANITIZE_ADDRESS__)
TEST(OutOfMemory, EndsTheProcessWithCodeOneAndAReportOnStandardOutputAndError) {
  TestFolder folder;
  const auto exhaust = [] {
    const int report = open("stdout.txt", O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(report, STDOUT_FILENO);
    std::set_new_handler(outOfMemory);
    volatile std::size_t huge = std::size_t{1} << 62;
    char* const never = new char[huge];
    std::printf("%p\n", static_cast<void*>(never));
  };
  EXPECT_EXIT(exhaust(), ::testing::ExitedWithCode(1), "^Vordex: out of memory\n$");
  EXPECT_EQ(readFile("stdout.txt"), "Vordex: out of memory\n");
}
#endif

}  // namespace
