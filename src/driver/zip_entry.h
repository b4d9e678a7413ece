#pragma once
// The archive's one entry as a Unix host writes it, through minizip: "version made by" Unix, the
// file's mode in the external attributes, its times in UTC (0x5455) and its owner (0x7875), so
// that an extracting program restores the file's mode, time to the second in any time zone, and
// owner, and reads the name as the UTF-8 it is.

#include <minizip/zip.h>
#include <sys/stat.h>

#include <cstddef>
#include <cstdint>
#include <string_view>

// From this size on an entry needs ZIP64: minizip 1.1 opened without it reports success but
// writes sizes that no reader can use.
inline constexpr std::uint64_t kZip64Size = 0xFFFFFFFFu;

// Everything the entry says of its file but the name and the data.
struct EntryFields {
  zip_fileinfo info{};
  unsigned char localExtra[28] = {};
  unsigned int localExtraSize = 0;
  unsigned char centralExtra[24] = {};
  unsigned int centralExtraSize = 0;
};

// The fields of a file with this status, dated dosTime (the packed DOS date and time of its
// modification, local time).
EntryFields entryFields(const struct stat& source, std::uint32_t dosTime);

// Opens the archive's entry: deflated (method Z_DEFLATED at level, or stored with method 0);
// with raw, the data handed to minizip is deflated already. Returns minizip's result.
int openEntry(zipFile archive, const char* name, const EntryFields& fields, int method, int level,
              bool raw, bool zip64);

// Whether an entry of `size` source bytes named by nameLength bytes must be opened with ZIP64:
// deflate may grow data that does not compress (stored blocks), and the archive must stay
// below 4 GiB without it.
bool needsZip64(std::uint64_t size, std::size_t nameLength);

// minizip 1.1 leaves the local header of a ZIP64 entry whose compressed size passes 4 GiB while
// its original size does not (random data just under 4 GiB) with zeros in its ZIP64 field,
// which readers reject. Writes both sizes there, as the format asks of a local header. The
// header is the archive's first; dataEnd is where the entry's data ends. Returns 0 or an errno.
int completeZip64LocalHeader(int fd, std::uint64_t dataEnd, std::uint64_t originalSize);
