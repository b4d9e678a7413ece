#include "driver/temp_files.h"

#include <fcntl.h>
#include <limits.h>
#include <unistd.h>

#include <atomic>
#include <cstring>

namespace {

struct Slot {
  std::atomic<bool> live{false};
  int folderFd = -1;
  char name[NAME_MAX + 1] = {};
};

// Read by signal handlers: the name is complete before live is set, and live is cleared before
// the name is changed.
Slot slots[kTempSlots];

}  // namespace

void recordTempFile(int slot, int folderFd, const char* name) {
  Slot& s = slots[slot];
  s.live.store(false);
  const std::size_t length = std::strlen(name);
  if (length >= sizeof s.name) return;  // too long to have been created either
  std::memcpy(s.name, name, length + 1);
  s.folderFd = folderFd;
  s.live.store(true);
}

void forgetTempFile(int slot) {
  slots[slot].live.store(false);
}

void removeTempFiles() {
  for (Slot& s : slots) {
    if (s.live.exchange(false)) unlinkat(s.folderFd, s.name, 0);
  }
}
