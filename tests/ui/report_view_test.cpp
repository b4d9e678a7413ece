#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <string>
#include <vector>

#include "core/run_view.h"
#include "core/text.h"
#include "ui/views.h"

namespace {

// A view writing into a pipe whose lines the test reads back.
class ReportTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(pipe2(fds_, O_CLOEXEC | O_NONBLOCK), 0); }
  void TearDown() override {
    close(fds_[0]);
    close(fds_[1]);
  }

  std::vector<std::string> lines() {
    std::string text;
    char buffer[4096];
    ssize_t got;
    while ((got = read(fds_[0], buffer, sizeof buffer)) > 0) text.append(buffer, got);
    std::vector<std::string> result;
    std::size_t start = 0;
    for (std::size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
      result.push_back(text.substr(start, end - start));
    }
    EXPECT_EQ(start, text.size()) << "every line ends with a line feed";
    return result;
  }

  static FileOutcome outcome(std::string archive, bool committed,
                             std::vector<FileReport> reports = {}, bool deleted = false) {
    FileOutcome result;
    result.archiveName = std::move(archive);
    result.committed = committed;
    result.deleted = deleted;
    for (const FileReport& report : reports)
      result.report(report.code, report.error, report.detail);
    return result;
  }

  // The same outcomes told to both views, as the run tells them.
  void tell(RunView& view) {
    RunOptions options;
    options.fileMask = "*";
    view.runStarted(options);
    RunTally tally;
    const auto finish = [&](int number, std::string_view name, const FileOutcome& result) {
      tally.add(result);
      view.fileFinished(number, name, result);
    };
    finish(1, "a.txt", outcome("a.zip", true, {}, true));
    finish(2, "a.log", outcome("a.zip", false, {{LOG_SKIPPED, 0, ReportDetail::MadeThisRun}}));
    finish(3, "b\nc.txt",
           outcome("b\nc.zip", false,
                   {{LOG_WRITE_FAILED, ENOSPC, ReportDetail::None},
                    {LOG_CLOSE_FAILED, ENOSPC, ReportDetail::None}}));
    finish(4, "grows.log",
           outcome("grows.zip", true, {{LOG_CHANGED_WHILE_READ, 0, ReportDetail::Changed}}));
    finish(5, "fifo.txt",
           outcome("fifo.zip", false, {{LOG_ADD_FAILED, 0, ReportDetail::NotRegular}}));
    view.folderFailed("locked/", EACCES);
    view.runEnded(tally);
  }

  int fds_[2];
};

TEST_F(ReportTest, OneLinePerFileThenTheSummary) {
  tell(*makeReportView(fds_[1], RunOptions{}));
  const std::vector<std::string> report = lines();
  ASSERT_EQ(report.size(), 8u);
  EXPECT_EQ(report[0], "zipped a.txt -> a.zip");
  EXPECT_EQ(report[1], "deleted a.txt");
  EXPECT_EQ(report[2], "skipped a.log (its archive name is one this run made)");
  // The first failure is the cause; what followed from it is not repeated.
  EXPECT_EQ(report[3], "failed b\\nc.txt: Error writing to file: No space left on device");
  EXPECT_EQ(report[4], "changed grows.log -> grows.zip (kept: the file changed while it was read)");
  EXPECT_EQ(report[5], "failed fifo.txt: Error adding file to ZIP: not a regular file");
  EXPECT_EQ(report[6], "failed locked/: Error reading folder: Permission denied");
  EXPECT_EQ(report[7].rfind("summary: 5 files, 1 zipped, 1 skipped, 3 failed, 1 deleted, ", 0), 0u)
      << report[7];
}

TEST_F(ReportTest, StandardErrorGetsTheFailuresOnly) {
  tell(*makeProblemView(fds_[1]));
  EXPECT_EQ(lines(), (std::vector<std::string>{
                         "vordex: b\\nc.txt: Error writing to file: No space left on device",
                         "vordex: grows.log: File changed while zipping: the file changed while "
                         "it was read",
                         "vordex: fifo.txt: Error adding file to ZIP: not a regular file",
                         "vordex: locked/: Error reading folder: Permission denied",
                     }));
}

TEST_F(ReportTest, NoFileMatchingTheMaskIsSaidOnALineOfItsOwn) {
  RunOptions options;
  options.fileMask = "*.log";
  const auto report = makeReportView(fds_[1], options);
  const auto problems = makeProblemView(fds_[1]);
  for (RunView* view : {report.get(), problems.get()}) {
    view->runStarted(options);
    view->runEnded(RunTally{});
  }
  const std::vector<std::string> got = lines();
  ASSERT_EQ(got.size(), 3u);
  EXPECT_EQ(got[0], "no file matches *.log");
  EXPECT_EQ(got[1].rfind("summary: 0 files, 0 zipped, ", 0), 0u) << got[1];
  EXPECT_EQ(got[2], "vordex: no file matches *.log");
}

TEST_F(ReportTest, ADryRunSaysWhatWouldBeDone) {
  RunOptions options;
  options.fileMask = "*";
  options.dryRun = true;
  const auto report = makeReportView(fds_[1], options);
  report->runStarted(options);
  FileOutcome packed = outcome("a.zip", true, {}, true);
  FileOutcome readOnly = outcome("r.zip", true);
  readOnly.keptBecause = ReportDetail::ReadOnly;
  FileOutcome skipped = outcome("o.zip", false, {{LOG_SKIPPED, 0, ReportDetail::ArchiveExists}});
  RunTally tally;
  for (const FileOutcome* told : {&packed, &readOnly, &skipped}) tally.add(*told);
  report->fileFinished(1, "a.txt", packed);
  report->fileFinished(2, "r.txt", readOnly);
  report->fileFinished(3, "o.txt", skipped);
  report->leftoverRemoved(".x.zip.abcdefgh");
  report->runEnded(tally);
  const std::vector<std::string> got = lines();
  ASSERT_EQ(got.size(), 7u);
  EXPECT_EQ(got[0], "would zip a.txt -> a.zip");
  EXPECT_EQ(got[1], "would delete a.txt");
  EXPECT_EQ(got[2], "would zip r.txt -> r.zip");
  EXPECT_EQ(got[3], "would keep r.txt (not deleted: the file is read-only)");
  EXPECT_EQ(got[4], "would skip o.txt (ZIP already exists)");
  EXPECT_EQ(got[5], "would remove .x.zip.abcdefgh (left over by an interrupted run)");
  EXPECT_EQ(got[6].rfind("summary: 3 files, 2 would be zipped, 1 would be skipped, 0 would fail, "
                         "1 would be deleted, ",
                         0),
            0u)
      << got[6];
}

TEST_F(ReportTest, OneFileIsOneFile) {
  RunTally tally;
  tally.add(outcome("a.zip", true));
  const auto report = makeReportView(fds_[1], RunOptions{});
  report->runStarted(RunOptions{});
  report->runEnded(tally);
  EXPECT_EQ(lines()[0].rfind("summary: 1 file, 1 zipped, ", 0), 0u);
}

// A reader that has gone (a closed pipe, as SIGPIPE is ignored) stops the report, not the run:
// the loss is told once, as a notice, and the view says so.
TEST_F(ReportTest, AWriteThatFailsIsToldOnceAndTheRestDropped) {
  signal(SIGPIPE, SIG_IGN);
  int errors[2];
  ASSERT_EQ(pipe2(errors, O_CLOEXEC | O_NONBLOCK), 0);
  const auto problems = makeProblemView(errors[1]);
  const auto report = makeReportView(fds_[1], RunOptions{}, problems.get());
  close(fds_[0]);
  fds_[0] = open("/dev/null", O_RDONLY | O_CLOEXEC);
  report->runStarted(RunOptions{});
  for (int i = 1; i <= 3; ++i) {
    report->fileFinished(i, "f.txt", outcome("f.zip", false, {{LOG_READ_FAILED, EIO}}));
  }
  report->runEnded(RunTally{});
  EXPECT_TRUE(report->outputLost());
  EXPECT_FALSE(problems->outputLost());
  problems->runEnded(RunTally{1});
  char text[512] = {};
  ASSERT_GT(read(errors[0], text, sizeof text - 1), 0);
  EXPECT_STREQ(text, "vordex: standard output: Broken pipe; the rest of the report is lost\n");
  close(errors[0]);
  close(errors[1]);
}

}  // namespace
