#include <unistd.h>
#include <zlib.h>

#include <cerrno>
#include <csignal>
#include <initializer_list>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "console/console.h"
#include "driver/batch.h"
#include "driver/command_line.h"
#include "driver/out_of_memory.h"
#include "driver/temp_archive.h"
#include "ui/plain_text.h"
#include "ui/usage.h"

namespace {

void writeAll(int fd, std::string_view text) {
  while (!text.empty()) {
    const ssize_t written = write(fd, text.data(), text.size());
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return;
    text.remove_prefix(static_cast<std::size_t>(written));
  }
}

void refuseExpandedMask(const std::string& parameter) {
  writeAll(STDERR_FILENO,
           "vordex: '" + escapedName(parameter) +
               "' after the mask is an existing file, so the shell expanded an unquoted mask; "
               "nothing was done. Quote the mask: vordex '*.txt' -D\n");
}

bool asksFor(const std::vector<std::string>& parameters,
             std::initializer_list<std::string_view> any) {
  if (parameters.size() != 1) return false;
  for (std::string_view word : any) {
    if (parameters[0] == word) return true;
  }
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  // Past a file-size limit a write then fails and is reported (codes 4 and 5) instead of the
  // signal ending the run with a half-written archive.
  std::signal(SIGXFSZ, SIG_IGN);
  std::set_new_handler(outOfMemory);
  std::vector<std::string> parameters;
  if (argc > 1) parameters.assign(argv + 1, argv + argc);
  if (asksFor(parameters, {"--version"})) {
    writeAll(STDOUT_FILENO, "vordex 1.1\nbuilt with zlib " ZLIB_VERSION
                            " and minizip " VORDEX_MINIZIP_VERSION "\n");
    return kExitSuccess;
  }
  if (asksFor(parameters, {"--help", "-h", "-?"})) parameters.clear();
  // Usage for a pager or a file: plain text, and the terminal is never touched.
  if (parameters.empty() && !isatty(STDOUT_FILENO)) {
    writeAll(STDOUT_FILENO, usageText());
    return kExitSuccess;
  }
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
