#include "driver/decision.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "archive_reader.h"
#include "core/naming.h"
#include "driver/archive.h"
#include "test_folder.h"

namespace {

// One look at the archive name decides whether a file is packed; each row sets up what stands
// there and says what the decision must be.
struct Row {
  const char* what;
  const char* source;
  bool overwrite;
  void (*setUp)(BatchRun& run);
  bool packed;
  std::uint8_t code;
  ReportDetail detail;
};

void nothing(BatchRun&) {}

void anArchiveOfItself(BatchRun& run) {
  Packer packer;
  DirectorySearch search;
  startSearch(search, run.workDir.get(), "a.txt");
  SearchEntry entry;
  ASSERT_TRUE(nextSearchEntry(search, entry));
  ASSERT_TRUE(archiveOneFile(run, packer, entry).zipped());
  run.createdArchives.clear();  // as an earlier run's
}

void anArchiveOfAnother(BatchRun& run) {
  writeFile("a.log", "another file");
  Packer packer;
  DirectorySearch search;
  startSearch(search, run.workDir.get(), "a.log");
  SearchEntry entry;
  ASSERT_TRUE(nextSearchEntry(search, entry));
  ASSERT_TRUE(archiveOneFile(run, packer, entry).zipped());
  run.createdArchives.clear();
}

void oneMadeThisRun(BatchRun& run) {
  anArchiveOfItself(run);
  struct stat made;
  ASSERT_EQ(stat("a.zip", &made), 0);
  run.rememberMade(identityOf(made));
}

void plainText(BatchRun&) {
  writeFile("a.zip", "not an archive");
}
void aFolder(BatchRun&) {
  ASSERT_EQ(mkdir("a.zip", 0755), 0);
}
void aFifo(BatchRun&) {
  ASSERT_EQ(mkfifo("a.zip", 0644), 0);
}
void aHardLink(BatchRun&) {
  ASSERT_EQ(link("a.txt", "a.zip"), 0);
}

void theRunsOutput(BatchRun& run) {
  anArchiveOfItself(run);
  struct stat output;
  ASSERT_EQ(stat("a.zip", &output), 0);
  run.ownOutputs.push_back(identityOf(output));
}

const Row kRows[] = {
    {"nothing there", "a.txt", false, nothing, true, 0, ReportDetail::None},
    {"a ZIP itself", "a.ZiP", true, nothing, false, LOG_SKIPPED, ReportDetail::ZipSource},
    {"an archive from before", "a.txt", false, anArchiveOfItself, false, LOG_SKIPPED,
     ReportDetail::ArchiveExists},
    {"-O: its own archive", "a.txt", true, anArchiveOfItself, true, 0, ReportDetail::None},
    {"-O: another file's archive", "a.txt", true, anArchiveOfAnother, false, LOG_OTHER_ARCHIVE,
     ReportDetail::OtherEntries},
    {"-O: no archive at all", "a.txt", true, plainText, false, LOG_OTHER_ARCHIVE,
     ReportDetail::NotAZip},
    {"-O: one this run made", "a.txt", true, oneMadeThisRun, false, LOG_SKIPPED,
     ReportDetail::MadeThisRun},
    {"-O: the source itself", "a.txt", true, aHardLink, false, LOG_OPEN_FAILED,
     ReportDetail::SameFile},
    {"-O: the run's own output", "a.txt", true, theRunsOutput, false, LOG_SKIPPED,
     ReportDetail::OwnOutput},
    {"a folder", "a.txt", false, aFolder, false, LOG_OPEN_FAILED, ReportDetail::None},
    {"-O: a FIFO", "a.txt", true, aFifo, false, LOG_OPEN_FAILED, ReportDetail::None},
};

TEST(Decision, OneLookAtTheArchiveNameDecides) {
  for (const Row& row : kRows) {
    SCOPED_TRACE(row.what);
    TestFolder folder;
    writeFile("a.txt", "the data");
    writeFile("a.ZiP", "an archive by its name");
    BatchRun run;
    ASSERT_TRUE(openWorkDir(run));
    row.setUp(run);
    run.options.overwriteArchives = row.overwrite;
    SearchEntry entry;
    entry.name = row.source;
    ExistingArchive existing;
    FileOutcome outcome;
    const Folders folders{run.workDir.get(), run.workDir.get()};
    EXPECT_EQ(decide(run, folders, entry, archiveNameOf(row.source), existing, outcome),
              row.packed);
    if (row.packed) {
      EXPECT_TRUE(outcome.reports.empty());
      continue;
    }
    ASSERT_EQ(outcome.reports.size(), 1u);
    EXPECT_EQ(outcome.reports[0].code, row.code);
    EXPECT_EQ(outcome.reports[0].detail, row.detail);
  }
}

}  // namespace
