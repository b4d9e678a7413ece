#pragma once
// Packing one file into an archive of its own: <baseName>.zip in the working folder with one
// entry. The archive is written into a temporary file beside its final name and renamed into
// place only when it is complete, so a failed or interrupted file never leaves anything at the
// final name, and an archive that stood there before survives every failure.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <random>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include <zlib.h>

#include "driver/descriptor.h"
#include "driver/dir_search.h"
#include "driver/run_state.h"

inline constexpr int readBlockSize = 16384;

struct FileIdentity {
  std::uint64_t device;
  std::uint64_t inode;
  bool operator==(const FileIdentity&) const = default;
};

struct FileIdentityHash {
  std::size_t operator()(const FileIdentity& id) const {
    return std::hash<std::uint64_t>()(id.inode * 0x9E3779B97F4A7C15u ^ id.device);
  }
};

// The state of one run that every packing thread shares. runBatch owns it; a test makes its
// own.
struct BatchRun {
  RunOptions options;
  // The working folder: archives and their temporary files go here (with -R, beside each
  // source instead). Sources are read in the folder their search entry holds.
  Descriptor workDir;
  // Every archive this run created: never overwritten by it, whatever names lead to it.
  std::unordered_set<FileIdentity, FileIdentityHash> createdArchives;
  std::mutex createdLock;  // guards createdArchives
  // The files standard output and standard error go to: never packed, never deleted.
  std::vector<FileIdentity> ownOutputs;
};

class ChunkPool;

// What one packing thread owns: its buffers, its deflate stream (set up once, reset for every
// file), its slot in the record of temporary files.
class Packer {
 public:
  explicit Packer(int tempSlot = 0) : tempSlot_(tempSlot) {}
  ~Packer();
  Packer(const Packer&) = delete;
  Packer& operator=(const Packer&) = delete;

  // Told the read position and the source's size after every block.
  std::function<void(std::uint64_t, std::uint64_t)> progress;
  // Big files are cut into chunks deflated by this pool's threads; without one, or at level 0,
  // every file is deflated here in one stream.
  ChunkPool* chunks = nullptr;

  int tempSlot() const { return tempSlot_; }
  std::uint64_t random() { return random_(); }
  unsigned char* readBuffer() { return readBuffer_.data(); }
  std::vector<unsigned char>& writeBuffer() { return writeBuffer_; }
  std::vector<unsigned char>& deflateBuffer() { return deflateBuffer_; }
  // The stream for a file at this level, as deflateInit2 would leave it; null without memory.
  z_stream* deflater(int level);

 private:
  int tempSlot_;
  std::mt19937_64 random_{std::random_device{}()};
  std::vector<unsigned char> readBuffer_ = std::vector<unsigned char>(readBlockSize);
  std::vector<unsigned char> writeBuffer_ = std::vector<unsigned char>(64 << 10);
  std::vector<unsigned char> deflateBuffer_ = std::vector<unsigned char>(64 << 10);
  z_stream stream_{};
  int streamLevel_ = 0;
  bool streamReady_ = false;
};

// Opens the current folder as the run's working folder and notes which files the process's
// output goes to; false when the folder cannot be opened.
bool openWorkDir(BatchRun& run);

// Decides whether the entry is packed, packs it into a temporary file and commits that to the
// archive name; with -D deletes the source when everything succeeded and the source is still
// the file that was read. Reports nothing itself: the outcome says what happened.
FileOutcome archiveOneFile(BatchRun& run, Packer& packer, const SearchEntry& entry);

// The split at the name's last dot: "a.tar.gz" gives "a.tar" and ".gz", "README" gives "README"
// and "", ".profile" gives "" and ".profile".
void splitName(std::string_view name, std::string& baseName, std::string& extension);

// True for a name that holds a byte above 127 and is strictly valid UTF-8 (no overlong forms,
// no surrogates, nothing above U+10FFFF): such a name is stored with the UTF-8 flag.
bool needsUtf8Flag(std::string_view name);

// Whether an entry of `size` source bytes named by nameLength bytes must be opened with ZIP64:
// deflate may grow data that does not compress (stored blocks), and the archive must stay
// below 4 GiB without it.
bool needsZip64(std::uint64_t size, std::size_t nameLength);

// ".<archiveName>.<8 random letters and digits>", the archive name cut so the whole stays
// within NAME_MAX.
std::string tempArchiveName(std::string_view archiveName, std::uint64_t random);
