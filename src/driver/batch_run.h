#pragma once
// The state of one run that every packing thread shares. runBatch owns it; a test makes its own.

#include <sys/stat.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <unordered_set>
#include <vector>

#include "core/run_data.h"
#include "driver/descriptor.h"

// One slot per thread that packs files: the batch thread's is 0, worker n's is n. What the signal
// handlers must find (temporary files, leases) is recorded by slot.
inline constexpr int kPackerSlots = kMaxWorkers + 1;

struct FileIdentity {
  std::uint64_t device;
  std::uint64_t inode;
  bool operator==(const FileIdentity&) const = default;
};

inline FileIdentity identityOf(const struct stat& status) {
  return {static_cast<std::uint64_t>(status.st_dev), static_cast<std::uint64_t>(status.st_ino)};
}

// Same size and modification time, to the nanosecond: what a writer leaves different.
inline bool sameContent(const struct stat& a, const struct stat& b) {
  return a.st_size == b.st_size && a.st_mtim.tv_sec == b.st_mtim.tv_sec &&
         a.st_mtim.tv_nsec == b.st_mtim.tv_nsec;
}

struct FileIdentityHash {
  std::size_t operator()(const FileIdentity& id) const {
    return std::hash<std::uint64_t>()(id.inode * 0x9E3779B97F4A7C15u ^ id.device);
  }
};

struct BatchRun {
  RunOptions options;
  // The working folder: archives and their temporary files go here (with -R, beside each
  // source instead). Sources are read in the folder their search entry holds.
  Descriptor workDir;
  // The process's umask, read once before any thread starts: an archive gets its source's
  // permission bits less this.
  mode_t umask = 022;
  // Every archive this run created: never overwritten by it, whatever names lead to it.
  std::unordered_set<FileIdentity, FileIdentityHash> createdArchives;
  // A dry run creates nothing: the archives it would make, by namesakeOf (selection.h).
  std::unordered_set<std::string> plannedArchives;
  std::mutex createdLock;  // guards createdArchives and plannedArchives
  // The files standard output and standard error go to: never packed, deleted or replaced.
  std::vector<FileIdentity> ownOutputs;

  bool madeThisRun(const struct stat& status) {
    std::lock_guard<std::mutex> lock(createdLock);
    return createdArchives.contains(identityOf(status));
  }
  void rememberMade(const FileIdentity& archive) {
    std::lock_guard<std::mutex> lock(createdLock);
    createdArchives.insert(archive);
  }
  // False when an archive of this key would already have been made.
  bool plan(const std::string& archiveKey) {
    std::lock_guard<std::mutex> lock(createdLock);
    return plannedArchives.insert(archiveKey).second;
  }
  bool isOwnOutput(const struct stat& status) const {
    for (const FileIdentity& output : ownOutputs) {
      if (output == identityOf(status)) return true;
    }
    return false;
  }
};

// Where one file is read (and deleted), and where its archive goes.
struct Folders {
  int source;
  int archive;
};

// Opens the current folder as the run's working folder, reads the umask and notes which files
// the process's output goes to; false when the folder cannot be opened. Call before any thread
// starts.
bool openWorkDir(BatchRun& run);
