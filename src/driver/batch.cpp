#include "driver/batch.h"

#include <malloc.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <string>
#include <string_view>

#include "console/console.h"
#include "driver/archive.h"
#include "driver/command_line.h"
#include "driver/dir_search.h"
#include "driver/run_state.h"
#include "ui/error_log.h"
#include "ui/run_view.h"
#include "ui/usage.h"

namespace {

constexpr std::uint8_t kEscape = 27;

// Who hears of the run: the terminal (panel or lines), a plain report on standard output when
// that is not the terminal, and every failure on standard error whenever the panel is not what
// the user looks at, unless standard error is the very terminal the panel is drawn on.
void addViews(RunViews& views) {
  const bool panel = consoleKind() == ConsoleKind::Screen;
  const bool outputIsTerminal = isatty(STDOUT_FILENO) != 0;
  if (!outputIsTerminal) views.add(makeReportView(STDOUT_FILENO));
  if ((!panel || !outputIsTerminal) && !(panel && isatty(STDERR_FILENO))) {
    views.add(makeProblemView(STDERR_FILENO));
  }
  views.add(makeTerminalView());
}

// The mask's folder could not be searched: missing (or no folder) means nothing matches; any
// other reason is a failure of the run.
bool folderFailed(const DirectorySearch& search) {
  return search.error != 0 && search.error != ENOENT && search.error != ENOTDIR;
}

std::string maskFolder(std::string_view mask) {
  const std::size_t slash = mask.rfind('/');
  return slash == std::string_view::npos ? "." : std::string(mask.substr(0, slash + 1));
}

// zlib and minizip take and free about 330 KiB per file. With glibc's defaults a free at the top
// of the heap can hand that memory back, and the next file asks for it and faults it in again:
// on 10,000 files of 1 KiB that was 12,000 brk calls and an eighth of the run's time. Kept
// instead, the same few hundred KiB serve every file.
void keepFreedMemoryForReuse() {
  mallopt(M_MMAP_THRESHOLD, 1 << 20);
  mallopt(M_TRIM_THRESHOLD, 4 << 20);
  mallopt(M_TOP_PAD, 512 << 10);
}

// The main loop: one pass per match, ESC looked at between two files.
void walkFiles(BatchRun& run, RunView& view, RunTally& tally) {
  DirectorySearch search;
  startSearch(search, run.workDir.get(), run.options.fileMask);
  run.sourceFolder = search.folder.get();
  if (folderFailed(search)) {
    ++tally.failed;
    view.folderFailed(maskFolder(run.options.fileMask), search.error);
  }
  Packer packer;
  packer.progress = [&view](std::uint64_t position, std::uint64_t size) {
    view.fileProgress(position, size);
  };
  SearchEntry entry;
  while (nextSearchEntry(search, entry)) {
    const int number = tally.files + 1;
    view.fileStarted(number, entry.name, entry.size);
    const FileOutcome outcome = archiveOneFile(run, packer, entry);
    tally.add(outcome);
    view.fileFinished(number, entry.name, outcome);
    if (keyAvailable() && readKey() == kEscape) {
      tally.stopped = true;
      view.runStopped();
      return;
    }
  }
}

}  // namespace

int runBatch(const std::vector<std::string>& parameters) {
  disableMouseInput();
  setTitle("Vordex v1.1");
  releaseErrorLog();
  if (parameters.empty()) {
    showUsage();
    return 0;
  }

  BatchRun run;
  run.options = parseCommandLine(parameters);
  RunViews views;
  addViews(views);
  views.runStarted(run.options);

  keepFreedMemoryForReuse();
  // A working folder that cannot be opened at all fails every file as it comes.
  openWorkDir(run);
  RunTally tally;
  walkFiles(run, views, tally);
  views.runEnded(tally);
  return tally.failed > 0 ? kExitFailed : kExitSuccess;
}
