#include "driver/dir_search.h"

#include <dirent.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace {

constexpr std::uint32_t kDosTimeFirst = (1u << 21) | (1u << 16);  // 1980-01-01 00:00:00
constexpr std::uint32_t kDosTimeLast = (127u << 25) | (12u << 21) | (31u << 16) | (23u << 11) |
                                       (59u << 5) | 29u;  // 2107-12-31 23:59:58

constexpr std::uint32_t kSharesArchive = 0x80000000u;
constexpr std::size_t kMaxNamesSize = kSharesArchive - 256;

std::string_view baseNameOf(const char* name) {
  const std::string_view whole(name);
  return whole.substr(0, whole.rfind('.'));
}

// Marks the names whose base name another match shares: only their archives can be met twice,
// so only they need remembering when made.
void markSharedBaseNames(DirectorySearch& search) {
  const char* names = search.names.data();
  std::vector<std::uint32_t> byBase(search.order.size());
  for (std::uint32_t i = 0; i < byBase.size(); ++i) byBase[i] = i;
  const auto base = [&](std::uint32_t index) {
    return baseNameOf(names + (search.order[index] & ~kSharesArchive));
  };
  std::sort(byBase.begin(), byBase.end(),
            [&](std::uint32_t a, std::uint32_t b) { return base(a) < base(b); });
  for (std::size_t i = 1; i < byBase.size(); ++i) {
    if (base(byBase[i - 1]) == base(byBase[i])) {
      search.order[byBase[i - 1]] |= kSharesArchive;
      search.order[byBase[i]] |= kSharesArchive;
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

void startSearch(DirectorySearch& search, int workDir, std::string_view mask) {
  search.names.clear();
  search.order.clear();
  search.next = 0;
  search.error = 0;
  const std::size_t slash = mask.rfind('/');
  const std::string folder =
      slash == std::string_view::npos ? std::string(".") : std::string(mask.substr(0, slash + 1));
  const std::string pattern(slash == std::string_view::npos ? mask : mask.substr(slash + 1));

  search.folder.reset(openat(workDir, folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!search.folder.valid()) {
    search.error = errno;
    return;
  }
  // The listing reads through a copy, so the folder's own descriptor stays for the run.
  const int listing = fcntl(search.folder.get(), F_DUPFD_CLOEXEC, 0);
  DIR* directory = listing < 0 ? nullptr : fdopendir(listing);
  if (directory == nullptr) {
    search.error = errno;
    if (listing >= 0) close(listing);
    return;
  }
  for (;;) {
    errno = 0;
    const dirent* item = readdir(directory);
    if (item == nullptr) {
      search.error = errno;  // 0 at the end of the listing
      break;
    }
    const char* name = item->d_name;
    if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) continue;
    if (fnmatch(pattern.c_str(), name, 0) != 0) continue;
    const std::size_t offset = search.names.size();
    if (offset > kMaxNamesSize) break;
    search.names.append(name, std::strlen(name) + 1);
    search.order.push_back(static_cast<std::uint32_t>(offset));
  }
  closedir(directory);

  // Byte order makes runs repeatable whatever order the file system keeps.
  const char* base = search.names.data();
  std::sort(search.order.begin(), search.order.end(), [base](std::uint32_t a, std::uint32_t b) {
    return std::strcmp(base + a, base + b) < 0;
  });
  search.names.shrink_to_fit();
  search.order.shrink_to_fit();
  markSharedBaseNames(search);
}

bool nextSearchEntry(DirectorySearch& search, SearchEntry& entry) {
  while (search.next < search.order.size()) {
    const std::uint32_t item = search.order[search.next++];
    const char* name = search.names.data() + (item & ~kSharesArchive);
    // Following links: a link to a regular file is yielded, one to a folder or a FIFO is not.
    struct stat status;
    if (fstatat(search.folder.get(), name, &status, 0) != 0 || !S_ISREG(status.st_mode)) continue;
    entry.name.assign(name);
    entry.sharesArchive = (item & kSharesArchive) != 0;
    entry.size = static_cast<std::uint64_t>(status.st_size);
    entry.time = dosDateTime(status.st_mtime);
    return true;
  }
  return false;
}
