#include "driver/selection.h"

#include <fcntl.h>
#include <fnmatch.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>

#include "core/naming.h"

namespace {

constexpr int kFolderFlags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;

// One key for every path of one folder; a folder that is not there is known by its path.
std::string keyOf(const Descriptor& folder, const std::string& path) {
  struct stat status;
  if (!folder.valid() || fstat(folder.get(), &status) != 0) return path;
  return std::to_string(status.st_dev) + ":" + std::to_string(status.st_ino) + "/";
}

// Makes every missing folder of path, as mkdir -p does; 0 or the errno of the failure. mode is
// asked for each (the umask applies) or, with modeOf, taken from the folder it mirrors.
int makeFolders(int at, const std::string& path, mode_t mode, int modeOf = -1) {
  for (std::size_t slash = 0; slash != std::string::npos;) {
    slash = path.find('/', slash + 1);
    const std::string part = path.substr(0, slash);
    struct stat mirrored;
    const mode_t wanted = modeOf >= 0 && fstatat(modeOf, part.c_str(), &mirrored, 0) == 0
                              ? (mirrored.st_mode & 0777)
                              : mode;
    if (!part.empty() && mkdirat(at, part.c_str(), wanted) != 0 && errno != EEXIST) return errno;
  }
  return 0;
}

// The path a pattern with a '/' is matched against: from the starting folder, or as listed
// without a leading "./" (find's way of listing the current folder).
std::string relativePath(const SearchEntry& entry) {
  std::string_view prefix = entry.prefix;
  while (prefix.substr(0, 2) == "./") prefix.remove_prefix(2);
  return std::string(prefix) + entry.name;
}

}  // namespace

Selection::Selection(const BatchRun& run) : options_(run.options), workDir_(run.workDir.get()) {
  if (options_.olderThan >= 0) {
    newest_ = static_cast<std::int64_t>(std::time(nullptr)) - options_.olderThan;
  }
  if (!options_.outputDir.empty()) {
    const std::string& path = options_.outputDir;
    int error = options_.dryRun ? 0 : makeFolders(workDir_, path, 0777);
    const int fd = openat(workDir_, path.c_str(), kFolderFlags);
    if (error == 0 && fd < 0 && !(options_.dryRun && errno == ENOENT)) error = errno;
    output_ =
        folderFor(std::make_shared<Descriptor>(fd), error, path.back() == '/' ? path : path + "/");
  }
  if (!options_.fileList.empty()) {
    list_.reset(options_.fileList == "-"
                    ? fcntl(STDIN_FILENO, F_DUPFD_CLOEXEC, 0)
                    : openat(workDir_, options_.fileList.c_str(), O_RDONLY | O_CLOEXEC));
    if (!list_.valid()) {
      listError_ = errno;
      listEnded_ = true;
    }
    return;
  }
  startSearch(search_, workDir_, options_.fileMask, options_.recursive);
  // Archives mirrored below the tree's own folders are not packed again.
  struct stat output;
  if (output_ && output_->folder->valid() && fstat(output_->folder->get(), &output) == 0) {
    search_.passOverDevice = output.st_dev;
    search_.passOverInode = output.st_ino;
  }
}

void Selection::lookLater(bool byOpening) {
  if (options_.olderThan >= 0) return;
  if (byOpening) {
    search_.openToLook = true;
  } else {
    search_.lookLater = true;
  }
}

int Selection::folderError() const {
  const int error = search_.error;
  return error == ENOENT || error == ENOTDIR ? 0 : error;
}

SearchStep Selection::next(SearchEntry& entry, int* error) {
  const bool listed = !options_.fileList.empty();
  for (;;) {
    const SearchStep step = listed ? nextListed(entry) : nextSearchStep(search_, entry, error);
    if (step == SearchStep::End || step == SearchStep::FolderFailed) return step;
    if (excluded(entry)) continue;
    if (step == SearchStep::TempArchive) return step;
    if (!entry.looked && (listed || options_.olderThan >= 0) && !lookAtEntry(entry)) {
      // A name listed that is not there at all is a failure; one that is no file is passed over.
      struct stat link;
      if (listed && entry.lookError == 0 &&
          fstatat(entry.folder->get(), entry.name.c_str(), &link, AT_SYMLINK_NOFOLLOW) != 0) {
        entry.lookError = errno;
      }
      if (entry.lookError == 0) continue;
    }
    if (options_.olderThan >= 0 && entry.lookError == 0 && entry.modified >= newest_) continue;
    if (listed) {
      entry.sharesArchive = !listedArchives_.insert(namesakeOf(entry)).second;
    } else if (output_) {
      entry.archiveFolder = options_.recursive ? mirrored(entry) : output_;
      // The listing said nothing of the output folder: its archive names are looked at.
      entry.archiveMayExist = true;
    }
    return step;
  }
}

SearchStep Selection::nextListed(SearchEntry& entry) {
  std::string path;
  while (readListName(path)) {
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    if (path.empty()) continue;
    const std::size_t slash = path.rfind('/');
    const std::string folder = slash == std::string::npos ? "" : path.substr(0, slash + 1);
    if (!lastSource_ || folder != lastFolder_) {
      const int fd = openat(workDir_, folder.empty() ? "." : folder.c_str(), kFolderFlags);
      lastSourceError_ = fd < 0 ? errno : 0;
      lastSource_ = std::make_shared<Descriptor>(fd);
      lastFolder_ = folder;
      lastArchive_ = output_ ? output_ : folderFor(lastSource_, lastSourceError_, folder);
    }
    entry.name.assign(path, folder.size());
    entry.prefix = folder;
    entry.folder = lastSource_;
    entry.archiveFolder = lastArchive_;
    entry.sharesArchive = false;
    entry.archiveMayExist = true;
    // A folder that cannot be opened fails each of its names.
    entry.looked = lastSourceError_ != 0;
    entry.lookError = lastSourceError_;
    return isTempArchiveName(entry.name) ? SearchStep::TempArchive : SearchStep::File;
  }
  return SearchStep::End;
}

bool Selection::readListName(std::string& name) {
  for (;;) {
    const std::size_t end = listBuffer_.find(options_.listSeparator, listUsed_);
    if (end != std::string::npos) {
      name.assign(listBuffer_, listUsed_, end - listUsed_);
      listUsed_ = end + 1;
      return true;
    }
    if (listEnded_) {
      // A last name without its separator counts, unless the read that would end it failed.
      if (listError_ != 0 || listUsed_ == listBuffer_.size()) return false;
      name.assign(listBuffer_, listUsed_);
      listUsed_ = listBuffer_.size();
      return true;
    }
    listBuffer_.erase(0, listUsed_);
    listUsed_ = 0;
    char chunk[1 << 16];
    const ssize_t got = read(list_.get(), chunk, sizeof chunk);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) {
      listError_ = got < 0 ? errno : 0;
      listEnded_ = true;
      continue;
    }
    listBuffer_.append(chunk, static_cast<std::size_t>(got));
  }
}

bool Selection::excluded(const SearchEntry& entry) const {
  for (const std::string& pattern : options_.excludes) {
    const bool path = pattern.find('/') != std::string::npos;
    const std::string subject = path ? relativePath(entry) : entry.name;
    if (fnmatch(pattern.c_str(), subject.c_str(), 0) == 0) return true;
  }
  return false;
}

std::shared_ptr<const ArchiveFolder> Selection::mirrored(const SearchEntry& entry) {
  if (entry.prefix.empty() || output_->error != 0) return output_;
  if (lastArchive_ && entry.prefix == lastFolder_) return lastArchive_;
  // Missing in a dry run: nothing is made, and nothing stands in it.
  const int root = output_->folder->get();
  int error = 0;
  if (!options_.dryRun) {
    error = makeFolders(root, entry.prefix, 0700, search_.start ? search_.start->get() : -1);
  }
  const int fd = root < 0 ? -1 : openat(root, entry.prefix.c_str(), kFolderFlags | O_NOFOLLOW);
  if (error == 0 && fd < 0 && !(options_.dryRun && (root < 0 || errno == ENOENT))) error = errno;
  lastFolder_ = entry.prefix;
  lastArchive_ = folderFor(std::make_shared<Descriptor>(fd), error, output_->shown + entry.prefix);
  return lastArchive_;
}

std::shared_ptr<const ArchiveFolder> Selection::folderFor(std::shared_ptr<const Descriptor> folder,
                                                          int error, std::string shown) const {
  auto archive = std::make_shared<ArchiveFolder>();
  archive->key = keyOf(*folder, shown);
  archive->folder = std::move(folder);
  archive->error = error;
  archive->shown = std::move(shown);
  return archive;
}

std::string namesakeOf(const SearchEntry& entry) {
  return (entry.archiveFolder ? entry.archiveFolder->key : entry.prefix) +
         namesakeKey(archiveNameOf(entry.name));
}
