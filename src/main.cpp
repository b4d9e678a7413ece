// The program: the command line read, the console opened, the run's views and its control
// built, the batch run, the console closed. The one place that knows every folder.

#include <unistd.h>
#include <zlib.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "console/console.h"
#include "core/io.h"
#include "core/run_data.h"
#include "driver/batch.h"
#include "driver/command_line.h"
#include "driver/out_of_memory.h"
#include "driver/temp_archive.h"
#include "ui/usage.h"
#include "ui/views.h"

namespace {

// Usage or version for a pager or a file; one that cannot be written is an error to report.
int answer(std::string_view text) {
  const int error = writeAll(STDOUT_FILENO, text);
  if (error == 0) return kExitSuccess;
  writeAll(STDERR_FILENO, std::string("vordex: standard output: ") + std::strerror(error) + "\n");
  return kExitFailed;
}

// A fatal signal: no temporary file stays behind, and no decided report line is lost.
void cleanUpAfterSignal() {
  removeTempFiles();
  flushReportNow();
}

// Out of memory: the terminal as it was, and no decided report line lost.
void cleanUpWithoutMemory() {
  restoreTerminalNow();
  flushReportNow();
}

}  // namespace

int main(int argc, char** argv) {
  // Past a file-size limit a write then fails and is reported (codes 4 and 5) instead of the
  // signal ending the run with a half-written archive.
  std::signal(SIGXFSZ, SIG_IGN);
  // A reader that went away (| head) is a failed write to report; the run goes on.
  std::signal(SIGPIPE, SIG_IGN);
  setOutOfMemoryHook(cleanUpWithoutMemory);
  std::set_new_handler(outOfMemory);
  std::vector<std::string> parameters;
  if (argc > 1) parameters.assign(argv + 1, argv + argc);
  const CommandLine line = parseCommandLine(parameters);
  if (line.action == CommandLine::Action::Version) {
    return answer("vordex 1.1\nbuilt with zlib " ZLIB_VERSION " and minizip " VORDEX_MINIZIP_VERSION
                  "\n");
  }
  // Usage for a pager or a file: plain text, and the terminal is never touched.
  if (line.action == CommandLine::Action::Help && !isatty(STDOUT_FILENO)) {
    return answer(usageText());
  }
  if (line.action != CommandLine::Action::Help) {
    std::optional<std::string> refusal = refusalBeforeRun(parameters, line);
    if (!refusal && line.action == CommandLine::Action::Refused) refusal = line.refusal;
    if (refusal) {
      writeAll(STDERR_FILENO, "vordex: " + *refusal + "; try 'vordex --help'\n");
      return kExitRefused;
    }
  }

  Console console;
  console.open(reportTakesTheTerminal(line.options));
  setFatalSignalCleanup(cleanUpAfterSignal);
  console.disableMouseInput();
  console.setTitle("Vordex v1.1");
  int exitCode = kExitSuccess;
  if (line.action == CommandLine::Action::Help) {
    showUsage(console);
  } else {
    const std::unique_ptr<RunViews> views = makeRunViews(console, line.options);
    TerminalControl control(console);
    exitCode = runBatch(line.options, *views, control);
  }
  console.close();
  return exitCode;
}
