#include "driver/decision.h"

#include <fcntl.h>
#include <limits.h>
#include <unistd.h>

#include <cerrno>

#include "core/naming.h"
#include "driver/descriptor.h"
#include "driver/verify.h"

namespace {

// -O replaces an archive only when it holds this file alone: anything else there may be the
// only copy of some other file.
bool mayReplace(int folder, const std::string& archiveName, const std::string& entryName,
                FileOutcome& outcome) {
  Descriptor fd(openat(folder, archiveName.c_str(),
                       O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  if (!fd.valid()) {
    outcome.report(LOG_OPEN_FAILED, errno);
    return false;
  }
  int error = 0;
  switch (archiveHolds(fd.get(), entryName, &error)) {
    case ArchiveHolds::OnlyThisFile:
      return true;
    case ArchiveHolds::OtherEntries:
      outcome.report(LOG_OTHER_ARCHIVE, 0, ReportDetail::OtherEntries);
      return false;
    case ArchiveHolds::NotAZip:
      if (error != 0) {
        outcome.report(LOG_OPEN_FAILED, error);
      } else {
        outcome.report(LOG_OTHER_ARCHIVE, 0, ReportDetail::NotAZip);
      }
      return false;
  }
  return false;
}

}  // namespace

bool decide(BatchRun& run, const Folders& folders, const SearchEntry& entry,
            const std::string& archiveName, ExistingArchive& existing, FileOutcome& outcome) {
  if (isZipName(entry.name)) {
    outcome.report(LOG_SKIPPED, 0, ReportDetail::ZipSource);
    return false;
  }
  if (archiveName.size() > NAME_MAX) {
    outcome.report(LOG_OPEN_FAILED, ENAMETOOLONG);
    return false;
  }
  // Nothing stood at the name when the folder was read: the commit's rename, which never
  // replaces what was not decided on, meets whatever came meanwhile.
  if (!entry.archiveMayExist) return true;
  struct stat& status = existing.status;
  if (fstatat(folders.archive, archiveName.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0) {
    return true;  // nothing there, or nothing to be learnt: creating the archive will tell
  }
  if (S_ISDIR(status.st_mode)) {
    outcome.report(LOG_OPEN_FAILED, EISDIR);
    return false;
  }
  const bool regular = S_ISREG(status.st_mode);
  if (regular && run.madeThisRun(status)) {
    outcome.report(LOG_SKIPPED, 0, ReportDetail::MadeThisRun);
    return false;
  }
  if (!run.options.overwriteArchives) {
    outcome.report(LOG_SKIPPED, 0, ReportDetail::ArchiveExists);
    return false;
  }
  if (!regular) {
    // A FIFO, a device or a link there is left alone, -O or not.
    outcome.report(LOG_OPEN_FAILED, EEXIST);
    return false;
  }
  // The archive name names the source itself (a hard link, a link to it, a file system that
  // ignores case): replacing it would destroy the source.
  struct stat source;
  if (fstatat(folders.source, entry.name.c_str(), &source, 0) == 0 &&
      identityOf(source) == identityOf(status)) {
    outcome.report(LOG_OPEN_FAILED, EEXIST, ReportDetail::SameFile);
    return false;
  }
  if (run.isOwnOutput(status)) {
    outcome.report(LOG_SKIPPED, 0, ReportDetail::OwnOutput);
    return false;
  }
  if (!mayReplace(folders.archive, archiveName, entry.name, outcome)) return false;
  existing.present = true;
  return true;
}
