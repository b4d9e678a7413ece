#pragma once
// The source file: opened once, held from before its first read until it is deleted or kept, so
// that what is deleted is exactly what was read, and nothing else has it open.
//
// Under -D the source is held with a write lease (Linux's F_SETLEASE): the kernel grants it only
// while no other descriptor of the file is open anywhere, and breaks it when anyone opens the
// file. A broken lease is let go of at once, from the signal that tells of it, so that the other
// program waits no longer than that; the file then counts as in use and is neither committed nor
// deleted. Where a lease cannot be had at all (another owner without CAP_LEASE, NFS, FUSE), the
// delete checks the file just before and after it, and writes back a file that moved.

#include <sys/stat.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "core/run_data.h"
#include "driver/batch_run.h"
#include "driver/descriptor.h"

class Source {
 public:
  // slot: the packing thread's own, one source at a time.
  explicit Source(int slot) : slot_(slot) {}
  ~Source();
  Source(const Source&) = delete;
  Source& operator=(const Source&) = delete;

  // Opens `name` of `folder` without blocking (a FIFO swapped in after the search would hang
  // the run) and accepts only a regular file that is not the run's own output, reached through
  // a link only when the link's owner is its target's or root. With lease, takes the write
  // lease. False, with the report made, when the file is not to be read. A name the search did
  // not look at (looked false) that is gone or names no regular file is no file at all, as the
  // search would have found: false with outcome.notAFile set and nothing reported.
  bool open(const BatchRun& run, int folder, const std::string& name, bool looked, bool lease,
            FileOutcome& outcome);

  int fd() const { return fd_.get(); }
  const struct stat& opened() const { return opened_; }
  std::uint64_t size() const { return static_cast<std::uint64_t>(opened_.st_size); }

  // Reads up to `size` bytes, as few calls as it takes, stopping at the end of the file: at the
  // size it had when opened (a file that grew has changed, which changed() tells) or at a read
  // that delivers nothing. Asked for more than the size it had, a file that grew gives more. A
  // short result with error set: a read failed after the bytes given.
  std::size_t read(unsigned char* buffer, std::size_t size, int& error);
  bool atEnd() const { return atEnd_; }
  std::uint64_t position() const { return position_; }

  // True when another program opened the file since the lease was taken.
  bool inUse() const;
  // What tar calls "file changed as we read it": its size, its data's time or its inode's time
  // moved since the open. A file that cannot be looked at counts as changed. Unless lookAgain,
  // a file read whole by one call that asked past its size and found the end there is taken at
  // its word, with no second look: only a write that kept its size before that one read, or
  // came after it, goes unseen, and without -D nothing is destroyed for it.
  bool changed(bool lookAgain) const;

  // With -D, once the archive is committed and on disk: deletes the source's name when the file
  // is still unchanged, the name still names it and (with a lease) nobody else has opened it.
  // Sets outcome.deleted, or reports why not (keptBecause for a file in use).
  void remove(int folder, const std::string& name, FileOutcome& outcome);

 private:
  void releaseLease();
  // After a delete the file moved: its bytes (the descriptor still reaches them) go back under
  // its name, or beside it when the name was taken meanwhile.
  int writeBack(int folder, const std::string& name);

  int slot_;
  Descriptor fd_;
  struct stat opened_ {};
  bool leased_ = false;
  bool atEnd_ = false;
  bool readWhole_ = false;  // in one read that asked past the end and was given no more
  std::uint64_t position_ = 0;
};
