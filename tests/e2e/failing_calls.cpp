// Loaded with LD_PRELOAD into the program under test: makes fsync or the renames fail at the
// system call boundary, as a failing disk or a file system that refuses them would.
//   VORDEX_FAIL=fsync    every fsync fails with EIO
//   VORDEX_FAIL=rename   renameat, renameat2 and linkat fail with EIO
// It also counts the program's writes to a terminal:
//   VORDEX_COUNT_WRITES=FILE   the number of write calls on a terminal, written to FILE at exit

#include <dlfcn.h>
#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

bool failing(const char* call) {
  const char* which = std::getenv("VORDEX_FAIL");
  return which != nullptr && std::strcmp(which, call) == 0;
}

template <typename Function>
Function real(const char* name) {
  return reinterpret_cast<Function>(dlsym(RTLD_NEXT, name));
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

int fsync(int fd) {
  if (failing("fsync")) {
    errno = EIO;
    return -1;
  }
  return real<int (*)(int)>("fsync")(fd);
}

int renameat(int fromDir, const char* from, int toDir, const char* to) {
  if (failing("rename")) {
    errno = EIO;
    return -1;
  }
  return real<int (*)(int, const char*, int, const char*)>("renameat")(fromDir, from, toDir, to);
}

int renameat2(int fromDir, const char* from, int toDir, const char* to, unsigned flags) {
  if (failing("rename")) {
    errno = EIO;
    return -1;
  }
  return real<int (*)(int, const char*, int, const char*, unsigned)>("renameat2")(fromDir, from,
                                                                                  toDir, to, flags);
}

int linkat(int fromDir, const char* from, int toDir, const char* to, int flags) {
  if (failing("rename")) {
    errno = EIO;
    return -1;
  }
  return real<int (*)(int, const char*, int, const char*, int)>("linkat")(fromDir, from, toDir, to,
                                                                          flags);
}
}
