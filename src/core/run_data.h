#pragma once
// The run's vocabulary: its settings, what became of one file, the figures of the run and the
// log's codes and messages. Plain data, shared by the driver that runs the batch and the
// interface that shows it.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

struct RunOptions {
  std::string fileMask;       // parameter 1, as typed
  int compressionLevel = -1;  // -1: zlib's default level; 0: stored; 1-9: deflate level
  bool overwriteArchives = false;
  bool deleteAfterZipping = false;
  bool recursive = false;  // -R: every folder below the mask's folder too
  // 0: one thread, as without -T; kAllCores: one worker per online core (-T); else -Tn.
  int workers = 0;
  // --files-from / --files0-from: the file the names to pack are read from ("-": standard
  // input), each ended by listSeparator; empty: the mask says what is packed.
  std::string fileList;
  char listSeparator = '\n';
  std::string outputDir;              // --output-dir: every archive goes below it
  std::vector<std::string> excludes;  // --exclude: names (or paths, with a '/') passed over
  std::int64_t olderThan = -1;        // --older-than, in seconds; -1: any age
  bool dryRun = false;                // -n: nothing created, replaced or deleted
  bool quiet = false;                 // -q: no report on standard output
  bool json = false;                  // --json: the report as JSON Lines
};

inline constexpr int kAllCores = -1;
inline constexpr int kMaxWorkers = 64;

// What the log says about a file.
inline constexpr std::uint8_t LOG_SKIPPED = 0;
inline constexpr std::uint8_t LOG_OPEN_FAILED = 1;
inline constexpr std::uint8_t LOG_ADD_FAILED = 2;
inline constexpr std::uint8_t LOG_READ_FAILED = 3;
inline constexpr std::uint8_t LOG_WRITE_FAILED = 4;
inline constexpr std::uint8_t LOG_CLOSE_FAILED = 5;
// The source changed while it was read (or its name came to name another file): its archive
// holds what was read and is kept, the source is never deleted.
inline constexpr std::uint8_t LOG_CHANGED_WHILE_READ = 6;
// Skipped under -D: another program has the source open, so the archive could not be the last
// word on it.
inline constexpr std::uint8_t LOG_IN_USE = 7;
// Skipped under -O: what stands at the archive name is not an archive of this file alone.
inline constexpr std::uint8_t LOG_OTHER_ARCHIVE = 8;
// Skipped: a symbolic link whose owner is neither its target's nor root.
inline constexpr std::uint8_t LOG_UNSAFE_LINK = 9;
// The archive read back did not give the source's data: nothing committed, nothing deleted.
inline constexpr std::uint8_t LOG_VERIFY_FAILED = 10;
// The archive stands, but the source could not be deleted.
inline constexpr std::uint8_t LOG_DELETE_FAILED = 11;
inline constexpr std::uint8_t kLogCodes = 12;

// Skips leave the file as it was for a reason of its own; every other code is a failure.
constexpr bool isSkip(std::uint8_t code) {
  return code == LOG_SKIPPED || code == LOG_IN_USE || code == LOG_OTHER_ARCHIVE ||
         code == LOG_UNSAFE_LINK;
}

// What a report says beyond its code and the system's reason.
enum class ReportDetail : std::uint8_t {
  None,
  ZipSource,        // skipped: the file is a ZIP archive itself
  ArchiveExists,    // skipped: its archive exists (from before, or made by another run meanwhile)
  MadeThisRun,      // skipped or refused: the archive name is one this run made
  SameFile,         // refused: the archive name names the source itself
  NotRegular,       // the source is not a regular file (any more)
  Changed,          // the source changed while it was read
  NameMoved,        // the source's name came to name another file before the delete
  OwnOutput,        // skipped: the file is where this run writes its report or its errors
  InUse,            // another program has the file open
  NotAZip,          // -O: what stands at the archive name is no ZIP archive
  OtherEntries,     // -O: the archive there holds another file, or several
  LinkOwner,        // the link's owner is neither its target's nor root
  BadArchive,       // the archive read back is not what was written
  ReadOnly,         // the source has no write bit for its owner: kept as one the user protects
  FolderNotSynced,  // the archive's folder could not be synced, so the delete was not risked
  WrittenBack,      // written to while it was deleted: its bytes were written back
};

struct FileReport {
  std::uint8_t code = LOG_SKIPPED;
  int error = 0;  // errno of the call that failed; 0 when none did
  ReportDetail detail = ReportDetail::None;
};

// What became of one file. A failure followed by a failing close gives two reports.
struct FileOutcome {
  std::vector<FileReport> reports;
  // The name the search did not look at was gone, or no regular file, by the time it was
  // opened: no file of the run, as if the search had passed it over.
  bool notAFile = false;
  bool committed = false;  // a complete archive stands at the archive name
  bool deleted = false;    // the source was removed (-D)
  // -D with a committed archive and no failure: why the source was kept all the same.
  ReportDetail keptBecause = ReportDetail::None;
  std::uint64_t bytesRead = 0;
  std::uint64_t archiveSize = 0;
  std::string archiveName;  // in the working folder

  void report(std::uint8_t code, int error = 0, ReportDetail detail = ReportDetail::None) {
    reports.push_back({code, error, detail});
  }
  // The first report that is no skip, or null.
  const FileReport* firstFailure() const {
    for (const FileReport& each : reports) {
      if (!isSkip(each.code)) return &each;
    }
    return nullptr;
  }
  bool failed() const { return firstFailure() != nullptr; }
  bool zipped() const { return committed && reports.empty(); }
};

// A run's figures, gathered from the outcomes in the order of the run.
struct RunTally {
  int files = 0;  // files met, skipped and failed ones included
  int zipped = 0;
  int skipped = 0;
  int failed = 0;
  int deleted = 0;
  std::uint64_t bytesIn = 0;   // read from the sources of committed archives
  std::uint64_t bytesOut = 0;  // written into committed archives

  void add(const FileOutcome& outcome) {
    ++files;
    if (outcome.failed()) {
      ++failed;
    } else if (!outcome.reports.empty()) {
      ++skipped;
    } else if (outcome.committed) {
      ++zipped;
    }
    if (outcome.deleted) ++deleted;
    if (outcome.committed) {
      bytesIn += outcome.bytesRead;
      bytesOut += outcome.archiveSize;
    }
  }
};

// One report of the run as the log keeps it.
struct LogEntry {
  std::uint16_t fileNumber;  // low 16 bits of the file's number in the run
  std::string fileName;      // as shown: the path from the starting folder
  std::uint8_t code;         // LOG_SKIPPED ... LOG_DELETE_FAILED
};

// The message of a log code ("Skipped: ZIP already exists"), at most 27 characters.
std::string_view logMessageText(std::uint8_t code);

// Exit codes, as the README and the man page list them.
inline constexpr int kExitSuccess = 0;
inline constexpr int kExitOutOfMemory = 1;
inline constexpr int kExitFailed = 2;   // a file failed, or the report could not be written
inline constexpr int kExitRefused = 3;  // the command line was refused; nothing was touched
