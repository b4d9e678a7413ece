#include "driver/dir_search.h"

#include <dirent.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "core/naming.h"

namespace {

constexpr std::uint32_t kDosTimeFirst = (1u << 21) | (1u << 16);  // 1980-01-01 00:00:00
constexpr std::uint32_t kDosTimeLast = (127u << 25) | (12u << 21) | (31u << 16) | (23u << 11) |
                                       (59u << 5) | 29u;  // 2107-12-31 23:59:58

// The top bits of a name's offset in the listing's buffer say what the listing learnt of it.
constexpr std::uint32_t kSharesArchive = 0x80000000u;
constexpr std::uint32_t kRegular = 0x40000000u;  // the listing shows a regular file
constexpr std::uint32_t kOffset = kRegular - 1;
constexpr std::size_t kMaxNamesSize = kOffset - 256;

// Marks the names whose archive name another match shares, letter case aside (a file system
// may ignore it): only their archives can be met twice, so only they need remembering when made,
// and only they must wait for each other when workers pack side by side.
void markSharedBaseNames(FolderListing& search) {
  const char* names = search.names.data();
  std::vector<std::pair<std::string, std::uint32_t>> byArchive;
  byArchive.reserve(search.order.size());
  for (std::uint32_t i = 0; i < search.order.size(); ++i) {
    byArchive.emplace_back(namesakeKey(archiveNameOf(names + (search.order[i] & kOffset))), i);
  }
  std::sort(byArchive.begin(), byArchive.end());
  for (std::size_t i = 1; i < byArchive.size(); ++i) {
    if (byArchive[i - 1].first == byArchive[i].first) {
      search.order[byArchive[i - 1].second] |= kSharesArchive;
      search.order[byArchive[i].second] |= kSharesArchive;
    }
  }
}

}  // namespace

std::uint32_t dosDateTime(std::time_t time) {
  std::tm local{};
  if (localtime_r(&time, &local) == nullptr) return time < 0 ? kDosTimeFirst : kDosTimeLast;
  const long long year = static_cast<long long>(local.tm_year) + 1900;
  if (year < 1980) return kDosTimeFirst;
  if (year > 2107) return kDosTimeLast;
  // A leap second (tm_sec 60) halves to 30, which the five bits still hold.
  return (static_cast<std::uint32_t>(year - 1980) << 25) |
         (static_cast<std::uint32_t>(local.tm_mon + 1) << 21) |
         (static_cast<std::uint32_t>(local.tm_mday) << 16) |
         (static_cast<std::uint32_t>(local.tm_hour) << 11) |
         (static_cast<std::uint32_t>(local.tm_min) << 5) |
         (static_cast<std::uint32_t>(local.tm_sec) / 2);
}

namespace {

void sortNames(const std::string& names, std::vector<std::uint32_t>& order) {
  // Byte order makes runs repeatable whatever order the file system keeps.
  const char* base = names.data();
  std::sort(order.begin(), order.end(), [base](std::uint32_t a, std::uint32_t b) {
    return std::strcmp(base + (a & kOffset), base + (b & kOffset)) < 0;
  });
}

// The archives a folder holds: the names that end in ".zip", letters folded.
void keepArchive(std::vector<std::string>& archives, const char* name) {
  if (isZipName(name)) archives.push_back(namesakeKey(name));
}

bool holdsArchive(const std::vector<std::string>& archives, const std::string& archiveName) {
  return std::binary_search(archives.begin(), archives.end(), namesakeKey(archiveName));
}

// Reads the names of the folder's archives only; 0 or the errno.
int readArchives(int folder, std::vector<std::string>& archives) {
  const int copy = openat(folder, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  DIR* directory = copy < 0 ? nullptr : fdopendir(copy);
  if (directory == nullptr) {
    const int error = errno;
    if (copy >= 0) close(copy);
    return error;
  }
  errno = 0;
  while (const dirent* item = readdir(directory)) keepArchive(archives, item->d_name);
  const int error = errno;
  closedir(directory);
  std::sort(archives.begin(), archives.end());
  return error;
}

void keepName(std::string& names, std::vector<std::uint32_t>& order, const char* name,
              std::uint32_t flags = 0) {
  const std::size_t offset = names.size();
  if (offset > kMaxNamesSize) return;
  names.append(name, std::strlen(name) + 1);
  order.push_back(static_cast<std::uint32_t>(offset) | flags);
}

// A subfolder to walk into: a real folder (not a link to one) on the starting file system. One
// that cannot be looked at is kept too: opening it tells why, and that is reported.
bool isSubfolder(int folder, const dirent& item, dev_t device) {
  if (item.d_type != DT_DIR && item.d_type != DT_UNKNOWN) return false;
  struct stat status;
  if (fstatat(folder, item.d_name, &status, AT_SYMLINK_NOFOLLOW) != 0) return errno != ENOENT;
  return S_ISDIR(status.st_mode) && status.st_dev == device;
}

// Reads the listing's folder once. Returns 0 or the errno of the failure.
int readFolder(FolderListing& listing, const DirectorySearch& search) {
  // The listing reads through a copy, so the folder's own descriptor stays for the run.
  const int copy = fcntl(listing.folder->get(), F_DUPFD_CLOEXEC, 0);
  DIR* directory = copy < 0 ? nullptr : fdopendir(copy);
  if (directory == nullptr) {
    const int error = errno;
    if (copy >= 0) close(copy);
    return error;
  }
  int error = 0;
  for (;;) {
    errno = 0;
    const dirent* item = readdir(directory);
    if (item == nullptr) {
      error = errno;  // 0 at the end of the listing
      break;
    }
    const char* name = item->d_name;
    if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) continue;
    if (fnmatch(search.pattern.c_str(), name, 0) == 0) {
      keepName(listing.names, listing.order, name, item->d_type == DT_REG ? kRegular : 0);
    }
    if (!search.archivesElsewhere) keepArchive(listing.archives, name);
    if (search.recursive && isSubfolder(listing.folder->get(), *item, search.device)) {
      keepName(listing.subfolderNames, listing.subfolders, name);
    }
  }
  closedir(directory);
  std::sort(listing.archives.begin(), listing.archives.end());
  sortNames(listing.names, listing.order);
  sortNames(listing.subfolderNames, listing.subfolders);
  listing.names.shrink_to_fit();
  listing.order.shrink_to_fit();
  markSharedBaseNames(listing);
  return error;
}

}  // namespace

void startSearch(DirectorySearch& search, int workDir, std::string_view mask, bool recursive) {
  search.stack.clear();
  search.error = 0;
  search.recursive = recursive;
  MaskParts parts = splitMask(mask);
  const std::string& folder = parts.folder;
  search.pattern = std::move(parts.pattern);

  auto start = std::make_shared<Descriptor>(
      openat(workDir, folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  search.start = start;
  struct stat status;
  if (!start->valid() || fstat(start->get(), &status) != 0) {
    search.error = errno;
    return;
  }
  search.device = status.st_dev;
  // Without -R archives go to the working folder: when that is not the mask's, its archives
  // are read from it once. Where it cannot be read, every archive name is looked at instead.
  struct stat work;
  search.archivesElsewhere =
      !recursive &&
      !(fstat(workDir, &work) == 0 && work.st_dev == status.st_dev && work.st_ino == status.st_ino);
  search.workArchives.clear();
  search.archivesKnown =
      !search.archivesElsewhere || readArchives(workDir, search.workArchives) == 0;
  FolderListing& top = search.stack.emplace_back();
  top.folder = start;
  search.error = readFolder(top, search);
  if (search.error != 0) search.stack.clear();
}

SearchStep nextSearchStep(DirectorySearch& search, SearchEntry& entry, int* error) {
  while (!search.stack.empty()) {
    FolderListing& listing = search.stack.back();
    while (listing.next < listing.order.size()) {
      const std::uint32_t item = listing.order[listing.next++];
      entry.name.assign(listing.names.data() + (item & kOffset));
      entry.prefix = listing.prefix;
      entry.folder = listing.folder;
      entry.sharesArchive = (item & kSharesArchive) != 0;
      const std::vector<std::string>& archives =
          search.archivesElsewhere ? search.workArchives : listing.archives;
      entry.archiveMayExist = entry.sharesArchive || !search.archivesKnown ||
                              holdsArchive(archives, archiveNameOf(entry.name));
      entry.looked = false;
      entry.lookError = 0;
      if (isTempArchiveName(entry.name)) return SearchStep::TempArchive;
      const bool openToLook = search.openToLook && (item & kRegular) != 0 && !entry.archiveMayExist;
      if (!search.lookLater && !openToLook && !lookAtEntry(entry)) continue;
      return SearchStep::File;
    }
    if (listing.nextSubfolder == listing.subfolders.size()) {
      search.stack.pop_back();
      continue;
    }
    // Down into the next subfolder, read once now that the walk reaches it.
    const char* name = listing.subfolderNames.data() + listing.subfolders[listing.nextSubfolder++];
    FolderListing below;
    below.prefix = listing.prefix + name + "/";
    auto folder = std::make_shared<Descriptor>(
        openat(listing.folder->get(), name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    struct stat status;
    // Swapped for a link or another file system since it was listed: passed over as such.
    if (!folder->valid() && (errno == ELOOP || errno == ENOTDIR || errno == ENOENT)) continue;
    int failure = folder->valid() ? 0 : errno;
    if (failure == 0 &&
        (fstat(folder->get(), &status) != 0 || status.st_dev != search.device ||
         (status.st_dev == search.passOverDevice && status.st_ino == search.passOverInode))) {
      continue;
    }
    below.folder = std::move(folder);
    if (failure == 0) failure = readFolder(below, search);
    if (failure != 0) {
      entry.prefix = std::move(below.prefix);
      *error = failure;
      return SearchStep::FolderFailed;
    }
    search.stack.push_back(std::move(below));
  }
  return SearchStep::End;
}

bool lookAtEntry(SearchEntry& entry) {
  // Following links: a link to a regular file is yielded, one to a folder or a FIFO is not.
  struct stat status;
  entry.looked = true;
  if (fstatat(entry.folder->get(), entry.name.c_str(), &status, 0) != 0) {
    // Gone since the listing, or a dangling link, is no file; anything else is a failure.
    entry.lookError = errno == ENOENT ? 0 : errno;
    return entry.lookError != 0;
  }
  if (!S_ISREG(status.st_mode)) return false;
  entry.size = static_cast<std::uint64_t>(status.st_size);
  entry.time = dosDateTime(status.st_mtime);
  entry.modified = status.st_mtime;
  entry.device = static_cast<std::uint64_t>(status.st_dev);
  entry.inode = static_cast<std::uint64_t>(status.st_ino);
  return true;
}
