#include "driver/commit.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace {

// fsync, taking a file system that cannot sync at all (EINVAL) as it is.
int syncToDisk(int fd) {
  return fsync(fd) == 0 || errno == EINVAL ? 0 : errno;
}

// The archive -O decided to replace is still the one at the name, as it was read.
bool stillThere(int folder, const std::string& archiveName, const struct stat& decided) {
  struct stat now;
  return fstatat(folder, archiveName.c_str(), &now, AT_SYMLINK_NOFOLLOW) == 0 &&
         identityOf(now) == identityOf(decided) && sameContent(now, decided);
}

// Unlinks the name when it still names that file.
bool removeNamed(int folder, const std::string& name, const FileIdentity& file) {
  struct stat named;
  return fstatat(folder, name.c_str(), &named, AT_SYMLINK_NOFOLLOW) == 0 &&
         identityOf(named) == file && unlinkat(folder, name.c_str(), 0) == 0;
}

}  // namespace

void commitArchive(BatchRun& run, const Folders& folders, TempArchive& temp,
                   const std::string& archiveName, const SearchEntry& entry, Source& source,
                   const ExistingArchive& existing, const WrittenArchive& written,
                   ArchiveReader& reader, FileOutcome& outcome) {
  const RunOptions& options = run.options;
  // Before a delete the file is looked at once more; otherwise a file read whole in one call
  // needs no second look.
  const bool changed = source.changed(options.deleteAfterZipping);
  const bool replacing = existing.present;
  // On Linux unlink ignores the file's own mode; a file its owner may not write stands for one
  // the user wants kept, as a read-only file is kept where erasing it fails.
  const bool writable = (source.opened().st_mode & S_IWUSR) != 0;
  const bool erasing = options.deleteAfterZipping && !changed && writable;
  temp.dressAs(source.opened(), run.umask);
  // Before anything is destroyed the archive is on disk and reads back as the source's data.
  if (erasing || replacing) {
    if (const int error = syncToDisk(temp.fd())) {
      outcome.report(LOG_CLOSE_FAILED, error);
      return;
    }
    if (const int error =
            reader.verify(folders.archive, temp.name(), written.size, written.entry)) {
      outcome.report(LOG_VERIFY_FAILED, error == EBADMSG ? 0 : error, ReportDetail::BadArchive);
      return;
    }
  }
  if (source.inUse()) {
    outcome.report(LOG_IN_USE, 0, ReportDetail::InUse);
    return;
  }
  if (replacing && !stillThere(folders.archive, archiveName, existing.status)) {
    outcome.report(LOG_SKIPPED, 0, ReportDetail::ArchiveExists);
    return;
  }
  // Only an archive of this same file is replaced; anywhere else the rename never replaces
  // anything, so two files that meet at one name (a case-insensitive file system, another run)
  // never end in one archive.
  if (const int error = temp.commit(archiveName, replacing)) {
    if (!temp.committed()) {
      if (error == EEXIST) {
        outcome.report(LOG_SKIPPED, 0, ReportDetail::ArchiveExists);
      } else {
        outcome.report(LOG_OPEN_FAILED, error);
      }
      return;
    }
    // The close failed after the rename: a new archive that may not be whole is taken away
    // again; one that replaced another was synced and read back before.
    outcome.report(LOG_CLOSE_FAILED, error);
    outcome.committed = replacing || !removeNamed(folders.archive, archiveName, temp.identity());
    return;
  }
  outcome.committed = true;
  // What this run made is remembered where it can be met again: under -O, for a name that
  // another file of the folder shares, and where the run places archives (a list's names from
  // several folders, an output folder) and cannot know beforehand which names meet.
  if (options.overwriteArchives || entry.sharesArchive || entry.archiveFolder) {
    run.rememberMade(temp.identity());
  }
  if (changed) {
    outcome.report(LOG_CHANGED_WHILE_READ, 0, ReportDetail::Changed);
    return;
  }
  if (!options.deleteAfterZipping) return;
  if (!writable) {
    outcome.keptBecause = ReportDetail::ReadOnly;
    return;
  }
  if (const int error = syncToDisk(folders.archive)) {
    outcome.report(LOG_DELETE_FAILED, error, ReportDetail::FolderNotSynced);
    return;
  }
  source.remove(folders.source, entry.name, outcome);
}
