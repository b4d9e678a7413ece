#include "driver/batch.h"

#include <malloc.h>

#include <optional>
#include <string_view>

#include "console/console.h"
#include "driver/archive.h"
#include "driver/command_line.h"
#include "driver/dir_search.h"
#include "driver/run_state.h"
#include "ui/colour_text.h"
#include "ui/error_log.h"
#include "ui/main_screen.h"
#include "ui/usage.h"

namespace {

constexpr std::string_view kSwitchTexts[2] = {"NO ", "YES"};
constexpr std::uint8_t kEscape = 27;

// zlib and minizip take and free about 330 KiB per file. With glibc's defaults a free at the top
// of the heap can hand that memory back, and the next file asks for it and faults it in again:
// on 10,000 files of 1 KiB that was 12,000 brk calls and an eighth of the run's time. Kept
// instead, the same few hundred KiB serve every file.
void keepFreedMemoryForReuse() {
  mallopt(M_MMAP_THRESHOLD, 1 << 20);
  mallopt(M_TRIM_THRESHOLD, 4 << 20);
  mallopt(M_TOP_PAD, 512 << 10);
}

void showFileStart(int fileCount, std::string_view name) {
  ScreenUpdate update;
  writeAt(kFilesColumn, kFilesRow, std::to_string(fileCount), kFieldAttribute);
  clearProgress();
  writeStatusLine("|07- |15ZIPPING|07: |15 ", name, false);
}

// The one place a file's outcome reaches the screen and the log.
void reportOutcome(const FileOutcome& outcome, int fileNumber, std::string_view name) {
  if (outcome.zipped()) {
    moveCursor(1, cursorRow());
    writeStatusLine("|08√ |07ZIPPED |08: |07 ", name, true);
    return;
  }
  for (int i = 0; i < outcome.reportCount; ++i) {
    addLogEntry(outcome.reports[i].code, fileNumber, name, outcome.reports[i].error);
  }
}

// The main loop: one pass per match, ESC looked at between two files.
void walkFiles(BatchRun& run) {
  DirectorySearch search;
  startSearch(search, run.workDir.get(), run.options.fileMask);
  run.sourceFolder = search.folder.get();
  run.progress = [](std::uint64_t position, std::uint64_t size) { drawProgress(position, size); };
  int fileCount = 0;
  SearchEntry entry;
  while (nextSearchEntry(search, entry)) {
    ++fileCount;
    {
      // A file of one block is done in a blink: its whole screen work goes to the terminal in
      // one write. A larger file shows its progress as it goes.
      std::optional<ScreenUpdate> wholeFile;
      if (entry.size <= static_cast<std::uint64_t>(readBlockSize)) wholeFile.emplace();
      showFileStart(fileCount, entry.name);
      reportOutcome(archiveOneFile(run, entry), fileCount, entry.name);
    }
    if (keyAvailable() && readKey() == kEscape) {
      writeLine("");
      writeLine("Operations aborted");
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

  drawMainScreen();
  BatchRun run;
  run.options = parseCommandLine(parameters);
  const RunOptions& options = run.options;
  writeAt(kVersionColumn, kVersionRow, "1.1", kVersionAttribute);
  writeAt(kMaskColumn, kMaskRow, padRight(options.fileMask, kMaskWidth), kFieldAttribute);
  writeAt(kOverColumn, kOverRow, kSwitchTexts[options.overwriteArchives], kFieldAttribute);
  writeAt(kDeleteColumn, kDeleteRow, kSwitchTexts[options.deleteAfterZipping], kFieldAttribute);

  keepFreedMemoryForReuse();
  // A working folder that cannot be opened at all fails every file as it comes.
  openWorkDir(run);
  walkFiles(run);

  if (errorCount() >= 1) viewErrorLog();
  const int exitCode = failureCount() > 0 ? kExitFailed : kExitSuccess;
  releaseErrorLog();
  return exitCode;
}
