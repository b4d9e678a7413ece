#include "driver/temp_archive.h"

#include <fcntl.h>
#include <limits.h>
#include <sys/file.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>

#include "core/naming.h"
#include "driver/batch_run.h"

namespace {

enum SlotState : int { kFree, kCreating, kLive };

// Read by signal handlers: the name is complete before the state leaves kFree, and the state
// is kFree again before the name changes.
struct Slot {
  std::atomic<int> state{kFree};
  std::atomic<pid_t> thread{0};
  int folderFd = -1;
  char name[NAME_MAX + 1] = {};
};

Slot slots[kPackerSlots];
std::atomic<bool> dying{false};

pid_t threadId() {
  static thread_local const pid_t id = static_cast<pid_t>(syscall(SYS_gettid));
  return id;
}

// Named and about to be created. False when the process is dying: nothing more is created.
bool beginCreate(int slot, int folderFd, const std::string& name) {
  Slot& s = slots[slot];
  if (name.size() >= sizeof s.name) return false;
  std::memcpy(s.name, name.c_str(), name.size() + 1);
  s.folderFd = folderFd;
  s.thread = threadId();
  s.state = kCreating;
  if (!dying.load()) return true;
  s.state = kFree;
  return false;
}

}  // namespace

int TempArchive::create(std::string_view archiveName, std::mt19937_64& random) {
  for (int attempt = 0; attempt < 16; ++attempt) {
    name_ = tempArchiveName(archiveName, random());
    if (!beginCreate(slot_, folder_, name_)) {
      name_.clear();
      return EINTR;
    }
    fd_.reset(openat(folder_, name_.c_str(),
                     O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC, 0600));
    const int error = errno;
    slots[slot_].state = fd_.valid() ? kLive : kFree;
    if (fd_.valid()) {
      // The signal path may have walked the record while the file was being created.
      if (dying.load()) {
        remove();
        return EINTR;
      }
      // A file system without flock still takes the archive; only the leftover check is lost.
      flock(fd_.get(), LOCK_EX | LOCK_NB);
      return 0;
    }
    name_.clear();
    if (error != EEXIST) return error;
  }
  return EEXIST;
}

void TempArchive::dressAs(const struct stat& source, mode_t umask) {
  const int fd = fd_.get();
  static const bool root = geteuid() == 0;
  struct stat own {};
  fstat(fd, &own);
  identity_ = identityOf(own);
  bool sameGroup = own.st_gid == source.st_gid;
  if (root && (own.st_uid != source.st_uid || !sameGroup) &&
      fchown(fd, source.st_uid, source.st_gid) == 0) {
    sameGroup = true;
  }
  mode_t mode = source.st_mode & 0666 & ~umask;
  // Group bits for another group would open the file to people the source kept out.
  if (!sameGroup) mode = (mode & ~S_IRWXG) | (mode & (mode << 3) & S_IRWXG);
  fchmod(fd, mode);
  const timespec times[2] = {source.st_atim, source.st_mtim};
  futimens(fd, times);
}

int TempArchive::commit(const std::string& archiveName, bool replace) {
  const char* from = name_.c_str();
  const char* to = archiveName.c_str();
  int result;
  if (replace) {
    result = renameat(folder_, from, folder_, to);
  } else {
    result = renameat2(folder_, from, folder_, to, RENAME_NOREPLACE);
    if (result != 0 && (errno == EINVAL || errno == ENOSYS)) result = commitByLink(from, to);
  }
  if (result != 0) return errno;
  slots[slot_].state = kFree;
  name_.clear();
  committed_ = true;
  // A close can report a write the kernel failed to put back; the archive is at its name by
  // now, so the caller decides what to make of it.
  return fd_.close() ? 0 : errno;
}

int TempArchive::commitByLink(const char* from, const char* to) {
  if (linkat(folder_, from, folder_, to, 0) == 0) {
    unlinkat(folder_, from, 0);
    return 0;
  }
  // File systems without links say so in several ways (EPERM, EOPNOTSUPP, ENOSYS; exFAT
  // through FUSE even ENOENT); only EEXIST is an answer about the name.
  if (errno == EEXIST) return -1;
  struct stat existing;
  if (fstatat(folder_, to, &existing, AT_SYMLINK_NOFOLLOW) == 0) {
    errno = EEXIST;
    return -1;
  }
  return renameat(folder_, from, folder_, to);
}

void TempArchive::remove() {
  fd_.reset();
  if (name_.empty()) return;
  // Unlinked before the record is cleared: a signal in between then unlinks it once more, in
  // vain, rather than not at all.
  unlinkat(folder_, name_.c_str(), 0);
  slots[slot_].state = kFree;
  name_.clear();
}

bool removeLeftover(int folder, const char* name, bool onlyLook) {
  Descriptor fd(openat(folder, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  struct stat locked, named;
  if (!fd.valid() || fstat(fd.get(), &locked) != 0 || !S_ISREG(locked.st_mode)) return false;
  if (flock(fd.get(), LOCK_EX | LOCK_NB) != 0) return false;  // its writer is alive
  // Still the file that was locked: not one a new run has just created under the same name.
  if (fstatat(folder, name, &named, AT_SYMLINK_NOFOLLOW) != 0 ||
      identityOf(named) != identityOf(locked)) {
    return false;
  }
  return onlyLook || unlinkat(folder, name, 0) == 0;
}

void removeTempFiles() {
  dying.store(true);
  const auto self = static_cast<pid_t>(syscall(SYS_gettid));
  for (Slot& s : slots) {
    // Another thread between its create and its record: wait for it a little (it is one system
    // call), but never for this very thread, which a signal may have caught there.
    for (int waited = 0; s.state.load() == kCreating && s.thread.load() != self && waited < 200;
         ++waited) {
      const timespec pause{0, 1000000};
      nanosleep(&pause, nullptr);
    }
    if (s.state.exchange(kFree) != kFree) unlinkat(s.folderFd, s.name, 0);
  }
}
