// Loaded with LD_PRELOAD into the program under test: makes system calls fail or misbehave at
// their boundary, as a failing disk, a file system that refuses them or another process would.
//   VORDEX_FAIL=fsync      every fsync fails with EIO
//   VORDEX_FAIL=dirsync    fsync fails with EIO on folders only
//   VORDEX_FAIL=rename     renameat, renameat2 and linkat fail with EIO
//   VORDEX_FAIL=norename2  renameat2 says EINVAL and linkat EPERM, as on a file system that
//                          has neither, so the last fallback commits
//   VORDEX_FAIL=flip       one byte in the middle of each temporary archive's data is flipped
//                          as it is written
//   VORDEX_FAIL=dtype      readdir reports every type as unknown, as some file systems do
//   VORDEX_APPEND=PATH     a line is appended to PATH, by this process, at the call named by
//   VORDEX_APPEND_AT=fsync|unlinkat   (just before the call itself)
// It also counts the program's writes to a terminal:
//   VORDEX_COUNT_WRITES=FILE   the number of write calls on a terminal, written to FILE at exit

#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

bool failing(const char* call) {
  const char* which = std::getenv("VORDEX_FAIL");
  return which != nullptr && std::strcmp(which, call) == 0;
}

template <typename Function>
Function real(const char* name) {
  return reinterpret_cast<Function>(dlsym(RTLD_NEXT, name));
}

void appendAt(const char* call) {
  const char* at = std::getenv("VORDEX_APPEND_AT");
  const char* path = std::getenv("VORDEX_APPEND");
  if (at == nullptr || path == nullptr || std::strcmp(at, call) != 0) return;
  const int fd = open(path, O_WRONLY | O_APPEND | O_CLOEXEC);
  if (fd < 0) return;
  static const char kLine[] = "a line appended by another writer\n";
  [[maybe_unused]] const ssize_t written =
      real<ssize_t (*)(int, const void*, size_t)>("write")(fd, kLine, sizeof kLine - 1);
  close(fd);
}

// A temporary archive: ".NAME.zip.XXXXXXXX".
bool isTempArchive(int fd) {
  char link[64], path[PATH_MAX];
  std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
  const ssize_t length = readlink(link, path, sizeof path - 1);
  if (length <= 0) return false;
  path[length] = '\0';
  const char* name = std::strrchr(path, '/');
  name = name == nullptr ? path : name + 1;
  const std::size_t size = std::strlen(name);
  return name[0] == '.' && size > 14 && std::strncmp(name + size - 13, ".zip.", 5) == 0;
}

bool isFolder(int fd) {
  struct stat status;
  return fstat(fd, &status) == 0 && S_ISDIR(status.st_mode);
}

std::atomic<long> terminalWrites{0};

struct WriteCount {
  ~WriteCount() {
    const char* path = std::getenv("VORDEX_COUNT_WRITES");
    if (path == nullptr) return;
    if (FILE* out = std::fopen(path, "w")) {
      std::fprintf(out, "%ld\n", terminalWrites.load());
      std::fclose(out);
    }
  }
} writeCount;

}  // namespace

extern "C" {

ssize_t write(int fd, const void* data, size_t size) {
  if (isatty(fd)) ++terminalWrites;
  return real<ssize_t (*)(int, const void*, size_t)>("write")(fd, data, size);
}

ssize_t pwrite(int fd, const void* data, size_t size, off_t offset) {
  const auto next = real<ssize_t (*)(int, const void*, size_t, off_t)>("pwrite");
  // Past the headers, in the data: the archive's own checks cannot tell, only a reader can.
  if (failing("flip") && size > 200 && isTempArchive(fd)) {
    std::vector<unsigned char> copy(static_cast<const unsigned char*>(data),
                                    static_cast<const unsigned char*>(data) + size);
    copy[size / 2] ^= 0x01;
    return next(fd, copy.data(), size, offset);
  }
  return next(fd, data, size, offset);
}

ssize_t pwrite64(int fd, const void* data, size_t size, off_t offset) {
  return pwrite(fd, data, size, offset);
}

int fsync(int fd) {
  appendAt("fsync");
  if (failing("fsync") || (failing("dirsync") && isFolder(fd))) {
    errno = EIO;
    return -1;
  }
  return real<int (*)(int)>("fsync")(fd);
}

int unlinkat(int dir, const char* path, int flags) {
  appendAt("unlinkat");
  return real<int (*)(int, const char*, int)>("unlinkat")(dir, path, flags);
}

int renameat(int fromDir, const char* from, int toDir, const char* to) {
  if (failing("rename")) {
    errno = EIO;
    return -1;
  }
  return real<int (*)(int, const char*, int, const char*)>("renameat")(fromDir, from, toDir, to);
}

int renameat2(int fromDir, const char* from, int toDir, const char* to, unsigned flags) {
  if (failing("rename") || failing("norename2")) {
    errno = failing("rename") ? EIO : EINVAL;
    return -1;
  }
  return real<int (*)(int, const char*, int, const char*, unsigned)>("renameat2")(fromDir, from,
                                                                                  toDir, to, flags);
}

int linkat(int fromDir, const char* from, int toDir, const char* to, int flags) {
  if (failing("rename") || failing("norename2")) {
    errno = failing("rename") ? EIO : EPERM;
    return -1;
  }
  return real<int (*)(int, const char*, int, const char*, int)>("linkat")(fromDir, from, toDir, to,
                                                                          flags);
}

struct dirent* readdir(DIR* folder) {
  struct dirent* item = real<struct dirent* (*)(DIR*)>("readdir")(folder);
  if (item != nullptr && failing("dtype")) item->d_type = DT_UNKNOWN;
  return item;
}

struct dirent64* readdir64(DIR* folder) {
  struct dirent64* item = real<struct dirent64* (*)(DIR*)>("readdir64")(folder);
  if (item != nullptr && failing("dtype")) item->d_type = DT_UNKNOWN;
  return item;
}
}
