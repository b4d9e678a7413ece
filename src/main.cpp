#include <unistd.h>

#include <csignal>
#include <new>
#include <string>
#include <vector>

#include "console/console.h"
#include "driver/batch.h"
#include "driver/command_line.h"
#include "driver/out_of_memory.h"
#include "driver/temp_files.h"
#include "ui/plain_text.h"

namespace {

void refuseExpandedMask(const std::string& parameter) {
  const std::string message =
      "vordex: '" + escapedName(parameter) +
      "' after the mask is an existing file, so the shell expanded an unquoted mask; nothing was "
      "done. Quote the mask: vordex '*.txt' -D\n";
  [[maybe_unused]] const ssize_t written = write(STDERR_FILENO, message.data(), message.size());
}

}  // namespace

int main(int argc, char** argv) {
  // Past a file-size limit a write then fails and is reported (codes 4 and 5) instead of the
  // signal ending the run with a half-written archive.
  std::signal(SIGXFSZ, SIG_IGN);
  std::set_new_handler(outOfMemory);
  std::vector<std::string> parameters;
  if (argc > 1) parameters.assign(argv + 1, argv + argc);
  if (const auto parameter = expandedMaskParameter(parameters)) {
    refuseExpandedMask(*parameter);
    return kExitRefused;
  }

  openConsole();
  setFatalSignalCleanup(removeTempFiles);
  const int exitCode = runBatch(parameters);
  closeConsole();
  return exitCode;
}
