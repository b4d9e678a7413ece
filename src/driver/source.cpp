#include "driver/source.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <mutex>

namespace {

// A lease's life, in the record the signal handler reads: taken (Held), broken by another
// program's open and let go of by the handler (Broken), or about to be used for the delete
// (Deleting), during which the handler leaves it to the delete, a moment away.
enum LeaseState : int { kNoLease, kHeld, kBroken, kDeleting };

struct LeaseSlot {
  std::atomic<int> fd{-1};
  std::atomic<int> state{kNoLease};
};

LeaseSlot leases[kPackerSlots];

// What SIGIO did before: a SIGIO that tells of no lease is handled as it would have been.
struct sigaction previousAction {};

void passOn(int sig, siginfo_t* info, void* context) {
  if ((previousAction.sa_flags & SA_SIGINFO) != 0) {
    previousAction.sa_sigaction(sig, info, context);
  } else if (previousAction.sa_handler == SIG_DFL) {
    signal(sig, SIG_DFL);
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, sig);
    pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
    raise(sig);
  } else if (previousAction.sa_handler != SIG_IGN) {
    previousAction.sa_handler(sig);
  }
}

void onLeaseBreak(int sig, siginfo_t* info, void* context) {
  // The kernel tells of a lease break with a POLL_ code; anything else is someone's kill.
  if (info == nullptr || info->si_code <= 0) {
    passOn(sig, info, context);
    return;
  }
  const int savedErrno = errno;
  for (LeaseSlot& slot : leases) {
    if (slot.fd.load() != info->si_fd) continue;
    int held = kHeld;
    if (slot.state.compare_exchange_strong(held, kBroken)) {
      fcntl(info->si_fd, F_SETLEASE, F_UNLCK);
    }
  }
  errno = savedErrno;
}

void installLeaseHandler() {
  static std::once_flag installed;
  std::call_once(installed, [] {
    struct sigaction action {};
    action.sa_sigaction = onLeaseBreak;
    action.sa_flags = SA_SIGINFO | SA_RESTART;
    sigfillset(&action.sa_mask);
    sigaction(SIGIO, &action, &previousAction);
  });
}

bool unchanged(const struct stat& before, const struct stat& after) {
  return sameContent(before, after) && before.st_ctim.tv_sec == after.st_ctim.tv_sec &&
         before.st_ctim.tv_nsec == after.st_ctim.tv_nsec;
}

constexpr int kOpenFlags = O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;

}  // namespace

Source::~Source() {
  releaseLease();
}

bool Source::open(const BatchRun& run, int folder, const std::string& name, bool looked, bool lease,
                  FileOutcome& outcome) {
  // Not a link, the common case, costs no look of its own.
  fd_.reset(openat(folder, name.c_str(), kOpenFlags | O_NOFOLLOW));
  struct stat link {};
  const bool isLink = !fd_.valid() && errno == ELOOP &&
                      fstatat(folder, name.c_str(), &link, AT_SYMLINK_NOFOLLOW) == 0 &&
                      S_ISLNK(link.st_mode);
  if (isLink) fd_.reset(openat(folder, name.c_str(), kOpenFlags));
  if (!fd_.valid() || fstat(fd_.get(), &opened_) != 0) {
    // Gone since the listing, or a dangling link: the search passes such a name over.
    if (!looked && errno == ENOENT) {
      outcome.notAFile = true;
    } else {
      outcome.report(LOG_ADD_FAILED, errno);
    }
    return false;
  }
  if (!looked && !S_ISREG(opened_.st_mode)) {
    outcome.notAFile = true;
    return false;
  }
  // As the kernel's protected_symlinks rule has it: a link planted by one user must not lead
  // another (root above all) to a file the planter could not read.
  if (isLink && link.st_uid != 0 && link.st_uid != opened_.st_uid) {
    outcome.report(LOG_UNSAFE_LINK, 0, ReportDetail::LinkOwner);
    return false;
  }
  if (!S_ISREG(opened_.st_mode)) {
    if (S_ISDIR(opened_.st_mode)) {
      outcome.report(LOG_ADD_FAILED, EISDIR);
    } else {
      outcome.report(LOG_ADD_FAILED, 0, ReportDetail::NotRegular);
    }
    return false;
  }
  // `vordex '*' -D > report.txt` would otherwise pack the report it writes, and delete it.
  if (run.isOwnOutput(opened_)) {
    outcome.report(LOG_SKIPPED, 0, ReportDetail::OwnOutput);
    return false;
  }
  if (!lease) return true;
  installLeaseHandler();
  LeaseSlot& slot = leases[slot_];
  slot.fd = fd_.get();
  // Marked held before it is: a break can come the moment it is granted.
  slot.state = kHeld;
  if (fcntl(fd_.get(), F_SETSIG, SIGIO) == 0 && fcntl(fd_.get(), F_SETLEASE, F_WRLCK) == 0) {
    leased_ = true;
    return true;
  }
  const int error = errno;
  slot.state = kNoLease;
  slot.fd = -1;
  if (error == EAGAIN) {
    outcome.report(LOG_IN_USE, 0, ReportDetail::InUse);
    return false;
  }
  return true;  // no lease to be had here: the delete checks the file instead
}

void Source::releaseLease() {
  if (!leased_) return;
  LeaseSlot& slot = leases[slot_];
  const int state = slot.state.exchange(kNoLease);
  if (state == kHeld || state == kDeleting) fcntl(fd_.get(), F_SETLEASE, F_UNLCK);
  slot.fd = -1;
  leased_ = false;
}

std::size_t Source::read(unsigned char* buffer, std::size_t size, int& error) {
  std::size_t filled = 0;
  const std::uint64_t known = this->size();
  while (filled < size && !atEnd_) {
    const std::size_t asked = size - filled;
    const ssize_t got = ::read(fd_.get(), buffer + filled, asked);
    if (got > 0) {
      filled += static_cast<std::size_t>(got);
      position_ += static_cast<std::uint64_t>(got);
      // Read up to the size it had when it was opened: no need to ask for the end. Read whole
      // by one call that asked for more and was given no more, the file told it ends there.
      if (known > 0 && position_ == known) {
        atEnd_ = true;
        readWhole_ =
            position_ == static_cast<std::uint64_t>(got) && static_cast<std::size_t>(got) < asked;
      }
    } else if (got == 0) {
      atEnd_ = true;
      readWhole_ = position_ == 0;
    } else if (errno == EAGAIN) {
      // Only a file with mandatory locks says this of a regular file: wait for it as a
      // blocking read would.
      usleep(1000);
    } else if (errno != EINTR) {
      error = errno;
      break;
    }
  }
  return filled;
}

bool Source::inUse() const {
  return leased_ && leases[slot_].state.load(std::memory_order_relaxed) == kBroken;
}

bool Source::changed(bool lookAgain) const {
  if (position_ != size()) return true;
  if (readWhole_ && !lookAgain) return false;
  struct stat now;
  return fstat(fd_.get(), &now) != 0 || !unchanged(opened_, now);
}

void Source::remove(int folder, const std::string& name, FileOutcome& outcome) {
  if (leased_) {
    int held = kHeld;
    if (!leases[slot_].state.compare_exchange_strong(held, kDeleting)) {
      outcome.keptBecause = ReportDetail::InUse;
      return;
    }
  }
  struct stat before, named;
  if (fstat(fd_.get(), &before) != 0 || !unchanged(opened_, before)) {
    outcome.report(LOG_CHANGED_WHILE_READ, 0, ReportDetail::Changed);
    return;
  }
  if (fstatat(folder, name.c_str(), &named, 0) != 0 || identityOf(named) != identityOf(opened_)) {
    outcome.report(LOG_CHANGED_WHILE_READ, 0, ReportDetail::NameMoved);
    return;
  }
  if (unlinkat(folder, name.c_str(), 0) != 0) {
    outcome.report(LOG_DELETE_FAILED, errno);
    return;
  }
  outcome.deleted = true;
  if (leased_) return;  // nobody could have written meanwhile
  // Without a lease a writer may have got in between the look and the delete. The unlink moves
  // the inode's time itself, so only size and data time tell.
  struct stat after;
  if (fstat(fd_.get(), &after) == 0 && sameContent(before, after)) return;
  outcome.deleted = false;
  outcome.report(LOG_CHANGED_WHILE_READ, writeBack(folder, name), ReportDetail::WrittenBack);
}

int Source::writeBack(int folder, const std::string& name) {
  Descriptor copy;
  for (const std::string& target : {name, name + ".restored"}) {
    copy.reset(openat(folder, target.c_str(),
                      O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC, 0600));
    if (copy.valid() || errno != EEXIST) break;
  }
  if (!copy.valid()) return errno;
  unsigned char buffer[65536];
  off_t offset = 0;
  for (;;) {
    const ssize_t got = pread(fd_.get(), buffer, sizeof buffer, offset);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return errno;
    if (got == 0) break;
    for (ssize_t done = 0; done < got;) {
      const ssize_t put =
          pwrite(copy.get(), buffer + done, static_cast<std::size_t>(got - done), offset + done);
      if (put < 0 && errno == EINTR) continue;
      if (put < 0) return errno;
      done += put;
    }
    offset += got;
  }
  struct stat now;
  if (fstat(fd_.get(), &now) == 0) {
    if (fchown(copy.get(), now.st_uid, now.st_gid) != 0) {
      // Not root: the copy stays this user's.
    }
    fchmod(copy.get(), now.st_mode & 07777);
    const timespec times[2] = {now.st_atim, now.st_mtim};
    futimens(copy.get(), times);
  }
  if (fsync(copy.get()) != 0 && errno != EINVAL) return errno;
  return copy.close() ? 0 : errno;
}
