#include "driver/archive.h"

#include <fcntl.h>
#include <limits.h>
#include <minizip/zip.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <deque>
#include <memory>
#include <optional>

#include "console/glyphs.h"
#include "driver/archive_stream.h"
#include "driver/temp_files.h"
#include "driver/worker_pool.h"
#include "ui/colour_text.h"

namespace {

// From this size on an entry needs ZIP64: minizip 1.1 opened without it reports success but
// writes sizes that no reader can use.
constexpr std::uint64_t kZip64Size = 0xFFFFFFFFu;
// General-purpose bit 11: the entry's name is UTF-8.
constexpr uLong kUtf8NameFlag = 0x800;

FileIdentity identityOf(const struct stat& status) {
  return {static_cast<std::uint64_t>(status.st_dev), static_cast<std::uint64_t>(status.st_ino)};
}

bool sameFile(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

bool sameTime(const timespec& a, const timespec& b) {
  return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

// What tar calls "file changed as we read it": its size, its data's time or its inode's time
// moved between the open and the last read (a rename or a new link moves the inode's time).
bool changedBetween(const struct stat& before, const struct stat& after) {
  return before.st_size != after.st_size || !sameTime(before.st_mtim, after.st_mtim) ||
         !sameTime(before.st_ctim, after.st_ctim);
}

// The source, held open from before its first read until it is deleted or kept, so that what
// is deleted can be checked to be what was read.
struct Source {
  Descriptor fd;
  struct stat opened {};
};

// Opens the source without blocking (a FIFO swapped in after the search would otherwise hang
// the run) and accepts only a regular file; false, with the report made, when it cannot.
bool openSource(int folder, const std::string& name, Source& source, FileOutcome& outcome) {
  source.fd.reset(openat(folder, name.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  if (!source.fd.valid() || fstat(source.fd.get(), &source.opened) != 0) {
    outcome.report(LOG_ADD_FAILED, errno);
    return false;
  }
  if (S_ISREG(source.opened.st_mode)) return true;
  if (S_ISDIR(source.opened.st_mode)) {
    outcome.report(LOG_ADD_FAILED, EISDIR);
  } else {
    outcome.report(LOG_ADD_FAILED, 0, ReportDetail::NotRegular);
  }
  return false;
}

// The temporary file an archive is written into. Removed when its owner goes, unless it was
// committed to the archive name first.
class TempArchive {
 public:
  // folder: where the archive goes.
  TempArchive(int folder, Packer& packer) : folder_(folder), packer_(packer) {}
  ~TempArchive() { remove(); }
  TempArchive(const TempArchive&) = delete;
  TempArchive& operator=(const TempArchive&) = delete;

  // Returns 0 or the errno of the failure.
  int create(std::string_view archiveName) {
    for (int attempt = 0; attempt < 16; ++attempt) {
      name_ = tempArchiveName(archiveName, packer_.random());
      // Recorded before it exists: a signal right after the create must find it.
      recordTempFile(packer_.tempSlot(), folder_, name_.c_str());
      fd_.reset(openat(folder_, name_.c_str(),
                       O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC, 0666));
      if (fd_.valid()) return 0;
      const int error = errno;
      forgetTempFile(packer_.tempSlot());
      if (error != EEXIST) return error;
    }
    return EEXIST;
  }

  int fd() const { return fd_.get(); }
  const std::string& name() const { return name_; }

  // Gives the file the archive name. Without replace an archive that appeared there meanwhile
  // is kept and EEXIST returned. Returns 0 or the errno of the failure.
  int commit(const std::string& archiveName, bool replace) {
    const int folder = folder_;
    const char* from = name_.c_str();
    const char* to = archiveName.c_str();
    int result;
    if (replace) {
      result = renameat(folder, from, folder, to);
    } else {
      result = renameat2(folder, from, folder, to, RENAME_NOREPLACE);
      if (result != 0 && (errno == EINVAL || errno == ENOSYS)) result = commitByLink(from, to);
    }
    if (result != 0) return errno;
    fd_.reset();
    forgetTempFile(packer_.tempSlot());
    name_.clear();
    return 0;
  }

  void remove() {
    fd_.reset();
    if (name_.empty()) return;
    unlinkat(folder_, name_.c_str(), 0);
    forgetTempFile(packer_.tempSlot());
    name_.clear();
  }

 private:
  // For file systems without RENAME_NOREPLACE: a hard link never replaces anything. Where
  // links are not supported either, a look before the rename is the best there is.
  int commitByLink(const char* from, const char* to) {
    const int folder = folder_;
    if (linkat(folder, from, folder, to, 0) == 0) {
      unlinkat(folder, from, 0);
      return 0;
    }
    if (errno != EPERM && errno != EOPNOTSUPP) return -1;
    struct stat existing;
    if (fstatat(folder, to, &existing, AT_SYMLINK_NOFOLLOW) == 0) {
      errno = EEXIST;
      return -1;
    }
    return renameat(folder, from, folder, to);
  }

  int folder_;
  Packer& packer_;
  Descriptor fd_;
  std::string name_;  // empty once committed or removed
};

// The open archive; closed through zipClose whatever happens.
class ZipHandle {
 public:
  explicit ZipHandle(zipFile handle) : handle_(handle) {}
  ~ZipHandle() {
    if (handle_ != nullptr) zipClose(handle_, nullptr);
  }
  ZipHandle(const ZipHandle&) = delete;
  ZipHandle& operator=(const ZipHandle&) = delete;

  zipFile get() const { return handle_; }
  int close() { return zipClose(std::exchange(handle_, nullptr), nullptr); }

 private:
  zipFile handle_;
};

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

// The plain call for ASCII names and small files writes the headers byte for byte as they have
// always been; only the UTF-8 flag and ZIP64 take the longer forms with the same defaults. With
// raw, the data handed to minizip is already deflated (here, or by the chunk pool).
int openEntry(zipFile archive, const char* name, const zip_fileinfo& info, int method, int level,
              bool raw, bool zip64, bool utf8) {
  if (!utf8 && !zip64) {
    return zipOpenNewFileInZip2(archive, name, &info, nullptr, 0, nullptr, 0, nullptr, method,
                                level, raw);
  }
  if (!utf8) {
    return zipOpenNewFileInZip2_64(archive, name, &info, nullptr, 0, nullptr, 0, nullptr, method,
                                   level, raw, 1);
  }
  if (!zip64) {
    return zipOpenNewFileInZip4(archive, name, &info, nullptr, 0, nullptr, 0, nullptr, method,
                                level, raw, -MAX_WBITS, DEF_MEM_LEVEL, Z_DEFAULT_STRATEGY, nullptr,
                                0, 0, kUtf8NameFlag);
  }
  return zipOpenNewFileInZip4_64(archive, name, &info, nullptr, 0, nullptr, 0, nullptr, method,
                                 level, raw, -MAX_WBITS, DEF_MEM_LEVEL, Z_DEFAULT_STRATEGY, nullptr,
                                 0, 0, kUtf8NameFlag, 1);
}

// Fills buffer up to size bytes or the end of the file: the end of its size when opened (left
// bytes from here; 0 when unknown) or a read that delivers nothing. A short block is the end of
// the file, unless *error is set: then a read failed after the bytes delivered.
int fillBlock(int source, unsigned char* buffer, int size, bool& atEnd, int* error,
              std::uint64_t left) {
  int filled = 0;
  while (filled < size && !atEnd) {
    const ssize_t got = read(source, buffer + filled, static_cast<std::size_t>(size - filled));
    if (got > 0) {
      filled += static_cast<int>(got);
      // Read up to the size it had when it was opened: no need to ask for the end. A file that
      // grew meanwhile has changed, which the look after the last read tells.
      if (left > 0 && static_cast<std::uint64_t>(filled) == left) atEnd = true;
    } else if (got == 0) {
      atEnd = true;  // no need to ask again: the next block is the empty read that ends the file
    } else if (errno == EAGAIN) {
      // Only a file with mandatory locks says this of a regular file: wait for it as a
      // blocking read would.
      usleep(1000);
    } else if (errno != EINTR) {
      *error = errno;
      break;
    }
  }
  return filled;
}

// Deflates blocks into the open raw entry with the packer's own stream: the same bytes minizip's
// own stream would make, without setting one up and freeing it for every file.
class BlockDeflater {
 public:
  BlockDeflater(Packer& packer, zipFile archive, z_stream* stream)
      : archive_(archive), stream_(stream), out_(packer.deflateBuffer()) {}

  // Returns a negative value when writing fails, as zipWriteInFileInZip does.
  int add(const unsigned char* data, unsigned size, bool last) {
    crc_ = crc32(crc_, data, size);
    stream_->next_in = const_cast<Bytef*>(data);
    stream_->avail_in = size;
    for (;;) {
      stream_->next_out = out_.data();
      stream_->avail_out = static_cast<uInt>(out_.size());
      const int result = deflate(stream_, last ? Z_FINISH : Z_NO_FLUSH);
      const auto produced = static_cast<unsigned>(out_.size() - stream_->avail_out);
      if (produced > 0) {
        const int written = zipWriteInFileInZip(archive_, out_.data(), produced);
        if (written < 0) return written;
      }
      if (result == Z_STREAM_END || (!last && stream_->avail_out != 0)) return 0;
      if (result != Z_OK && result != Z_BUF_ERROR) return Z_STREAM_ERROR;
    }
  }
  uLong crc() const { return crc_; }

 private:
  zipFile archive_;
  z_stream* stream_;
  std::vector<unsigned char>& out_;
  uLong crc_ = crc32(0, nullptr, 0);
};

// From this size on, with a pool of threads at hand, a file is deflated in chunks by all of them.
constexpr std::uint64_t kChunkedFrom = 4 << 20;
constexpr std::size_t kChunkSize = 256 << 10;
constexpr std::size_t kWindow = 32 << 10;
constexpr std::size_t kChunksInFlight = 8;

// Fills buffer up to size bytes or the end of the file, as fillBlock does.
std::size_t fillChunk(int source, unsigned char* buffer, std::size_t size, bool& atEnd, int* error,
                      std::uint64_t left) {
  std::size_t filled = 0;
  while (filled < size && !atEnd) {
    const int want = static_cast<int>(std::min<std::size_t>(size - filled, readBlockSize));
    const std::uint64_t stillLeft = left > filled ? left - filled : 0;
    const int got = fillBlock(source, buffer + filled, want, atEnd, error, stillLeft);
    filled += static_cast<std::size_t>(got);
    if (*error != 0) break;
  }
  return filled;
}

// Reads the source in chunks that the pool deflates side by side, and writes their output in
// order into the open raw entry. Returns 0 when the file was read to its end and every chunk
// written; *crc is the data's CRC, joined from the chunks'.
int copyInChunks(Packer& packer, zipFile archive, const Source& source, bool zip64, int level,
                 const ArchiveStream& stream, std::size_t nameLength, uLong* crc,
                 FileOutcome& outcome) {
  ChunkPool& pool = *packer.chunks;
  const auto size = static_cast<std::uint64_t>(source.opened.st_size);
  std::deque<std::unique_ptr<ChunkTask>> pending;
  std::vector<unsigned char> window;  // the last 32 KiB read, the next chunk's dictionary
  std::uint64_t position = 0;
  bool atEnd = false;
  int result = 0;
  *crc = crc32(0, nullptr, 0);
  while (result == 0 && (!atEnd || !pending.empty())) {
    while (result == 0 && !atEnd && pending.size() < kChunksInFlight) {
      auto task = std::make_unique<ChunkTask>();
      task->level = level;
      task->input.resize(kChunkSize);
      int readError = 0;
      task->input.resize(fillChunk(source.fd.get(), task->input.data(), kChunkSize, atEnd,
                                   &readError, size > position ? size - position : 0));
      if (readError != 0) {
        outcome.report(LOG_READ_FAILED, readError);
        result = -1;
        break;
      }
      position += task->input.size();
      if (!zip64 && needsZip64(position, nameLength)) {
        outcome.report(LOG_WRITE_FAILED, EFBIG);
        result = -1;
        break;
      }
      if (!task->input.empty() && packer.progress) {
        packer.progress(position, std::max(position, size));
      }
      task->dictionary = window;
      window.insert(window.end(), task->input.begin(), task->input.end());
      if (window.size() > kWindow) window.erase(window.begin(), window.end() - kWindow);
      task->last = atEnd;
      pool.submit(task.get());
      pending.push_back(std::move(task));
    }
    if (result != 0 || pending.empty()) break;
    const ChunkTask& oldest = *pending.front();
    pool.helpUntil(packer, [&oldest] { return oldest.done.load(); });
    if (!oldest.ok) {
      outcome.report(LOG_WRITE_FAILED, ENOMEM);
      result = -1;
    } else {
      *crc = crc32_combine(*crc, oldest.crc, static_cast<z_off_t>(oldest.input.size()));
      if (!oldest.output.empty() &&
          zipWriteInFileInZip(archive, oldest.output.data(),
                              static_cast<unsigned>(oldest.output.size())) < 0) {
        outcome.report(LOG_WRITE_FAILED, stream.error());
        result = -1;
      }
    }
    pending.pop_front();
  }
  // Chunks still in the pool's hands are waited for before their buffers go.
  pool.helpUntil(packer, [&pending] {
    return std::all_of(pending.begin(), pending.end(),
                       [](const auto& task) { return task->done.load(); });
  });
  outcome.bytesRead = position;
  return result;
}

// Reads the source into the open entry block by block; deflater, when given, deflates them
// into the raw entry. Returns 0 when the file was read to its end and every block written.
int copySource(Packer& packer, zipFile archive, const Source& source, bool zip64,
               const ArchiveStream& stream, std::size_t nameLength, BlockDeflater* deflater,
               FileOutcome& outcome) {
  unsigned char* const readBuffer = packer.readBuffer();
  const auto size = static_cast<std::uint64_t>(source.opened.st_size);
  std::uint64_t position = 0;
  bool atEnd = false;
  int fileResult;
  int bytesRead;
  do {
    int readError = 0;
    bytesRead = fillBlock(source.fd.get(), readBuffer, readBlockSize, atEnd, &readError,
                          size > position ? size - position : 0);
    if (readError != 0) outcome.report(LOG_READ_FAILED, readError);
    int written = 0;
    if (bytesRead > 0 || (deflater != nullptr && readError == 0)) {
      position += static_cast<std::uint64_t>(bytesRead);
      if (bytesRead > 0 && packer.progress) packer.progress(position, std::max(position, size));
      if (!zip64 && needsZip64(position, nameLength)) {
        // Grew past what an entry without ZIP64 can describe.
        written = -1;
        outcome.report(LOG_WRITE_FAILED, EFBIG);
      } else if (deflater != nullptr) {
        written = deflater->add(readBuffer, static_cast<unsigned>(bytesRead), bytesRead == 0);
        if (written < 0) outcome.report(LOG_WRITE_FAILED, stream.error());
      } else if (bytesRead > 0) {
        written = zipWriteInFileInZip(archive, readBuffer, static_cast<unsigned>(bytesRead));
        if (written < 0) outcome.report(LOG_WRITE_FAILED, stream.error());
      }
    }
    // A read error fails the file even when the block read with it was written.
    fileResult = readError != 0 ? -1 : written;
  } while (fileResult == 0 && bytesRead > 0);
  outcome.bytesRead = position;
  return fileResult;
}

bool madeThisRun(BatchRun& run, const struct stat& status) {
  std::lock_guard<std::mutex> lock(run.createdLock);
  return run.createdArchives.contains(identityOf(status));
}

// Where one file is read (and deleted), and where its archive goes.
struct Folders {
  int source;
  int archive;
};

// Why the file is not packed at all, or nothing when it is to be packed. One look at the
// archive name serves three rules: what this run made is never overwritten, an existing
// archive is kept without -O, and only a regular file is ever replaced.
bool decide(BatchRun& run, const Folders& folders, const std::string& archiveName,
            std::string_view extension, FileOutcome& outcome) {
  if (upperCase(extension) == ".ZIP") {
    outcome.report(LOG_SKIPPED, 0, ReportDetail::ZipSource);
    return false;
  }
  if (archiveName.size() > NAME_MAX) {
    outcome.report(LOG_OPEN_FAILED, ENAMETOOLONG);
    return false;
  }
  struct stat existing;
  if (fstatat(folders.archive, archiveName.c_str(), &existing, AT_SYMLINK_NOFOLLOW) != 0) {
    return true;  // nothing there, or nothing to be learnt: creating the archive will tell
  }
  if (S_ISDIR(existing.st_mode)) {
    outcome.report(LOG_OPEN_FAILED, EISDIR);
    return false;
  }
  const bool regular = S_ISREG(existing.st_mode);
  if (regular && madeThisRun(run, existing)) {
    outcome.report(LOG_SKIPPED, 0, ReportDetail::MadeThisRun);
    return false;
  }
  if (!run.options.overwriteArchives) {
    outcome.report(LOG_SKIPPED, 0, ReportDetail::ArchiveExists);
    return false;
  }
  if (!regular) {
    // A FIFO, a device or a link there is left alone, -O or not.
    outcome.report(LOG_OPEN_FAILED, EEXIST);
    return false;
  }
  return true;
}

// The archive name already names the source (a hard link, a link, a file system that ignores
// case), or with -O an archive this run made: committing would destroy one of them.
ReportDetail nameTakenBy(BatchRun& run, int folder, const std::string& archiveName,
                         const Source& source) {
  struct stat target;
  if (fstatat(folder, archiveName.c_str(), &target, AT_SYMLINK_NOFOLLOW) != 0) {
    return ReportDetail::None;
  }
  if (sameFile(target, source.opened)) return ReportDetail::SameFile;
  if (run.options.overwriteArchives && madeThisRun(run, target)) {
    return ReportDetail::MadeThisRun;
  }
  if (fstatat(folder, archiveName.c_str(), &target, 0) == 0 && sameFile(target, source.opened)) {
    return ReportDetail::SameFile;
  }
  return ReportDetail::None;
}

// minizip 1.1 leaves the local header of a ZIP64 entry whose compressed size passes 4 GiB while
// its original size does not (random data just under 4 GiB) with zeros in its ZIP64 field,
// which unzip rejects. The header is the archive's first: both size fields become 0xFFFFFFFF and
// the field holds both sizes, as the format asks of a local header. Returns 0 or an errno.
int completeZip64LocalHeader(int fd, std::uint64_t dataEnd, std::uint64_t originalSize) {
  unsigned char header[30];
  if (pread(fd, header, sizeof header, 0) != static_cast<ssize_t>(sizeof header)) return EIO;
  const auto little16 = [](const unsigned char* at) { return at[0] | (at[1] << 8); };
  const int nameLength = little16(header + 26);
  const int extraLength = little16(header + 28);
  std::vector<unsigned char> extra(static_cast<std::size_t>(extraLength));
  const off_t extraAt = 30 + nameLength;
  if (pread(fd, extra.data(), extra.size(), extraAt) != extraLength) return EIO;
  const std::uint64_t compressedSize = dataEnd - static_cast<std::uint64_t>(extraAt + extraLength);
  if (compressedSize < kZip64Size && originalSize < kZip64Size) return 0;
  for (int at = 0; at + 4 <= extraLength;) {
    const int id = little16(&extra[at]);
    const int size = little16(&extra[at + 2]);
    if (id == 1 && size >= 16) {
      unsigned char sizes[16];
      for (int i = 0; i < 8; ++i) {
        sizes[i] = static_cast<unsigned char>(originalSize >> (8 * i));
        sizes[8 + i] = static_cast<unsigned char>(compressedSize >> (8 * i));
      }
      const unsigned char unknown[8] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
      if (pwrite(fd, unknown, sizeof unknown, 18) != static_cast<ssize_t>(sizeof unknown) ||
          pwrite(fd, sizes, sizeof sizes, extraAt + at + 4) != static_cast<ssize_t>(sizeof sizes)) {
        return errno;
      }
      return 0;
    }
    at += 4 + size;
  }
  return EINVAL;  // no ZIP64 field: the entry was not opened for ZIP64
}

// fsync, taking a file system that cannot sync at all (EINVAL) as it is.
int syncToDisk(int fd) {
  return fsync(fd) == 0 || errno == EINVAL ? 0 : errno;
}

// Renames the complete archive into place and, with -D, deletes the source once the archive is
// on disk and the source's name still names the file that was read.
void commit(BatchRun& run, const Folders& folders, TempArchive& temp,
            const std::string& archiveName, const SearchEntry& entry, const Source& source,
            bool changed, FileOutcome& outcome) {
  const std::string& sourceName = entry.name;
  const bool remember = run.options.overwriteArchives || entry.sharesArchive;
  // On Linux unlink ignores the file's own mode; a file its owner may not write stands for one
  // the user wants kept, as a read-only file is kept where erasing it fails.
  const bool eraseSource =
      run.options.deleteAfterZipping && !changed && (source.opened.st_mode & S_IWUSR) != 0;
  if (eraseSource) {
    if (const int error = syncToDisk(temp.fd())) {
      outcome.report(LOG_CLOSE_FAILED, error);
      return;
    }
  }
  // What this run made is remembered where it can be met again: under -O, and for a name that
  // another file of the folder shares (without -O an existing name is never replaced anyway).
  struct stat made;
  if (remember && fstat(temp.fd(), &made) != 0) {
    outcome.report(LOG_CLOSE_FAILED, errno);
    return;
  }
  // Without -O the rename never replaces anything: a name taken meanwhile makes it fail.
  if (const ReportDetail taken = run.options.overwriteArchives
                                     ? nameTakenBy(run, folders.archive, archiveName, source)
                                     : ReportDetail::None;
      taken != ReportDetail::None) {
    outcome.report(LOG_OPEN_FAILED, EEXIST, taken);
    return;
  }
  if (const int error = temp.commit(archiveName, run.options.overwriteArchives)) {
    if (error == EEXIST) {
      outcome.report(LOG_SKIPPED, 0, ReportDetail::ArchiveExists);
    } else {
      outcome.report(LOG_OPEN_FAILED, error);
    }
    return;
  }
  outcome.committed = true;
  if (remember) {
    std::lock_guard<std::mutex> lock(run.createdLock);
    run.createdArchives.insert(identityOf(made));
  }
  if (changed) {
    outcome.report(LOG_CHANGED_WHILE_READ, 0, ReportDetail::Changed);
    return;
  }
  if (!eraseSource) return;
  if (const int error = syncToDisk(folders.archive)) {
    outcome.report(LOG_CLOSE_FAILED, error);
    return;
  }
  struct stat now;
  if (fstatat(folders.source, sourceName.c_str(), &now, 0) != 0 || !sameFile(now, source.opened)) {
    outcome.report(LOG_CHANGED_WHILE_READ, 0, ReportDetail::NameMoved);
    return;
  }
  outcome.deleted = unlinkat(folders.source, sourceName.c_str(), 0) == 0;
}

}  // namespace

Packer::~Packer() {
  if (streamReady_) deflateEnd(&stream_);
}

z_stream* Packer::deflater(int level) {
  if (streamReady_ && streamLevel_ == level) {
    deflateReset(&stream_);
    return &stream_;
  }
  if (streamReady_) deflateEnd(&stream_);
  stream_ = z_stream{};
  // As minizip sets its own stream up: raw deflate, the default memory level and strategy.
  streamReady_ = deflateInit2(&stream_, level, Z_DEFLATED, -MAX_WBITS, DEF_MEM_LEVEL,
                              Z_DEFAULT_STRATEGY) == Z_OK;
  streamLevel_ = level;
  return streamReady_ ? &stream_ : nullptr;
}

bool openWorkDir(BatchRun& run) {
  // Read access is only needed to fsync the folder; a folder that can be written but not read
  // still takes archives.
  run.workDir.reset(open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!run.workDir.valid()) run.workDir.reset(open(".", O_PATH | O_DIRECTORY | O_CLOEXEC));
  for (const int fd : {STDOUT_FILENO, STDERR_FILENO}) {
    struct stat output;
    if (fstat(fd, &output) == 0 && S_ISREG(output.st_mode)) {
      run.ownOutputs.push_back(identityOf(output));
    }
  }
  return run.workDir.valid();
}

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

bool needsZip64(std::uint64_t size, std::size_t nameLength) {
  // zlib's own bound for data that does not compress: stored blocks of at most 16 KiB cost five
  // bytes each; deflated in chunks, each chunk's flush costs five more per 256 KiB. The headers
  // around the entry name it twice.
  const std::uint64_t worstEntry =
      size + (size >> 12) + (size >> 14) + (size >> 15) + (size >> 25) + 64;
  const std::uint64_t headers = 2 * static_cast<std::uint64_t>(nameLength) + 256;
  return worstEntry + headers >= kZip64Size;
}

std::string tempArchiveName(std::string_view archiveName, std::uint64_t random) {
  static constexpr char kLetters[] =
      "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
  constexpr std::size_t kSuffix = 8;
  const std::size_t room = NAME_MAX - 2 - kSuffix;
  std::string name = ".";
  name.append(archiveName.substr(0, room));
  name += '.';
  for (std::size_t i = 0; i < kSuffix; ++i) {
    name += kLetters[random % 62];
    random /= 62;
  }
  return name;
}

FileOutcome archiveOneFile(BatchRun& run, Packer& packer, const SearchEntry& entry) {
  FileOutcome outcome;
  std::string baseName, extension;
  splitName(entry.name, baseName, extension);
  outcome.archiveName = baseName + ".zip";
  const std::string& archiveName = outcome.archiveName;
  // Without -R archives go to the working folder; with it, beside their sources.
  const int sourceFolder = entry.folder ? entry.folder->get() : run.workDir.get();
  const Folders folders{sourceFolder, run.options.recursive ? sourceFolder : run.workDir.get()};
  if (!decide(run, folders, archiveName, extension, outcome)) return outcome;

  Source source;
  if (!openSource(folders.source, entry.name, source, outcome)) return outcome;
  // `vordex '*' -D > report.txt` would otherwise pack the report it writes, and delete it.
  if (std::find(run.ownOutputs.begin(), run.ownOutputs.end(), identityOf(source.opened)) !=
      run.ownOutputs.end()) {
    outcome.report(LOG_SKIPPED, 0, ReportDetail::OwnOutput);
    return outcome;
  }
  TempArchive temp(folders.archive, packer);
  if (const int error = temp.create(archiveName)) {
    outcome.report(LOG_OPEN_FAILED, error);
    return outcome;
  }
  ArchiveStream stream(temp.fd(), packer.writeBuffer().data(), packer.writeBuffer().size());
  zlib_filefunc64_def functions = stream.functions();
  ZipHandle archive(zipOpen2_64(temp.name().c_str(), APPEND_STATUS_CREATE, nullptr, &functions));
  if (archive.get() == nullptr) {
    outcome.report(LOG_OPEN_FAILED, stream.error() != 0 ? stream.error() : ENOMEM);
    return outcome;
  }

  zip_fileinfo fileInfo;
  fillFileInfo(fileInfo, entry.time);
  const int level = run.options.compressionLevel;
  const bool zip64 =
      needsZip64(static_cast<std::uint64_t>(source.opened.st_size), entry.name.size());
  // Stored entries go through minizip as they are; deflated ones are deflated here, big ones by
  // the chunk pool.
  const bool chunked = packer.chunks != nullptr && level != 0 &&
                       static_cast<std::uint64_t>(source.opened.st_size) >= kChunkedFrom;
  z_stream* const deflating = level == 0 || chunked ? nullptr : packer.deflater(level);
  if (level != 0 && !chunked && deflating == nullptr) {
    outcome.report(LOG_ADD_FAILED, ENOMEM);
    return outcome;
  }
  std::optional<BlockDeflater> deflater;
  if (deflating != nullptr) deflater.emplace(packer, archive.get(), deflating);
  int fileResult =
      openEntry(archive.get(), entry.name.c_str(), fileInfo, level == 0 ? 0 : Z_DEFLATED, level,
                deflating != nullptr || chunked, zip64, needsUtf8Flag(entry.name));
  uLong chunkedCrc = 0;
  if (fileResult != 0) {
    outcome.report(LOG_ADD_FAILED, stream.error());
  } else if (chunked) {
    fileResult = copyInChunks(packer, archive.get(), source, zip64, level, stream,
                              entry.name.size(), &chunkedCrc, outcome);
  } else {
    fileResult = copySource(packer, archive.get(), source, zip64, stream, entry.name.size(),
                            deflater ? &*deflater : nullptr, outcome);
  }
  struct stat afterRead;
  const bool changed = fileResult == 0 && (fstat(source.fd.get(), &afterRead) != 0 ||
                                           changedBetween(source.opened, afterRead));
  std::uint64_t dataEnd = 0;
  if (fileResult == 0) {
    if (chunked || deflater) {
      fileResult = zipCloseFileInZipRaw64(archive.get(), outcome.bytesRead,
                                          chunked ? chunkedCrc : deflater->crc());
    } else {
      fileResult = zipCloseFileInZip(archive.get());
    }
    dataEnd = stream.position();
    if (fileResult != 0) outcome.report(LOG_CLOSE_FAILED, stream.error());
  }
  if (archive.close() != 0) {
    outcome.report(LOG_CLOSE_FAILED, stream.error());
    return outcome;
  }
  if (fileResult != 0) return outcome;
  // minizip marks the entry as text (internal attributes 1) when its own stream judged the data
  // to be text; for the raw entry that judgement is this stream's. The central header follows
  // the entry's data.
  if (deflating != nullptr && deflating->data_type == Z_TEXT) {
    const unsigned char text[2] = {Z_TEXT, 0};
    stream.patch(dataEnd + 36, text, sizeof text);
  }
  if (!stream.finish()) {
    outcome.report(LOG_CLOSE_FAILED, stream.error());
    return outcome;
  }
  if (zip64) {
    if (const int error = completeZip64LocalHeader(temp.fd(), dataEnd, outcome.bytesRead)) {
      outcome.report(LOG_CLOSE_FAILED, error);
      return outcome;
    }
  }
  outcome.archiveSize = stream.size();
  if (!zip64 && outcome.archiveSize >= kZip64Size) {
    // The margin failed after all: such an archive is no archive to any reader.
    outcome.report(LOG_CLOSE_FAILED, EFBIG);
    return outcome;
  }
  commit(run, folders, temp, archiveName, entry, source, changed, outcome);
  return outcome;
}
