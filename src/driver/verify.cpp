#include "driver/verify.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include "driver/descriptor.h"
#include "driver/zip_bytes.h"

namespace {

constexpr std::uint32_t kLocalSignature = 0x04034B50;
constexpr std::uint32_t kCentralSignature = 0x02014B50;
constexpr std::uint32_t kEndSignature = 0x06054B50;
constexpr std::uint32_t kZip64EndSignature = 0x06064B50;
constexpr std::uint32_t kZip64LocatorSignature = 0x07064B50;
constexpr std::size_t kEndSize = 22;
constexpr std::size_t kZip64EndSize = 56;
constexpr std::size_t kZip64LocatorSize = 20;
constexpr std::size_t kCentralSize = 46;
constexpr std::size_t kLocalSize = 30;
constexpr std::uint32_t kUnknown32 = 0xFFFFFFFF;
constexpr std::size_t kMaxComment = 0xFFFF;
// Larger than a directory of one entry can be: a bigger one is some other archive.
constexpr std::uint64_t kMaxDirectory = 1 << 20;

// Reads up to size bytes at offset, fewer only at the end of the file; -1 (errno set) when a
// read fails.
ssize_t preadUpTo(int fd, unsigned char* data, std::size_t size, std::uint64_t offset) {
  std::size_t done = 0;
  while (done < size) {
    const ssize_t got = pread(fd, data + done, size - done, static_cast<off_t>(offset + done));
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return -1;
    if (got == 0) break;
    done += static_cast<std::size_t>(got);
  }
  return static_cast<ssize_t>(done);
}

// Reads exactly size bytes at offset; false (with errno set, EBADMSG for a short file) if not.
bool preadAll(int fd, unsigned char* data, std::size_t size, std::uint64_t offset) {
  const ssize_t got = preadUpTo(fd, data, size, offset);
  if (got >= 0 && static_cast<std::size_t>(got) != size) errno = EBADMSG;
  return got >= 0 && static_cast<std::size_t>(got) == size;
}

}  // namespace

// One central header, its ZIP64 field applied.
struct CentralEntry {
  std::uint16_t flags = 0;
  std::uint16_t method = 0;
  std::uint32_t crc = 0;
  std::uint64_t compressed = 0;
  std::uint64_t size = 0;
  std::uint64_t localOffset = 0;
  std::string name;
};

// The archive's bytes: read once whole when it is small (most are), else read where asked.
struct ArchiveBytes {
  int fd;
  std::uint64_t size;
  const unsigned char* whole = nullptr;

  bool read(unsigned char* data, std::size_t count, std::uint64_t offset) const {
    if (whole == nullptr) return preadAll(fd, data, count, offset);
    if (offset > size || count > size - offset) {
      errno = EBADMSG;
      return false;
    }
    std::memcpy(data, whole + offset, count);
    return true;
  }
};

namespace {

// The directory as the end records give it.
struct Directory {
  std::uint64_t entries = 0;
  std::uint64_t offset = 0;
  std::uint64_t size = 0;
  std::uint64_t end = 0;  // where the end records begin: the directory must end there
};

// Finds the end records. With exactEnd, the end record must close the file with no comment,
// as minizip writes it; otherwise it is searched for within the largest comment. 0 or an errno.
int findDirectory(const ArchiveBytes& file, bool exactEnd, Directory& directory) {
  const std::uint64_t fileSize = file.size;
  if (fileSize < kEndSize) return EBADMSG;
  const std::size_t tail =
      static_cast<std::size_t>(std::min<std::uint64_t>(fileSize, kEndSize + kMaxComment));
  std::vector<unsigned char> buffer(exactEnd ? kEndSize : tail);
  const std::uint64_t tailAt = fileSize - buffer.size();
  if (!file.read(buffer.data(), buffer.size(), tailAt)) return errno;
  std::size_t at = buffer.size() - kEndSize;
  for (;; --at) {
    if (get32(&buffer[at]) == kEndSignature &&
        at + kEndSize + get16(&buffer[at + 20]) == buffer.size()) {
      break;
    }
    if (at == 0 || exactEnd) return EBADMSG;
  }
  const unsigned char* end = &buffer[at];
  if (get16(end + 4) != 0 || get16(end + 6) != 0 || get16(end + 8) != get16(end + 10)) {
    return EBADMSG;  // spanned over several disks: not one of these archives
  }
  directory.end = tailAt + at;
  directory.entries = get16(end + 10);
  directory.size = get32(end + 12);
  directory.offset = get32(end + 16);
  if (directory.entries != 0xFFFF && directory.size != kUnknown32 &&
      directory.offset != kUnknown32) {
    return 0;
  }
  // ZIP64: the locator right before the end record names the ZIP64 end record.
  unsigned char locator[kZip64LocatorSize], record[kZip64EndSize];
  if (directory.end < kZip64LocatorSize ||
      !file.read(locator, sizeof locator, directory.end - kZip64LocatorSize)) {
    return EBADMSG;
  }
  const std::uint64_t recordAt = get64(locator + 8);
  if (get32(locator) != kZip64LocatorSignature ||
      recordAt + kZip64EndSize > directory.end - kZip64LocatorSize ||
      !file.read(record, sizeof record, recordAt) || get32(record) != kZip64EndSignature) {
    return EBADMSG;
  }
  directory.end = recordAt;
  directory.entries = get64(record + 32);
  directory.size = get64(record + 40);
  directory.offset = get64(record + 48);
  return 0;
}

int readCentral(const ArchiveBytes& file, const Directory& directory, CentralEntry& entry) {
  if (directory.size < kCentralSize || directory.size > kMaxDirectory ||
      directory.offset + directory.size > directory.end) {
    return EBADMSG;
  }
  std::vector<unsigned char> data(static_cast<std::size_t>(directory.size));
  if (!file.read(data.data(), data.size(), directory.offset)) return errno;
  const unsigned char* header = data.data();
  if (get32(header) != kCentralSignature) return EBADMSG;
  const std::size_t nameLength = get16(header + 28);
  const std::size_t extraLength = get16(header + 30);
  const std::size_t commentLength = get16(header + 32);
  if (kCentralSize + nameLength + extraLength + commentLength > data.size()) return EBADMSG;
  entry.flags = get16(header + 8);
  entry.method = get16(header + 10);
  entry.crc = get32(header + 16);
  entry.compressed = get32(header + 20);
  entry.size = get32(header + 24);
  entry.localOffset = get32(header + 42);
  entry.name.assign(reinterpret_cast<const char*>(header + kCentralSize), nameLength);
  const unsigned char* extra = header + kCentralSize + nameLength;
  for (std::size_t at = 0; at + 4 <= extraLength;) {
    const std::size_t fieldSize = get16(extra + at + 2);
    if (at + 4 + fieldSize > extraLength) return EBADMSG;
    if (get16(extra + at) == 1) {
      // Only the fields the header marks unknown are there, in this order.
      const unsigned char* field = extra + at + 4;
      std::size_t used = 0;
      for (std::uint64_t* value : {&entry.size, &entry.compressed, &entry.localOffset}) {
        if (*value != kUnknown32) continue;
        if (used + 8 > fieldSize) return EBADMSG;
        *value = get64(field + used);
        used += 8;
      }
    }
    at += 4 + fieldSize;
  }
  return 0;
}

// The local header agrees with the central one; returns where the data begins, or 0.
std::uint64_t checkLocalHeader(const ArchiveBytes& file, const CentralEntry& entry) {
  unsigned char header[kLocalSize];
  if (!file.read(header, sizeof header, entry.localOffset)) return 0;
  const std::size_t nameLength = get16(header + 26);
  const std::size_t extraLength = get16(header + 28);
  std::vector<unsigned char> rest(nameLength + extraLength);
  if (get32(header) != kLocalSignature || get16(header + 6) != entry.flags ||
      get16(header + 8) != entry.method || get32(header + 14) != entry.crc ||
      nameLength != entry.name.size() ||
      !file.read(rest.data(), rest.size(), entry.localOffset + kLocalSize) ||
      std::memcmp(rest.data(), entry.name.data(), nameLength) != 0) {
    return 0;
  }
  std::uint64_t compressed = get32(header + 18);
  std::uint64_t size = get32(header + 22);
  const unsigned char* extra = rest.data() + nameLength;
  for (std::size_t at = 0; at + 4 <= extraLength;) {
    const std::size_t fieldSize = get16(extra + at + 2);
    if (at + 4 + fieldSize > extraLength) return 0;
    // A local ZIP64 field holds both sizes, original first.
    if (get16(extra + at) == 1 && fieldSize >= 16 && size == kUnknown32 &&
        compressed == kUnknown32) {
      size = get64(extra + at + 4);
      compressed = get64(extra + at + 12);
    }
    at += 4 + fieldSize;
  }
  if (compressed != entry.compressed || size != entry.size) return 0;
  return entry.localOffset + kLocalSize + nameLength + extraLength;
}

}  // namespace

ArchiveReader::ArchiveReader() = default;

ArchiveReader::~ArchiveReader() {
  if (inflating_) inflateEnd(&stream_);
}

int ArchiveReader::verify(int folder, const std::string& name, std::uint64_t archiveSize,
                          const ExpectedEntry& expected) {
  // A descriptor of its own, not the one that wrote: what a reader would get. Reading it
  // leaves the times given to the archive as they are, where the process may ask for that.
  constexpr int kFlags = O_RDONLY | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC;
  Descriptor fd(openat(folder, name.c_str(), kFlags | O_NOATIME));
  if (!fd.valid() && errno == EPERM) fd.reset(openat(folder, name.c_str(), kFlags));
  if (!fd.valid()) return errno;
  ArchiveBytes file{fd.get(), archiveSize, nullptr};
  if (archiveSize <= kWholeUpTo) {
    // One byte more is asked for: a file longer than what was written is not what was written.
    whole_.resize(static_cast<std::size_t>(archiveSize) + 1);
    const ssize_t got = preadUpTo(fd.get(), whole_.data(), whole_.size(), 0);
    if (got < 0) return errno;
    if (static_cast<std::uint64_t>(got) != archiveSize) return EBADMSG;
    file.whole = whole_.data();
  } else {
    struct stat status;
    if (fstat(fd.get(), &status) != 0) return errno;
    if (static_cast<std::uint64_t>(status.st_size) != archiveSize) return EBADMSG;
  }
  return check(file, expected);
}

int ArchiveReader::check(const ArchiveBytes& file, const ExpectedEntry& expected) {
  Directory directory;
  CentralEntry entry;
  if (const int error = findDirectory(file, true, directory)) return error;
  if (directory.entries != 1) return EBADMSG;
  if (const int error = readCentral(file, directory, entry)) return error;
  if (entry.name != expected.name || entry.method != expected.method || entry.crc != expected.crc ||
      entry.size != expected.size || entry.localOffset != 0 ||
      directory.offset + directory.size != directory.end) {
    return EBADMSG;
  }
  const std::uint64_t dataAt = checkLocalHeader(file, entry);
  if (dataAt == 0) return errno == EIO ? EIO : EBADMSG;
  if (dataAt + entry.compressed != directory.offset) return EBADMSG;
  if (entry.method == 0 && entry.compressed != entry.size) return EBADMSG;
  uLong crc = crc32(0, nullptr, 0);
  const int error = entry.method == 0 ? copyData(file, dataAt, entry.size, &crc)
                                      : inflateData(file, dataAt, entry, &crc);
  if (error != 0) return error;
  return crc == expected.crc ? 0 : EBADMSG;
}

int ArchiveReader::copyData(const ArchiveBytes& file, std::uint64_t at, std::uint64_t size,
                            uLong* crc) {
  in_.resize(kBlock);
  for (std::uint64_t left = size; left > 0;) {
    const auto count = static_cast<std::size_t>(std::min<std::uint64_t>(left, in_.size()));
    if (!file.read(in_.data(), count, at)) return errno;
    *crc = crc32(*crc, in_.data(), static_cast<uInt>(count));
    at += count;
    left -= count;
  }
  return 0;
}

int ArchiveReader::inflateData(const ArchiveBytes& file, std::uint64_t at,
                               const CentralEntry& entry, uLong* crc) {
  if (!inflating_) {
    if (inflateInit2(&stream_, -MAX_WBITS) != Z_OK) return ENOMEM;
    inflating_ = true;
  } else if (inflateReset(&stream_) != Z_OK) {
    return ENOMEM;
  }
  in_.resize(kBlock);
  out_.resize(kBlock);
  std::uint64_t left = entry.compressed;
  std::uint64_t produced = 0;
  int result = Z_OK;
  stream_.avail_in = 0;
  while (result != Z_STREAM_END) {
    if (stream_.avail_in == 0) {
      if (left == 0) break;  // the stream wants more than the entry holds
      const auto count = static_cast<std::size_t>(std::min<std::uint64_t>(left, in_.size()));
      // A small archive is inflated where it lies.
      if (file.whole != nullptr) {
        stream_.next_in = const_cast<unsigned char*>(file.whole + at);
      } else {
        if (!file.read(in_.data(), count, at)) return errno;
        stream_.next_in = in_.data();
      }
      at += count;
      left -= count;
      stream_.avail_in = static_cast<uInt>(count);
    }
    stream_.next_out = out_.data();
    stream_.avail_out = static_cast<uInt>(out_.size());
    result = inflate(&stream_, Z_NO_FLUSH);
    const std::size_t got = out_.size() - stream_.avail_out;
    *crc = crc32(*crc, out_.data(), static_cast<uInt>(got));
    produced += got;
    if (result != Z_OK && result != Z_STREAM_END) break;
  }
  // The stream ends exactly where the entry's data does, and gives exactly its size.
  const bool whole = result == Z_STREAM_END && stream_.avail_in == 0 && left == 0;
  return whole && produced == entry.size ? 0 : EBADMSG;
}

ArchiveHolds archiveHolds(int fd, std::string_view entryName, int* error) {
  struct stat status;
  if (fstat(fd, &status) != 0) {
    *error = errno;
    return ArchiveHolds::NotAZip;
  }
  const ArchiveBytes file{fd, static_cast<std::uint64_t>(status.st_size), nullptr};
  Directory directory;
  CentralEntry entry;
  const int found = findDirectory(file, false, directory);
  if (found != 0) {
    if (found != EBADMSG) *error = found;
    return ArchiveHolds::NotAZip;
  }
  if (directory.entries != 1) return ArchiveHolds::OtherEntries;
  const int read = readCentral(file, directory, entry);
  if (read != 0) {
    if (read != EBADMSG) *error = read;
    return ArchiveHolds::NotAZip;
  }
  return entry.name == entryName ? ArchiveHolds::OnlyThisFile : ArchiveHolds::OtherEntries;
}
