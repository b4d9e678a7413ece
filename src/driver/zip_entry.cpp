#include "driver/zip_entry.h"

#include <unistd.h>

#include <cerrno>
#include <ctime>
#include <limits>
#include <vector>

#include "core/text.h"
#include "driver/zip_bytes.h"

namespace {

// General-purpose bit 11: the entry's name is UTF-8.
constexpr uLong kUtf8NameFlag = 0x800;
// "Version made by": host 3 (Unix) in the high byte, minizip's own version number in the low.
constexpr uLong kMadeByUnix = 3 << 8;
// The DOS attribute a reader maps to a file without write permission.
constexpr uLong kDosReadOnly = 0x01;
constexpr unsigned kExtendedTime = 0x5455;
constexpr unsigned kUnixOwner = 0x7875;
constexpr unsigned char kModificationAndAccess = 3;

bool fitsUnixTime(std::time_t time) {
  return time >= std::numeric_limits<std::int32_t>::min() &&
         time <= std::numeric_limits<std::int32_t>::max();
}

// Seconds since 1970 as the field holds them: signed 32 bits.
std::uint32_t unixTime(std::time_t time) {
  if (time < std::numeric_limits<std::int32_t>::min())
    time = std::numeric_limits<std::int32_t>::min();
  if (time > std::numeric_limits<std::int32_t>::max())
    time = std::numeric_limits<std::int32_t>::max();
  return static_cast<std::uint32_t>(static_cast<std::int32_t>(time));
}

// The owner field: version 1, then the uid and the gid, four bytes each.
unsigned char* putOwner(unsigned char* at, const struct stat& source) {
  at = put16(put16(at, kUnixOwner), 11);
  *at++ = 1;
  *at++ = 4;
  at = put32(at, static_cast<std::uint32_t>(source.st_uid));
  *at++ = 4;
  return put32(at, static_cast<std::uint32_t>(source.st_gid));
}

}  // namespace

EntryFields entryFields(const struct stat& source, std::uint32_t dosTime) {
  EntryFields fields;
  zip_fileinfo& info = fields.info;
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
  info.external_fa = (static_cast<uLong>(source.st_mode) << 16) |
                     ((source.st_mode & S_IWUSR) == 0 ? kDosReadOnly : 0);

  unsigned char* local = fields.localExtra;
  unsigned char* central = fields.centralExtra;
  // A time the field cannot hold is left to the DOS date alone.
  if (fitsUnixTime(source.st_mtime)) {
    local = put16(put16(local, kExtendedTime), 9);
    *local++ = kModificationAndAccess;
    local = put32(local, unixTime(source.st_mtime));
    local = put32(local, unixTime(source.st_atime));
    // The central header's flags tell what the local one holds; its only time is the data's.
    central = put16(put16(central, kExtendedTime), 5);
    *central++ = kModificationAndAccess;
    central = put32(central, unixTime(source.st_mtime));
  }
  local = putOwner(local, source);
  central = putOwner(central, source);
  fields.localExtraSize = static_cast<unsigned>(local - fields.localExtra);
  fields.centralExtraSize = static_cast<unsigned>(central - fields.centralExtra);
  return fields;
}

int openEntry(zipFile archive, const char* name, const EntryFields& fields, int method, int level,
              bool raw, bool zip64) {
  return zipOpenNewFileInZip4_64(archive, name, &fields.info, fields.localExtra,
                                 fields.localExtraSize, fields.centralExtra,
                                 fields.centralExtraSize, nullptr, method, level, raw, -MAX_WBITS,
                                 DEF_MEM_LEVEL, Z_DEFAULT_STRATEGY, nullptr, 0, kMadeByUnix,
                                 needsUtf8Flag(name) ? kUtf8NameFlag : 0, zip64 ? 1 : 0);
}

bool needsZip64(std::uint64_t size, std::size_t nameLength) {
  // zlib's own bound for data that does not compress: stored blocks of at most 16 KiB cost five
  // bytes each; deflated in chunks, each chunk's flush costs five more per 256 KiB. The headers
  // around the entry name it twice and carry the extra fields.
  const std::uint64_t worstEntry =
      size + (size >> 12) + (size >> 14) + (size >> 15) + (size >> 25) + 64;
  const std::uint64_t headers = 2 * static_cast<std::uint64_t>(nameLength) + 256;
  return worstEntry + headers >= kZip64Size;
}

int completeZip64LocalHeader(int fd, std::uint64_t dataEnd, std::uint64_t originalSize) {
  unsigned char header[30];
  if (pread(fd, header, sizeof header, 0) != static_cast<ssize_t>(sizeof header)) return EIO;
  const int nameLength = get16(header + 26);
  const int extraLength = get16(header + 28);
  std::vector<unsigned char> extra(static_cast<std::size_t>(extraLength));
  const off_t extraAt = 30 + nameLength;
  if (pread(fd, extra.data(), extra.size(), extraAt) != extraLength) return EIO;
  const std::uint64_t compressedSize = dataEnd - static_cast<std::uint64_t>(extraAt + extraLength);
  if (compressedSize < kZip64Size && originalSize < kZip64Size) return 0;
  for (int at = 0; at + 4 <= extraLength;) {
    const int id = get16(&extra[at]);
    const int size = get16(&extra[at + 2]);
    if (id == 1 && size >= 16) {
      unsigned char sizes[16];
      put64(put64(sizes, originalSize), compressedSize);
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
