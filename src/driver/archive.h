#pragma once
// Packing one file into an archive of its own: <workDir><baseName>.zip with one entry.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "driver/dir_search.h"

inline constexpr int readBlockSize = 16384;

struct FileIdentity {
  std::uint64_t device;
  std::uint64_t inode;
};

// What archiving needs from the run around it. runBatch sets it up; a test sets it up itself.
struct BatchRun {
  std::string workDir;                  // the current directory followed by "/"
  unsigned char* readBuffer = nullptr;  // readBlockSize bytes, the only buffer of the run
  // Made by this run for entries that share their archive name: never overwritten by it.
  std::vector<FileIdentity> createdArchives;
};
inline BatchRun batchRun;

// Announces the entry, skips it or packs it, and reports every skip and failure to the error
// log under runState's fileCount; with -D deletes the source after a fully successful packing.
// runState.baseName and extension are left describing the entry.
void archiveOneFile(const SearchEntry& entry);

// The split at the name's last dot: "a.tar.gz" gives "a.tar" and ".gz", "README" gives "README"
// and "", ".profile" gives "" and ".profile".
void splitName(std::string_view name, std::string& baseName, std::string& extension);

// True for a name that holds a byte above 127 and is strictly valid UTF-8 (no overlong forms,
// no surrogates, nothing above U+10FFFF): such a name is stored with the UTF-8 flag.
bool needsUtf8Flag(std::string_view name);

// The name opens for reading and writing (and is closed again at once). Opening never blocks
// and never makes a terminal the controlling one, whatever stands at that name.
bool fileExists(const std::string& name);
// Deletes the name (a symbolic link itself, never its target); failures leave no trace.
void eraseFile(const std::string& name);

// Removes the archive being written, if any; for the fatal-signal and out-of-memory paths:
// async-signal-safe. The source is never touched.
void removeArchiveInProgress();
