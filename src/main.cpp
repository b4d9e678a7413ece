#include <csignal>
#include <new>
#include <string>
#include <vector>

#include "console/console.h"
#include "driver/archive.h"
#include "driver/batch.h"
#include "driver/out_of_memory.h"

int main(int argc, char** argv) {
  // Past a file-size limit a write then fails and is reported (codes 4 and 5) instead of the
  // signal ending the run with a half-written archive.
  std::signal(SIGXFSZ, SIG_IGN);
  std::set_new_handler(outOfMemory);
  std::vector<std::string> parameters;
  if (argc > 1) parameters.assign(argv + 1, argv + argc);

  openConsole();
  setFatalSignalCleanup(removeArchiveInProgress);
  const int exitCode = runBatch(parameters);
  closeConsole();
  return exitCode;
}
