#include "driver/out_of_memory.h"

#include <sys/stat.h>
#include <unistd.h>

#include <atomic>

#include "core/run_data.h"
#include "driver/temp_archive.h"

namespace {

std::atomic<void (*)()> outOfMemoryHook{nullptr};

}  // namespace

void setOutOfMemoryHook(void (*hook)()) {
  outOfMemoryHook = hook;
}

void outOfMemory() {
  // Nothing here may allocate: this runs when an allocation has just failed.
  removeTempFiles();
  if (void (*hook)() = outOfMemoryHook.load()) hook();
  static const char kReport[] = "Vordex: out of memory\n";
  [[maybe_unused]] const ssize_t written = write(STDOUT_FILENO, kReport, sizeof kReport - 1);
  // Standard error too, where scripts look for failures, unless it is the very same file.
  struct stat out, err;
  if (fstat(STDOUT_FILENO, &out) != 0 || fstat(STDERR_FILENO, &err) != 0 ||
      out.st_dev != err.st_dev || out.st_ino != err.st_ino) {
    [[maybe_unused]] const ssize_t again = write(STDERR_FILENO, kReport, sizeof kReport - 1);
  }
  _exit(kExitOutOfMemory);
}
