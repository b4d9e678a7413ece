#pragma once
// Packing one file into an archive of its own: <baseName>.zip in the working folder with one
// entry. The archive is written into a temporary file beside its final name and renamed into
// place only when it is complete, so a failed or interrupted file never leaves anything at the
// final name, and an archive that stood there before survives every failure.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <random>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

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

// The state of one run that archiving works with. runBatch owns it; a test makes its own.
struct BatchRun {
  RunOptions options;
  Descriptor workDir;     // the working folder: archives and their temporary files go here
  int sourceFolder = -1;  // the mask's folder, where sources are read and deleted
  std::vector<unsigned char> readBuffer = std::vector<unsigned char>(readBlockSize);
  std::vector<unsigned char> writeBuffer = std::vector<unsigned char>(64 << 10);
  // Every archive this run created: never overwritten by it, whatever names lead to it.
  std::unordered_set<FileIdentity, FileIdentityHash> createdArchives;
  // The files standard output and standard error go to: never packed, never deleted.
  std::vector<FileIdentity> ownOutputs;
  // Told the read position and the source's size after every block.
  std::function<void(std::uint64_t, std::uint64_t)> progress;
  std::mt19937_64 random{std::random_device{}()};
  int tempSlot = 0;  // this thread's slot in the record of temporary files
};

// Opens the current folder as the run's working folder and notes which files the process's
// output goes to; false when the folder cannot be opened.
bool openWorkDir(BatchRun& run);

// Decides whether the entry is packed, packs it into a temporary file and commits that to the
// archive name; with -D deletes the source when everything succeeded and the source is still
// the file that was read. Reports nothing itself: the outcome says what happened.
FileOutcome archiveOneFile(BatchRun& run, const SearchEntry& entry);

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
