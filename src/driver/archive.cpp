#include "driver/archive.h"

#include <fcntl.h>
#include <limits.h>
#include <minizip/zip.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>

#include "console/console.h"
#include "console/glyphs.h"
#include "driver/run_state.h"
#include "ui/colour_text.h"
#include "ui/error_log.h"
#include "ui/main_screen.h"

namespace {

// From this size on an entry needs ZIP64: minizip 1.1 opened without it reports success but
// writes sizes that no reader can use.
constexpr std::uint64_t kZip64Size = 0xFFFFFFFFu;
// General-purpose bit 11: the entry's name is UTF-8.
constexpr uLong kUtf8NameFlag = 0x800;

// The archive in hand, for the fatal-signal path: the path is complete before the flag is set,
// and the flag is set from just before zipOpen until zipClose has returned.
char archiveInProgressPath[PATH_MAX];
volatile std::sig_atomic_t archiveInProgress = 0;

void beginArchiveInProgress(const std::string& path) {
  if (path.size() >= sizeof archiveInProgressPath) return;  // too long for open() as well
  std::memcpy(archiveInProgressPath, path.c_str(), path.size() + 1);
  std::atomic_signal_fence(std::memory_order_seq_cst);
  archiveInProgress = 1;
}

void endArchiveInProgress() {
  archiveInProgress = 0;
  std::atomic_signal_fence(std::memory_order_seq_cst);
}

bool createdThisRun(const struct stat& status) {
  for (const FileIdentity& created : batchRun.createdArchives) {
    if (created.device == status.st_dev && created.inode == status.st_ino) return true;
  }
  return false;
}

void rememberCreated(const std::string& path) {
  struct stat status;
  if (lstat(path.c_str(), &status) == 0) {
    batchRun.createdArchives.push_back(
        {static_cast<std::uint64_t>(status.st_dev), static_cast<std::uint64_t>(status.st_ino)});
  }
}

void fillFileInfo(zip_fileinfo& info, std::uint32_t dosTime) {
  info = zip_fileinfo{};
  info.dosDate = dosTime;
  // minizip takes dosDate whenever it is not zero; the broken-down copy only keeps the record
  // consistent.
  const std::uint32_t month = (dosTime >> 21) & 0x0F;
  info.tmz_date.tm_sec = (dosTime & 0x1F) * 2;
  info.tmz_date.tm_min = (dosTime >> 5) & 0x3F;
  info.tmz_date.tm_hour = (dosTime >> 11) & 0x1F;
  info.tmz_date.tm_mday = (dosTime >> 16) & 0x1F;
  info.tmz_date.tm_mon = month == 0 ? 0 : month - 1;
  info.tmz_date.tm_year = ((dosTime >> 25) & 0x7F) + 1980;
}

// The plain call for ASCII names and small files keeps the archive byte for byte what it has
// always been; only the UTF-8 flag and ZIP64 take the longer forms with the same defaults.
int openEntry(zipFile archive, const char* name, const zip_fileinfo& info, int method, int level,
              bool zip64, bool utf8) {
  if (!utf8 && !zip64) {
    return zipOpenNewFileInZip(archive, name, &info, nullptr, 0, nullptr, 0, nullptr, method,
                               level);
  }
  if (!utf8) {
    return zipOpenNewFileInZip64(archive, name, &info, nullptr, 0, nullptr, 0, nullptr, method,
                                 level, 1);
  }
  if (!zip64) {
    return zipOpenNewFileInZip4(archive, name, &info, nullptr, 0, nullptr, 0, nullptr, method,
                                level, 0, -MAX_WBITS, DEF_MEM_LEVEL, Z_DEFAULT_STRATEGY, nullptr, 0,
                                0, kUtf8NameFlag);
  }
  return zipOpenNewFileInZip4_64(archive, name, &info, nullptr, 0, nullptr, 0, nullptr, method,
                                 level, 0, -MAX_WBITS, DEF_MEM_LEVEL, Z_DEFAULT_STRATEGY, nullptr,
                                 0, 0, kUtf8NameFlag, 1);
}

// Fills buffer up to readBlockSize bytes or the end of the file. A short block is the end of
// the file, unless failed is set: then a read failed after the bytes delivered.
int fillBlock(int source, unsigned char* buffer, bool& atEnd, bool& failed) {
  int filled = 0;
  while (filled < readBlockSize && !atEnd) {
    const ssize_t got =
        read(source, buffer + filled, static_cast<std::size_t>(readBlockSize - filled));
    if (got > 0) {
      filled += static_cast<int>(got);
    } else if (got == 0) {
      atEnd = true;  // no need to ask again: the next block is the empty read that ends the file
    } else if (errno != EINTR) {
      failed = true;
      break;
    }
  }
  return filled;
}

std::uint64_t currentSize(int source) {
  struct stat status;
  return fstat(source, &status) == 0 ? static_cast<std::uint64_t>(status.st_size) : 0;
}

// Reads the source into the open entry block by block and returns fileResult: 0 when it was
// read to its end and every block written. ownerMayWrite is only looked up for -D.
int copySource(zipFile archive, const SearchEntry& entry, bool zip64, bool& ownerMayWrite) {
  const int source = open(entry.path.c_str(), O_RDONLY | O_CLOEXEC);
  if (source < 0) {
    addLogEntry(LOG_ADD_FAILED);
    return -1;
  }
  if (runState.options.deleteAfterZipping) {
    // On Linux unlink ignores the file's own mode; a file its owner may not write stands for
    // one the user wants kept, as a read-only file is kept where erasing it fails.
    struct stat sourceStatus;
    ownerMayWrite = fstat(source, &sourceStatus) == 0 && (sourceStatus.st_mode & S_IWUSR);
  }
  unsigned char* const readBuffer = batchRun.readBuffer;
  std::uint64_t position = 0;
  bool atEnd = false;
  int fileResult;
  int bytesRead;
  do {
    bool readFailed = false;
    bytesRead = fillBlock(source, readBuffer, atEnd, readFailed);
    if (readFailed) addLogEntry(LOG_READ_FAILED);
    int written = 0;
    if (bytesRead > 0) {
      position += static_cast<std::uint64_t>(bytesRead);
      // The size the search saw moments ago serves until the file proves to have grown; only
      // then is it asked afresh (a call per block on ten thousand small files is not free).
      drawProgress(position, position <= entry.size ? entry.size : currentSize(source));
      if (!zip64 && position >= kZip64Size) {
        written = -1;  // grew past what an entry without ZIP64 can describe
      } else {
        written = zipWriteInFileInZip(archive, readBuffer, static_cast<unsigned>(bytesRead));
      }
      if (written < 0) addLogEntry(LOG_WRITE_FAILED);
    }
    // A read error fails the file even when the block read with it was written.
    fileResult = readFailed ? -1 : written;
  } while (fileResult == 0 && bytesRead > 0);
  close(source);
  return fileResult;
}

// The archive and the folder entry naming it on disk, before -D removes the only other copy.
// A file system that cannot sync at all (EINVAL) is taken as it is; any other failure means
// the archive may not survive a crash, and the source is kept.
bool syncToDisk(const std::string& path, int extraFlags) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | extraFlags);
  if (fd < 0) return false;
  const bool synced = fsync(fd) == 0 || errno == EINVAL;
  close(fd);
  return synced;
}

bool flushArchive(const std::string& archivePath) {
  return syncToDisk(archivePath, 0) && syncToDisk(batchRun.workDir, O_DIRECTORY);
}

}  // namespace

void splitName(std::string_view name, std::string& baseName, std::string& extension) {
  const std::size_t dot = name.rfind('.');
  if (dot == std::string_view::npos) {
    baseName.assign(name);
    extension.clear();
  } else {
    baseName.assign(name.substr(0, dot));
    extension.assign(name.substr(dot));
  }
}

bool needsUtf8Flag(std::string_view name) {
  bool nonAscii = false;
  std::size_t i = 0;
  while (i < name.size()) {
    if (static_cast<unsigned char>(name[i]) < 0x80) {
      ++i;
      continue;
    }
    char32_t codePoint;
    const int length = utf8SequenceLength(name, i, &codePoint);
    if (length == 0) return false;
    nonAscii = true;
    i += static_cast<std::size_t>(length);
  }
  return nonAscii;
}

bool fileExists(const std::string& name) {
  const int fd = open(name.c_str(), O_RDWR | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return false;
  close(fd);
  return true;
}

void eraseFile(const std::string& name) {
  unlink(name.c_str());
}

void removeArchiveInProgress() {
  if (archiveInProgress) unlink(archiveInProgressPath);
}

void archiveOneFile(const SearchEntry& entry) {
  const RunOptions& options = runState.options;
  splitName(entry.name, runState.baseName, runState.extension);
  bool skipFile = false;
  int fileResult = 0;

  static std::string archivePath;  // kept between files for its storage only
  archivePath.assign(batchRun.workDir).append(runState.baseName).append(".zip");
  if (upperCase(runState.extension) == ".ZIP") skipFile = true;

  // One look at the archive path serves three rules: what this run made is never overwritten,
  // an existing archive is kept without -O, and only a regular file is ever written to.
  struct stat archiveStatus;
  const bool archivePresent = lstat(archivePath.c_str(), &archiveStatus) == 0;
  if (archivePresent && !skipFile) {
    if (S_ISREG(archiveStatus.st_mode) && createdThisRun(archiveStatus)) {
      skipFile = true;
    } else if (!options.overwriteArchives && fileExists(archivePath)) {
      skipFile = true;
    }
  }

  writeStatusLine("|07- |15ZIPPING|07: |15 ", entry.name, false);
  if (skipFile) {
    addLogEntry(LOG_SKIPPED);
    return;
  }
  // A folder, FIFO, device or link there is left alone: a FIFO would block the run for ever,
  // and a link to /dev/null would swallow the data and let -D delete the source.
  if (archivePresent && !S_ISREG(archiveStatus.st_mode)) {
    addLogEntry(LOG_OPEN_FAILED);
    return;
  }

  beginArchiveInProgress(archivePath);
  zipFile archive = zipOpen(archivePath.c_str(), APPEND_STATUS_CREATE);
  if (archive == nullptr) {
    endArchiveInProgress();
    addLogEntry(LOG_OPEN_FAILED);
    return;
  }
  if (entry.sharesArchive) rememberCreated(archivePath);

  zip_fileinfo fileInfo;
  fillFileInfo(fileInfo, entry.time);
  const int level = options.compressionLevel;
  const bool zip64 = entry.size >= kZip64Size;
  bool ownerMayWrite = false;
  fileResult = openEntry(archive, entry.name.c_str(), fileInfo, level == 0 ? 0 : Z_DEFLATED, level,
                         zip64, needsUtf8Flag(entry.name));
  if (fileResult != 0) {
    addLogEntry(LOG_ADD_FAILED);
  } else {
    fileResult = copySource(archive, entry, zip64, ownerMayWrite);
  }
  if (fileResult == 0) {
    fileResult = zipCloseFileInZip(archive);
    if (fileResult != 0) addLogEntry(LOG_CLOSE_FAILED);
  }
  const int closeResult = zipClose(archive, nullptr);
  endArchiveInProgress();
  if (closeResult != 0) {
    addLogEntry(LOG_CLOSE_FAILED);
    return;
  }
  if (fileResult != 0) return;

  const bool eraseSource = options.deleteAfterZipping && ownerMayWrite;
  if (eraseSource && !flushArchive(archivePath)) {
    addLogEntry(LOG_CLOSE_FAILED);
    return;
  }
  moveCursor(1, cursorRow());
  writeStatusLine("|08√ |07ZIPPED |08: |07 ", entry.name, true);
  if (eraseSource) eraseFile(entry.path);
}
