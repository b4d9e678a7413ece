#include "driver/archive.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "archive_reader.h"
#include "core/naming.h"
#include "core/run_data.h"
#include "driver/dir_search.h"
#include "driver/temp_archive.h"
#include "driver/verify.h"
#include "driver/worker_pool.h"
#include "driver/zip_entry.h"
#include "test_folder.h"

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
    ASSERT_TRUE(openWorkDir(run_));
    packer_.progress = [this](std::uint64_t position, std::uint64_t size) {
      progress_.push_back({position, size});
      if (duringRead_) std::exchange(duringRead_, nullptr)();
    };
  }

  RunOptions& options() { return run_.options; }

  // Packs every file the mask finds, as the next files of the run; every report goes to log_.
  void archive(const std::string& mask) {
    startSearch(search_, run_.workDir.get(), mask);
    SearchEntry entry;
    while (nextSearchEntry(search_, entry)) {
      ++fileCount_;
      last_ = archiveOneFile(run_, packer_, entry);
      for (const FileReport& report : last_.reports) {
        log_.push_back(std::to_string(report.code) + " " + std::to_string(fileCount_) + " " +
                       entry.name);
      }
    }
  }

  // The folder's names, hidden ones included: a temporary file left behind shows here.
  static std::vector<std::string> listing() {
    std::vector<std::string> names;
    for (const auto& item : std::filesystem::directory_iterator(".")) {
      names.push_back(item.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
  }

  // The archive holds exactly one entry of that name and data.
  static void expectSingleEntry(const std::string& archive, const std::string& name,
                                const std::string& data) {
    const auto entries = readArchive(archive);
    ASSERT_TRUE(entries.has_value()) << archive << " is no readable archive";
    ASSERT_EQ(entries->size(), 1u);
    EXPECT_EQ(entries->front().name, name);
    // Compared whole without printing megabytes when they differ.
    EXPECT_EQ(entries->front().data.size(), data.size());
    EXPECT_TRUE(entries->front().data == data) << archive << " holds other data";
    // And as a strict reader sees it: the lenient one above reads an unfinished stream too.
    const int method = entries->front().method;
    const uLong crc =
        crc32(0, reinterpret_cast<const Bytef*>(data.data()), static_cast<uInt>(data.size()));
    ArchiveReader reader;
    EXPECT_EQ(reader.verify(AT_FDCWD, archive, std::filesystem::file_size(archive),
                            {name, method, data.size(), crc}),
              0)
        << archive;
  }

  TestFolder folder_;
  BatchRun run_;
  Packer packer_;
  DirectorySearch search_;
  int fileCount_ = 0;
  FileOutcome last_;
  Log log_;
  std::vector<std::pair<std::uint64_t, std::uint64_t>> progress_;
  // Runs once, after the first block of the next file has been read: a second process at work.
  std::function<void()> duringRead_;
};

TEST_F(ArchiveOneFile, PacksTheFileIntoAnArchiveOfItsOwn) {
  const std::string data = textBytes(40000);
  writeFile("report.txt", data);
  archive("report.txt");
  expectSingleEntry("report.zip", "report.txt", data);
  EXPECT_EQ(log_, Log{});
  EXPECT_TRUE(last_.zipped());
  EXPECT_EQ(last_.bytesRead, 40000u);
  EXPECT_EQ(progress_.back(), std::make_pair(std::uint64_t{40000}, std::uint64_t{40000}));
  // No temporary file is left beside it, and the source stays without -D.
  EXPECT_EQ(listing(), (std::vector<std::string>{"report.txt", "report.zip"}));
}

TEST_F(ArchiveOneFile, EmptyAndOneBlockFiles) {
  writeFile("empty.txt", "");
  archive("empty.txt");
  expectSingleEntry("empty.zip", "empty.txt", "");
  EXPECT_TRUE(progress_.empty());  // no block, no progress

  const std::string block = randomBytes(readBlockSize);
  writeFile("block.bin", block);
  archive("block.bin");
  expectSingleEntry("block.zip", "block.bin", block);
  ASSERT_EQ(progress_.size(), 1u);
  EXPECT_EQ(log_, Log{});
}

TEST_F(ArchiveOneFile, ZipFilesAreSkippedInAnyCaseEvenWithOverwrite) {
  options().overwriteArchives = true;
  options().deleteAfterZipping = true;
  for (const char* name : {"DATA.ZIP", "data.zip", "Data.Zip"}) writeFile(name, "not packed");
  archive("DATA.ZIP");
  archive("data.zip");
  archive("Data.Zip");
  EXPECT_EQ(log_, (Log{"0 1 DATA.ZIP", "0 2 data.zip", "0 3 Data.Zip"}));
  for (const char* name : {"DATA.ZIP", "data.zip", "Data.Zip"})
    EXPECT_EQ(readFile(name), "not packed");
}

TEST_F(ArchiveOneFile, OverwriteReplacesOnlyAnArchiveOfThisSameFile) {
  writeFile("a.txt", "old data");
  archive("a.txt");
  const std::string older = readFile("a.zip");
  writeFile("a.txt", "new data");
  archive("a.txt");
  EXPECT_EQ(log_, Log{"0 2 a.txt"});
  EXPECT_EQ(readFile("a.zip"), older);

  // Replaced by a rename: another name of the old archive keeps the old bytes.
  ASSERT_EQ(link("a.zip", "other-name.zip"), 0);
  options().overwriteArchives = true;
  run_.createdArchives.clear();  // as a later run
  archive("a.txt");
  EXPECT_EQ(log_, Log{"0 2 a.txt"});
  expectSingleEntry("a.zip", "a.txt", "new data");
  EXPECT_EQ(readFile("other-name.zip"), older);

  // Anything else at the name may be another file's only copy: kept, the file skipped.
  writeFile("b.log", "b's own data");
  writeFile("b.txt", "another file of that base name");
  writeFile("c.txt", "c");
  writeFile("c.zip", "no archive at all");
  archive("b.log");
  run_.createdArchives.clear();
  archive("b.txt");
  archive("c.txt");
  EXPECT_EQ(log_, (Log{"0 2 a.txt", "8 5 b.txt", "8 6 c.txt"}));
  expectSingleEntry("b.zip", "b.log", "b's own data");
  EXPECT_EQ(readFile("c.zip"), "no archive at all");
}

TEST_F(ArchiveOneFile, AnArchiveThisRunMadeIsNeverOverwritten) {
  options().overwriteArchives = true;
  options().deleteAfterZipping = true;
  writeFile("a.doc", "first");
  writeFile("a.txt", "second");
  writeFile("a", "third");
  archive("a*");
  EXPECT_EQ(log_, (Log{"0 2 a.doc", "0 3 a.txt"}));
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

  archive("dir.txt");  // a folder is no existing archive, and no archive can be made there
  options().overwriteArchives = true;
  archive("fifo.txt");
  archive("null.txt");
  EXPECT_EQ(log_, (Log{"1 1 dir.txt", "1 2 fifo.txt", "1 3 null.txt"}));
  struct stat status;
  ASSERT_EQ(lstat("dir.zip", &status), 0);
  EXPECT_TRUE(S_ISDIR(status.st_mode));
  ASSERT_EQ(lstat("fifo.zip", &status), 0);
  EXPECT_TRUE(S_ISFIFO(status.st_mode));
  ASSERT_EQ(lstat("null.zip", &status), 0);
  EXPECT_TRUE(S_ISLNK(status.st_mode));
  for (const char* source : {"dir.txt", "fifo.txt", "null.txt"}) EXPECT_TRUE(exists(source));

  // Without -O whatever stands there counts as an existing archive, and nothing is opened.
  options().overwriteArchives = false;
  archive("fifo.txt");
  EXPECT_EQ(log_.back(), "0 4 fifo.txt");
}

TEST_F(ArchiveOneFile, TheArchiveNameNamingTheSourceIsRefused) {
  options().overwriteArchives = true;
  options().deleteAfterZipping = true;
  const std::string data = textBytes(5000);
  writeFile("data.txt", data);
  ASSERT_EQ(link("data.txt", "data.zip"), 0);  // one file, two names
  writeFile("real.zip", data);
  ASSERT_EQ(symlink("real.zip", "real.txt"), 0);  // the source is a link to the archive name
  archive("data.txt");
  archive("real.txt");
  EXPECT_EQ(log_, (Log{"1 1 data.txt", "1 2 real.txt"}));
  EXPECT_EQ(readFile("data.txt"), data);
  EXPECT_EQ(readFile("real.zip"), data);
  EXPECT_TRUE(exists("real.txt"));
  EXPECT_EQ(listing(), (std::vector<std::string>{"data.txt", "data.zip", "real.txt", "real.zip"}));
}

TEST_F(ArchiveOneFile, ASourceGoneOrReplacedAfterTheSearchLeavesNothing) {
  options().deleteAfterZipping = true;
  writeFile("gone.txt", "soon gone");
  writeFile("fifo.txt", "soon a FIFO");
  startSearch(search_, run_.workDir.get(), "*.txt");
  SearchEntry gone, fifo;
  ASSERT_TRUE(nextSearchEntry(search_, fifo));
  ASSERT_TRUE(nextSearchEntry(search_, gone));
  ASSERT_EQ(unlink("gone.txt"), 0);
  ASSERT_EQ(unlink("fifo.txt"), 0);
  ASSERT_EQ(mkfifo("fifo.txt", 0644), 0);  // opening it to read would block for ever
  for (const SearchEntry* entry : {&gone, &fifo}) {
    const FileOutcome outcome = archiveOneFile(run_, packer_, *entry);
    ASSERT_EQ(outcome.reports.size(), 1u);
    EXPECT_EQ(outcome.reports[0].code, LOG_ADD_FAILED);
    EXPECT_FALSE(outcome.notAFile);
  }
  EXPECT_EQ(listing(), std::vector<std::string>{"fifo.txt"});

  // Not looked at by the search, whose listing showed regular files: opening them is the look,
  // which finds no file, as the search's own look would have, and nothing to report.
  writeFile("gone.txt", "soon gone");
  ASSERT_EQ(unlink("fifo.txt"), 0);
  writeFile("fifo.txt", "soon a FIFO");
  search_.openToLook = true;
  startSearch(search_, run_.workDir.get(), "*.txt");
  ASSERT_TRUE(nextSearchEntry(search_, fifo));
  ASSERT_TRUE(nextSearchEntry(search_, gone));
  ASSERT_EQ(unlink("gone.txt"), 0);
  ASSERT_EQ(unlink("fifo.txt"), 0);
  ASSERT_EQ(mkfifo("fifo.txt", 0644), 0);
  for (const SearchEntry* entry : {&gone, &fifo}) {
    EXPECT_FALSE(entry->looked);
    const FileOutcome outcome = archiveOneFile(run_, packer_, *entry);
    EXPECT_TRUE(outcome.reports.empty());
    EXPECT_TRUE(outcome.notAFile);
  }
  EXPECT_EQ(listing(), std::vector<std::string>{"fifo.txt"});
}

TEST_F(ArchiveOneFile, AReadErrorIsReportedAndNothingKeptButTheSource) {
  options().deleteAfterZipping = true;
  // Reading a process's memory from offset 0 fails for real (nothing is mapped there).
  ASSERT_EQ(symlink("/proc/self/mem", "mem.txt"), 0);
  archive("mem.txt");
  EXPECT_EQ(log_, Log{"3 1 mem.txt"});
  EXPECT_EQ(last_.reports[0].error, EIO);
  EXPECT_EQ(listing(), std::vector<std::string>{"mem.txt"});
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

TEST_F(ArchiveOneFile, FailingWritesAndClosesLeaveTheOlderArchiveAndTheSource) {
  options().deleteAfterZipping = true;
  options().overwriteArchives = true;
  options().compressionLevel = 0;
  const std::string data = randomBytes(300000);
  writeFile("big.bin", "an older version");
  archive("big.bin");
  const std::string older = readFile("big.zip");
  writeFile("big.bin", data);
  writeFile("small.txt", textBytes(1000));
  run_.createdArchives.clear();
  {
    FileSizeLimit limit(100000);
    archive("big.bin");
  }
  EXPECT_EQ(log_, (Log{"4 2 big.bin", "5 2 big.bin"}));
  EXPECT_EQ(last_.reports[0].error, EFBIG);
  {
    FileSizeLimit limit(20);
    archive("small.txt");
  }
  ASSERT_GE(log_.size(), 3u);
  for (std::size_t i = 2; i < log_.size(); ++i) EXPECT_EQ(log_[i], "5 3 small.txt");
  EXPECT_EQ(readFile("big.bin"), data);
  EXPECT_EQ(readFile("small.txt"), textBytes(1000));
  EXPECT_EQ(readFile("big.zip"), older);
  EXPECT_EQ(listing(), (std::vector<std::string>{"big.bin", "big.zip", "small.txt"}));
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
  EXPECT_EQ(log_, Log{});
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

TEST_F(ArchiveOneFile, ASourceThatChangesWhileReadKeepsItsArchive) {
  // Past the size read whole: read block by block, and looked at again after the last.
  const std::string data = textBytes(kWholeFileLimit + 100000);
  writeFile("grows.log", data);
  duringRead_ = [] { std::ofstream("grows.log", std::ios::app) << "one more line\n"; };
  archive("grows.log");
  EXPECT_EQ(log_, Log{"6 1 grows.log"});
  EXPECT_TRUE(last_.committed);
  EXPECT_EQ(readFile("grows.log"), data + "one more line\n");
  // What was read is a complete archive: all of the data, the line written after the end of
  // the read or not, never a cut.
  auto entries = readArchive("grows.zip");
  ASSERT_TRUE(entries.has_value());
  EXPECT_EQ(entries->front().data.substr(0, data.size()), data);

  // Read whole in one call: grown between the open and the read, which finds more than the
  // size the file was opened with.
  const std::string small = textBytes(100000);
  writeFile("small.log", small);
  packer_.opened = [](std::uint64_t) {
    std::ofstream("small.log", std::ios::app) << "one more line\n";
  };
  archive("small.log");
  packer_.opened = nullptr;
  EXPECT_EQ(log_.back(), "6 2 small.log");
  entries = readArchive("small.zip");
  ASSERT_TRUE(entries.has_value());
  EXPECT_EQ(entries->front().data.substr(0, small.size()), small);

  // Rotated while read: the old file moves on, a new one takes its name; neither is deleted.
  // Read whole, it is looked at again all the same before a delete.
  options().deleteAfterZipping = true;
  writeFile("app.log", small);
  duringRead_ = [] {
    ASSERT_EQ(rename("app.log", "app.log.1"), 0);
    writeFile("app.log", "a new log");
  };
  archive("app.log");
  EXPECT_EQ(log_.back(), "6 3 app.log");
  EXPECT_EQ(readFile("app.log.1"), small);
  EXPECT_EQ(readFile("app.log"), "a new log");
  expectSingleEntry("app.zip", "app.log", small);
}

TEST_F(ArchiveOneFile, WithDeleteAFileAnotherProgramOpensIsInUseAndKeptWhole) {
  options().deleteAfterZipping = true;
  const std::string data = textBytes(100000);
  writeFile("live.log", data);
  // Opened by someone else while it is read: the lease breaks, nothing is committed.
  duringRead_ = [] { std::ofstream("live.log", std::ios::app) << "one more line\n"; };
  archive("live.log");
  EXPECT_EQ(log_, Log{"7 1 live.log"});
  EXPECT_FALSE(last_.committed);
  EXPECT_EQ(readFile("live.log"), data + "one more line\n");

  // Open before the run starts: no lease is granted, nothing is read.
  const int reader = open("live.log", O_RDONLY);
  ASSERT_GE(reader, 0);
  archive("live.log");
  close(reader);
  EXPECT_EQ(log_.back(), "7 2 live.log");
  EXPECT_EQ(listing(), std::vector<std::string>{"live.log"});
  archive("live.log");
  EXPECT_TRUE(last_.deleted);
}

TEST_F(ArchiveOneFile, AnArchiveMadeMeanwhileByAnotherRunIsKept) {
  options().deleteAfterZipping = true;
  writeFile("report.txt", textBytes(50000));
  duringRead_ = [] { writeFile("report.zip", "another run's archive"); };
  archive("report.txt");
  EXPECT_EQ(log_, Log{"0 1 report.txt"});
  EXPECT_EQ(readFile("report.zip"), "another run's archive");
  EXPECT_EQ(listing(), (std::vector<std::string>{"report.txt", "report.zip"}));
}

TEST_F(ArchiveOneFile, TheSignalPathRemovesTheTemporaryFileAndLetsNoOtherBeCreated) {
  writeFile("report.txt", textBytes(50000));
  writeFile("second.txt", textBytes(50000));
  // What a fatal signal does marks the process as dying for good: it runs in a child.
  const auto signalMidFile = [this] {
    std::vector<std::string> during;
    duringRead_ = [&] {
      during = listing();
      removeTempFiles();
    };
    archive("report.txt");
    archive("second.txt");
    const bool tempSeen = during.size() == 3 && during[0].rfind(".report.zip.", 0) == 0 &&
                          isTempArchiveName(during[0]);
    const bool nothingLeft = listing() == std::vector<std::string>{"report.txt", "second.txt"};
    const bool reported = log_ == Log{"1 1 report.txt", "1 2 second.txt"};
    std::_Exit(tempSeen && nothingLeft && reported ? 0 : 1);
  };
  EXPECT_EXIT(signalMidFile(), ::testing::ExitedWithCode(0), "");
}

TEST(Zip64, OpenedWhenDeflatesWorstCaseCanReachFourGiB) {
  // 4,294,967,295 bytes less zlib's growth bound for stored blocks and the headers' margin.
  const std::uint64_t limit = 0xFFFFFFFFu;
  std::uint64_t lowest = 0;
  for (std::uint64_t step = std::uint64_t{1} << 31; step > 0; step >>= 1) {
    if (!needsZip64(lowest + step, 10)) lowest += step;
  }
  const std::uint64_t firstNeeding = lowest + 1;
  EXPECT_TRUE(needsZip64(firstNeeding, 10));
  EXPECT_FALSE(needsZip64(firstNeeding - 1, 10));
  // Random data grows by 5 bytes per 16 KiB block: the bound must leave at least that room.
  const std::uint64_t growth = limit - firstNeeding;
  EXPECT_GE(growth, (limit / 16384 + 1) * 5);
  EXPECT_LT(growth, 2u << 20);  // and not much more: ordinary files keep their exact bytes
  // The file of the report: 4,294,367,295 random bytes.
  EXPECT_TRUE(needsZip64(4294367295u, 7));
  EXPECT_FALSE(needsZip64(4000000000u, 255));
  // A longer name leaves less room.
  EXPECT_TRUE(needsZip64(firstNeeding - 1, 200));
}

}  // namespace

namespace {

// Big files deflated in chunks by a pool of workers, read back and compared byte for byte.
class ChunkedDeflate : public ArchiveOneFile {
 protected:
  void SetUp() override {
    ArchiveOneFile::SetUp();
    packer_.chunks = &pool_;
  }

  WorkerPool pool_{run_, 2, true};
};

constexpr std::size_t kChunk = 256 << 10;
constexpr std::size_t kChunked = 4 << 20;

TEST_F(ChunkedDeflate, SizesAtChunkBoundariesJoinIntoOneStream) {
  const std::string text = textBytes(kChunked + 3 * kChunk + 1);
  for (const std::size_t size : {kChunked, kChunked + 1, kChunked + kChunk - 1, kChunked + kChunk,
                                 kChunked + 3 * kChunk + 1}) {
    SCOPED_TRACE(size);
    const std::string data = text.substr(0, size);
    const std::string name = "big" + std::to_string(size);
    writeFile(name + ".txt", data);
    archive(name + ".txt");
    EXPECT_TRUE(last_.zipped());
    expectSingleEntry(name + ".zip", name + ".txt", data);
    // Every chunk but the last ends with the empty stored block of its flush.
    const std::string packed = readFile(name + ".zip");
    std::size_t flushes = 0;
    for (std::size_t at = 0;
         (at = packed.find(std::string("\0\0\xFF\xFF", 4), at)) != std::string::npos; ++at) {
      ++flushes;
    }
    EXPECT_GE(flushes, (size - 1) / kChunk);
  }
}

TEST_F(ChunkedDeflate, IncompressibleDataAndEveryLevel) {
  const std::string noise = randomBytes(kChunked + kChunk / 2);
  writeFile("noise.bin", noise);
  const std::string text = textBytes(kChunked + 12345);
  writeFile("text.txt", text);
  for (const int level : {0, 1, 9, -1}) {
    SCOPED_TRACE(level);
    options().compressionLevel = level;
    run_.createdArchives.clear();  // each level as a run of its own
    options().overwriteArchives = true;
    archive("noise.bin");
    archive("text.txt");
    expectSingleEntry("noise.zip", "noise.bin", noise);
    expectSingleEntry("text.zip", "text.txt", text);
  }
  EXPECT_EQ(log_, Log{});
}

TEST_F(ChunkedDeflate, AFileThatGrowsOrShrinksWhileReadIsWholeAsFarAsItWasRead) {
  const std::string data = textBytes(kChunked + kChunk);
  writeFile("grows.log", data);
  duringRead_ = [] { std::ofstream("grows.log", std::ios::app) << std::string(70000, 'g'); };
  archive("grows.log");
  writeFile("shrinks.log", data);
  duringRead_ = [] { ASSERT_EQ(truncate("shrinks.log", 3 << 20), 0); };
  archive("shrinks.log");
  EXPECT_EQ(log_, (Log{"6 1 grows.log", "6 2 shrinks.log"}));
  const auto grown = readArchive("grows.zip");
  ASSERT_TRUE(grown.has_value());
  EXPECT_EQ(grown->front().data, readFile("grows.log").substr(0, grown->front().data.size()));
  EXPECT_GE(grown->front().data.size(), data.size());
  expectSingleEntry("shrinks.zip", "shrinks.log", readFile("shrinks.log"));
}

}  // namespace
