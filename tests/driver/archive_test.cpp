#include "driver/archive.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <random>
#include <string>
#include <vector>

#include "archive_reader.h"
#include "console/memory_console.h"
#include "driver/dir_search.h"
#include "driver/run_state.h"
#include "test_folder.h"
#include "ui/error_log.h"
#include "ui/main_screen.h"

namespace {

using Log = std::vector<std::string>;

std::string randomBytes(std::size_t count) {
  std::mt19937 random(count);
  std::string bytes(count, '\0');
  for (char& byte : bytes) byte = static_cast<char>(random());
  return bytes;
}

std::string textBytes(std::size_t count) {
  std::string text;
  while (text.size() < count) text += "the quick brown fox jumps over the lazy dog 0123456789\n";
  text.resize(count);
  return text;
}

class ArchiveOneFile : public ::testing::Test {
 protected:
  void SetUp() override {
    openMemoryConsole();
    releaseErrorLog();
    runState = RunState{};
    batchRun = BatchRun{};
    batchRun.workDir = folder_.slashed();
    batchRun.readBuffer = buffer_.data();
    drawMainScreen();
  }
  void TearDown() override {
    releaseErrorLog();
    batchRun = BatchRun{};
  }

  RunOptions& options() { return runState.options; }

  // Packs every file the mask finds, as the next files of the run.
  void archive(const std::string& mask) {
    DirectorySearch search;
    startSearch(search, mask);
    SearchEntry entry;
    while (nextSearchEntry(search, entry)) {
      ++runState.fileCount;
      clearProgress();
      archiveOneFile(entry);
    }
  }

  // The log as "code number name" lines.
  static Log log() {
    Log lines;
    for (int i = 1; const LogEntry* entry = logEntry(i); ++i) {
      lines.push_back(std::to_string(entry->code) + " " + std::to_string(entry->fileNumber) + " " +
                      entry->fileName);
    }
    return lines;
  }

  // The archive holds exactly one entry of that name and data.
  static void expectSingleEntry(const std::string& archive, const std::string& name,
                                const std::string& data) {
    const auto entries = readArchive(archive);
    ASSERT_TRUE(entries.has_value()) << archive << " is no readable archive";
    ASSERT_EQ(entries->size(), 1u);
    EXPECT_EQ(entries->front().name, name);
    EXPECT_EQ(entries->front().data, data);
  }

  TestFolder folder_;
  std::vector<unsigned char> buffer_ = std::vector<unsigned char>(readBlockSize);
};

TEST(NameSplit, SplitsAtTheLastDotOnly) {
  std::string base, extension;
  const auto split = [&](std::string_view name) {
    splitName(name, base, extension);
    return base + "|" + extension;
  };
  EXPECT_EQ(split("report.txt"), "report|.txt");
  EXPECT_EQ(split("a.tar.gz"), "a.tar|.gz");
  EXPECT_EQ(split("README"), "README|");
  EXPECT_EQ(split(".profile"), "|.profile");
  EXPECT_EQ(split("name."), "name|.");
  // ':' and '\' are ordinary characters in a Linux name.
  EXPECT_EQ(split("c:dir\\x.y"), "c:dir\\x|.y");
  EXPECT_EQ(split("v1.2\\notes"), "v1|.2\\notes");
}

TEST(Utf8Flag, OnlyForNonAsciiNamesThatAreStrictlyValidUtf8) {
  EXPECT_FALSE(needsUtf8Flag("report.txt"));
  EXPECT_FALSE(needsUtf8Flag(""));
  EXPECT_TRUE(needsUtf8Flag("caf\xC3\xA9.txt"));       // é
  EXPECT_TRUE(needsUtf8Flag("\xE2\x82\xAC"));          // €
  EXPECT_TRUE(needsUtf8Flag("\xF0\x9F\x98\x80.png"));  // U+1F600
  EXPECT_TRUE(needsUtf8Flag("\xF4\x8F\xBF\xBF"));      // U+10FFFF
  EXPECT_FALSE(needsUtf8Flag("caf\xE9.txt"));          // Latin-1
  EXPECT_FALSE(needsUtf8Flag("\xC0\xAF"));             // overlong '/'
  EXPECT_FALSE(needsUtf8Flag("\xE0\x80\xAF"));         // overlong, three bytes
  EXPECT_FALSE(needsUtf8Flag("\xF0\x82\x82\xAC"));     // overlong, four bytes
  EXPECT_FALSE(needsUtf8Flag("\xED\xA0\x80"));         // surrogate D800
  EXPECT_FALSE(needsUtf8Flag("\xF4\x90\x80\x80"));     // above U+10FFFF
  EXPECT_FALSE(needsUtf8Flag("\xC3"));                 // cut short
  EXPECT_FALSE(needsUtf8Flag("\xE2\x82"));
  EXPECT_FALSE(needsUtf8Flag("\xA9"));          // a lone continuation byte
  EXPECT_FALSE(needsUtf8Flag("\xC3\xA9\xFF"));  // good, then a bad byte
}

TEST_F(ArchiveOneFile, PacksTheFileIntoAnArchiveOfItsOwn) {
  const std::string data = textBytes(40000);
  writeFile("report.txt", data);
  archive("report.txt");
  expectSingleEntry("report.zip", "report.txt", data);
  EXPECT_EQ(log(), Log{});
  EXPECT_EQ(runState.baseName, "report");
  EXPECT_EQ(runState.extension, ".txt");
  EXPECT_EQ(progressCells(), 10);
  EXPECT_NE(screenText(19).find("ZIPPED :  report.txt"), std::string::npos) << screenText(19);
  EXPECT_TRUE(exists("report.txt"));
  // Once zipClose has returned, the archive is no longer the signal path's business.
  removeArchiveInProgress();
  EXPECT_TRUE(exists("report.zip"));
}

TEST_F(ArchiveOneFile, EmptyAndOneBlockFiles) {
  writeFile("empty.txt", "");
  archive("empty.txt");
  expectSingleEntry("empty.zip", "empty.txt", "");
  EXPECT_EQ(progressCells(), 0);  // no block, no progress
  EXPECT_NE(screenText(16).find("░░░░░░░░░░"), std::string::npos) << screenText(16);

  const std::string block = randomBytes(readBlockSize);
  writeFile("block.bin", block);
  archive("block.bin");
  expectSingleEntry("block.zip", "block.bin", block);
  EXPECT_EQ(progressCells(), 10);
  EXPECT_EQ(log(), Log{});
}

TEST_F(ArchiveOneFile, ZipFilesAreSkippedInAnyCaseEvenWithOverwrite) {
  options().overwriteArchives = true;
  options().deleteAfterZipping = true;
  for (const char* name : {"DATA.ZIP", "data.zip", "Data.Zip"}) writeFile(name, "not packed");
  archive("DATA.ZIP");
  archive("data.zip");
  archive("Data.Zip");
  EXPECT_EQ(log(), (Log{"0 1 DATA.ZIP", "0 2 data.zip", "0 3 Data.Zip"}));
  for (const char* name : {"DATA.ZIP", "data.zip", "Data.Zip"})
    EXPECT_EQ(readFile(name), "not packed");
  EXPECT_NE(screenText(19).find("SKIPPED"), std::string::npos) << screenText(19);
}

TEST_F(ArchiveOneFile, AnExistingArchiveIsKeptWithoutOverwriteAndReplacedWithIt) {
  writeFile("a.txt", "new data");
  writeFile("a.zip", "an older archive");
  archive("a.txt");
  EXPECT_EQ(log(), Log{"0 1 a.txt"});
  EXPECT_EQ(readFile("a.zip"), "an older archive");

  options().overwriteArchives = true;
  archive("a.txt");
  EXPECT_EQ(log(), Log{"0 1 a.txt"});
  expectSingleEntry("a.zip", "a.txt", "new data");
}

TEST_F(ArchiveOneFile, AnArchiveThisRunMadeIsNeverOverwritten) {
  options().overwriteArchives = true;
  options().deleteAfterZipping = true;
  writeFile("a.doc", "first");
  writeFile("a.txt", "second");
  writeFile("a", "third");
  archive("a*");
  EXPECT_EQ(log(), (Log{"0 2 a.doc", "0 3 a.txt"}));
  expectSingleEntry("a.zip", "a", "third");
  EXPECT_FALSE(exists("a"));
  EXPECT_EQ(readFile("a.doc"), "first");
  EXPECT_EQ(readFile("a.txt"), "second");
}

TEST_F(ArchiveOneFile, SomethingOtherThanAFileAtTheArchivePathIsLeftAlone) {
  options().deleteAfterZipping = true;
  writeFile("dir.txt", "d");
  writeFile("fifo.txt", "f");
  writeFile("null.txt", "n");
  ASSERT_EQ(mkdir("dir.zip", 0755), 0);
  ASSERT_EQ(mkfifo("fifo.zip", 0644), 0);
  ASSERT_EQ(symlink("/dev/null", "null.zip"), 0);

  archive("dir.txt");  // a folder does not open for writing: not taken as an existing archive
  options().overwriteArchives = true;
  archive("fifo.txt");
  archive("null.txt");
  EXPECT_EQ(log(), (Log{"1 1 dir.txt", "1 2 fifo.txt", "1 3 null.txt"}));
  struct stat status;
  ASSERT_EQ(lstat("dir.zip", &status), 0);
  EXPECT_TRUE(S_ISDIR(status.st_mode));
  ASSERT_EQ(lstat("fifo.zip", &status), 0);
  EXPECT_TRUE(S_ISFIFO(status.st_mode));
  ASSERT_EQ(lstat("null.zip", &status), 0);
  EXPECT_TRUE(S_ISLNK(status.st_mode));
  for (const char* source : {"dir.txt", "fifo.txt", "null.txt"}) EXPECT_TRUE(exists(source));

  // Without -O a FIFO opens without blocking and counts as an existing archive.
  options().overwriteArchives = false;
  archive("fifo.txt");
  EXPECT_EQ(log().back(), "0 4 fifo.txt");
}

TEST_F(ArchiveOneFile, ASourceGoneAfterTheSearchLeavesAnEmptyEntry) {
  options().deleteAfterZipping = true;
  writeFile("gone.txt", "soon gone");
  DirectorySearch search;
  startSearch(search, "gone.txt");
  SearchEntry entry;
  ASSERT_TRUE(nextSearchEntry(search, entry));
  ASSERT_EQ(unlink("gone.txt"), 0);
  runState.fileCount = 7;
  archiveOneFile(entry);
  EXPECT_EQ(log(), Log{"2 7 gone.txt"});
  expectSingleEntry("gone.zip", "gone.txt", "");
}

TEST_F(ArchiveOneFile, AReadErrorIsReportedAndTheSourceKept) {
  options().deleteAfterZipping = true;
  // Reading a process's memory from offset 0 fails for real (nothing is mapped there).
  ASSERT_EQ(symlink("/proc/self/mem", "mem.txt"), 0);
  archive("mem.txt");
  EXPECT_EQ(log(), Log{"3 1 mem.txt"});
  expectSingleEntry("mem.zip", "mem.txt", "");
  struct stat status;
  ASSERT_EQ(lstat("mem.txt", &status), 0);
  EXPECT_TRUE(S_ISLNK(status.st_mode));
}

// A file-size limit makes minizip's writes fail for real. The signal the limit sends is
// ignored, as the program ignores it.
class FileSizeLimit {
 public:
  explicit FileSizeLimit(rlim_t bytes) {
    previousHandler_ = std::signal(SIGXFSZ, SIG_IGN);
    getrlimit(RLIMIT_FSIZE, &previous_);
    rlimit limit = previous_;
    limit.rlim_cur = bytes;
    setrlimit(RLIMIT_FSIZE, &limit);
  }
  ~FileSizeLimit() {
    setrlimit(RLIMIT_FSIZE, &previous_);
    std::signal(SIGXFSZ, previousHandler_);
  }
  FileSizeLimit(const FileSizeLimit&) = delete;
  FileSizeLimit& operator=(const FileSizeLimit&) = delete;

 private:
  rlimit previous_{};
  void (*previousHandler_)(int) = SIG_DFL;
};

TEST_F(ArchiveOneFile, AFailingWriteIsFollowedByAFailingClose) {
  options().deleteAfterZipping = true;
  options().compressionLevel = 0;
  const std::string data = randomBytes(300000);
  writeFile("big.bin", data);
  {
    FileSizeLimit limit(100000);
    archive("big.bin");
  }
  EXPECT_EQ(log(), (Log{"4 1 big.bin", "5 1 big.bin"}));
  EXPECT_EQ(readFile("big.bin"), data);
  struct stat status;
  ASSERT_EQ(stat("big.zip", &status), 0);
  EXPECT_LE(status.st_size, 100000);
  EXPECT_FALSE(readArchive("big.zip").has_value());
}

TEST_F(ArchiveOneFile, AFailingCloseIsReportedAndTheSourceKept) {
  options().deleteAfterZipping = true;
  writeFile("small.txt", textBytes(1000));
  {
    FileSizeLimit limit(20);
    archive("small.txt");
  }
  const Log entries = log();
  ASSERT_FALSE(entries.empty());
  for (const std::string& entry : entries) EXPECT_EQ(entry, "5 1 small.txt");
  EXPECT_EQ(readFile("small.txt"), textBytes(1000));
  EXPECT_FALSE(readArchive("small.zip").has_value());
}

TEST_F(ArchiveOneFile, DeleteRemovesOnlyWhatItMayAfterSuccess) {
  options().deleteAfterZipping = true;
  writeFile("plain.txt", "plain");
  writeFile("readonly.txt", "read-only");
  ASSERT_EQ(chmod("readonly.txt", 0444), 0);
  writeFile("target", "the target");
  ASSERT_EQ(symlink("target", "link.txt"), 0);
  ASSERT_EQ(mkdir("sub", 0755), 0);
  writeFile("sub/inner.txt", "inner");

  archive("plain.txt");
  archive("readonly.txt");
  archive("link.txt");
  archive("sub/inner.txt");
  EXPECT_EQ(log(), Log{});
  EXPECT_FALSE(exists("plain.txt"));
  EXPECT_TRUE(exists("readonly.txt"));          // kept, silently, as a read-only file is
  EXPECT_FALSE(exists("link.txt"));             // the link itself goes...
  EXPECT_EQ(readFile("target"), "the target");  // ...never its target
  EXPECT_FALSE(exists("sub/inner.txt"));
  expectSingleEntry("plain.zip", "plain.txt", "plain");
  expectSingleEntry("readonly.zip", "readonly.txt", "read-only");
  expectSingleEntry("link.zip", "link.txt", "the target");
  expectSingleEntry("inner.zip", "inner.txt", "inner");  // in the current folder, bare name
}

TEST(FileOperations, ExistsMeansOpensForReadingAndWriting) {
  TestFolder folder;
  writeFile("file", "x");
  ASSERT_EQ(mkdir("dir", 0755), 0);
  ASSERT_EQ(mkfifo("fifo", 0644), 0);
  EXPECT_TRUE(fileExists("file"));
  EXPECT_FALSE(fileExists("dir"));
  EXPECT_FALSE(fileExists("missing"));
  EXPECT_TRUE(fileExists("fifo"));  // and does not block on it
  eraseFile("file");
  EXPECT_FALSE(exists("file"));
  eraseFile("missing");  // no trace of the failure
}

}  // namespace
