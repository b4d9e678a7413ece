#include "driver/out_of_memory.h"

#include <unistd.h>

#include "console/console.h"
#include "driver/batch.h"
#include "driver/temp_files.h"

void outOfMemory() {
  // Nothing here may allocate: this runs when an allocation has just failed.
  removeTempFiles();
  restoreTerminalNow();
  static const char kReport[] = "Vordex: out of memory\n";
  [[maybe_unused]] const ssize_t written = write(STDOUT_FILENO, kReport, sizeof kReport - 1);
  _exit(kExitOutOfMemory);
}
