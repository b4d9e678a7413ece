#pragma once
// Reading archives back. Before anything is destroyed (a source deleted with -D, an archive
// replaced with -O), the archive just written is read back through a descriptor of its own and
// checked the way a strict reader checks it; and before -O replaces what stands at an archive
// name, that is read to see whether it is an archive of this same file.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include <zlib.h>

// What the archive's one entry must hold.
struct ExpectedEntry {
  std::string_view name;
  int method;  // 0 stored, 8 deflated
  std::uint64_t size;
  uLong crc;
};

struct ArchiveBytes;
struct CentralEntry;

// Reads archives back; one per packing thread, which keeps its buffers and inflater.
class ArchiveReader {
 public:
  ArchiveReader();
  ~ArchiveReader();
  ArchiveReader(const ArchiveReader&) = delete;
  ArchiveReader& operator=(const ArchiveReader&) = delete;

  // Reads `name` of `folder` back, which must be archiveSize bytes long: the end records, the
  // central directory with exactly this one entry, its local header, and its data inflated to
  // the end of the deflate stream and no further, the CRC-32 and size compared with what was
  // read from the source. Returns 0 when all of it holds, EBADMSG when something does not, or
  // the errno of a failed read.
  int verify(int folder, const std::string& name, std::uint64_t archiveSize,
             const ExpectedEntry& expected);

 private:
  static constexpr std::uint64_t kWholeUpTo = 256 << 10;
  static constexpr std::size_t kBlock = 64 << 10;

  int check(const ArchiveBytes& file, const ExpectedEntry& expected);
  int copyData(const ArchiveBytes& file, std::uint64_t at, std::uint64_t size, uLong* crc);
  int inflateData(const ArchiveBytes& file, std::uint64_t at, const CentralEntry& entry,
                  uLong* crc);

  std::vector<unsigned char> whole_, in_, out_;
  z_stream stream_{};
  bool inflating_ = false;
};

// What stands at an archive name, as -O sees it.
enum class ArchiveHolds { OnlyThisFile, OtherEntries, NotAZip };

// Reads the central directory of the ZIP archive open at fd: OnlyThisFile when it holds one
// entry, named entryName. Sets *error (and says NotAZip) when it cannot be read.
ArchiveHolds archiveHolds(int fd, std::string_view entryName, int* error);
