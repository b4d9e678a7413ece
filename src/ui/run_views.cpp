#include <optional>
#include <string>

#include "console/console.h"
#include "ui/colour_text.h"
#include "ui/error_log.h"
#include "ui/glyph_set.h"
#include "ui/main_screen.h"
#include "ui/run_view.h"

namespace {

constexpr std::string_view kSwitchTexts[2] = {"NO ", "YES"};
constexpr std::string_view kStopped = "Operations aborted";
constexpr std::uint64_t kOneBlock = 16384;

// The 80x25 panel, the status lines scrolling below it, and the error viewer at the end.
class PanelView final : public RunView {
 public:
  void runStarted(const RunOptions& options) override {
    ScreenUpdate update;
    drawMainScreen();
    setCursorVisible(false);
    writeAt(kVersionColumn, kVersionRow, "1.1", kVersionAttribute);
    writeAt(kMaskColumn, kMaskRow, padRight(shownName(options.fileMask), kMaskWidth),
            kFieldAttribute);
    writeAt(kOverColumn, kOverRow, kSwitchTexts[options.overwriteArchives], kFieldAttribute);
    writeAt(kDeleteColumn, kDeleteRow, kSwitchTexts[options.deleteAfterZipping], kFieldAttribute);
    if (options.workers > 0) {
      writeAt(kThreadsLabelColumn, kThreadsRow, "THREADS", 0x0F);
      writeAt(kThreadsLabelColumn + 7, kThreadsRow, ":", 0x08);
      writeAt(kThreadsColumn, kThreadsRow, std::to_string(options.workers), kFieldAttribute);
    }
    if (options.recursive) {
      writeAt(kRecurseLabelColumn, kRecurseRow, "RECURSE", 0x0F);
      writeAt(kRecurseLabelColumn + 7, kRecurseRow, ":", 0x08);
      writeAt(kRecurseColumn, kRecurseRow, "YES", kFieldAttribute);
    }
    mask_ = options.fileMask;
  }

  void fileStarted(int number, std::string_view name, std::uint64_t size) override {
    // A file of one block is done in a blink: its whole screen work goes to the terminal in one
    // write. A larger file shows its progress as it goes.
    if (size <= kOneBlock) wholeFile_.emplace();
    ScreenUpdate update;
    writeAt(kFilesColumn, kFilesRow, std::to_string(number), kFieldAttribute);
    clearProgress();
    writeStatusLine(kZippingPrefix, name, false);
  }

  void fileProgress(std::uint64_t position, std::uint64_t size) override {
    drawProgress(position, size);
    followTerminal();
  }

  void fileFinished(int number, std::string_view name, const FileOutcome& outcome) override {
    if (outcome.zipped()) {
      ScreenUpdate update;
      moveCursor(1, cursorRow());
      writeStatusLine(kZippedPrefix, name, true);
    }
    for (int i = 0; i < outcome.reportCount; ++i) {
      addLogEntry(outcome.reports[i].code, number, name, outcome.reports[i].error);
    }
    wholeFile_.reset();
  }

  void folderFailed(std::string_view folder, int error) override {
    addLogEntry(LOG_READ_FAILED, 0, folder, error);
  }

  void runStopped() override {
    writeLine("");
    writeLine(kStopped);
    flushScreen();
    stopped_ = true;
  }

  // False when the window shrank below the panel while the viewer waited.
  bool endRun(const RunTally& tally) {
    wholeFile_.reset();
    if (tally.files == 0 && errorCount() == 0) writeLine("No file matches " + shownName(mask_));
    if (errorCount() > 0) {
      if (!viewErrorLog()) return false;
      // The viewer took the status window: what is left of the run still says it was cut short.
      if (stopped_) writeLine(kStopped);
    }
    releaseErrorLog();
    releaseStatusWindow();
    return true;
  }

  void abandon() { wholeFile_.reset(); }

 private:
  std::optional<ScreenUpdate> wholeFile_;
  std::string mask_;
  bool stopped_ = false;
};

// One plain line per file, as its status line says it, and the log listed at the end: for a
// dumb or small terminal.
class LineView final : public RunView {
 public:
  // Nothing to draw, but a Ctrl+Z or a return to the foreground is followed within the file.
  void fileProgress(std::uint64_t, std::uint64_t) override { followTerminal(); }

  void fileFinished(int number, std::string_view name, const FileOutcome& outcome) override {
    if (outcome.zipped()) line(shownText(withoutPipeCodes(kZippedPrefix)) + shownName(name));
    for (int i = 0; i < outcome.reportCount; ++i) {
      const FileReport& report = outcome.reports[i];
      logLine(report.code, number, name, report.error);
    }
  }

  void folderFailed(std::string_view folder, int error) override {
    logLine(LOG_READ_FAILED, 0, folder, error);
  }

  void runStopped() override {
    line("");
    line(std::string(kStopped));
  }

  void runEnded(const RunTally&) override {
    if (errorCount() > 0) {
      line("");
      line("TOTAL ERRORS / WARNINGS: " + std::to_string(errorCount()));
      for (int i = 1; const LogEntry* entry = logEntry(i); ++i) {
        line(" " + padRight(std::to_string(entry->fileNumber), 4) + "   " +
             std::string(logMessage(entry->code)) + "  " + shownName(entry->fileName));
      }
    }
    releaseErrorLog();
  }

 private:
  void logLine(std::uint8_t code, int number, std::string_view name, int error) {
    recordLogEntry(code, number, name, error);
    line(shownText(withoutPipeCodes(logTag(code))) + shownName(name) + "  " +
         std::string(logMessageText(code)));
  }

  static void line(const std::string& text) { writePlain(text + "\n"); }
};

// The panel while the window holds it; lines from the moment it no longer does.
class TerminalView final : public RunView {
 public:
  explicit TerminalView(bool lines) : inLines_(lines) {}

  void runStarted(const RunOptions& options) override {
    if (inPanel()) panel_.runStarted(options);
  }
  void fileStarted(int number, std::string_view name, std::uint64_t size) override {
    if (inPanel()) panel_.fileStarted(number, name, size);
  }
  void fileProgress(std::uint64_t position, std::uint64_t size) override {
    current().fileProgress(position, size);
  }
  void fileFinished(int number, std::string_view name, const FileOutcome& outcome) override {
    current().fileFinished(number, name, outcome);
  }
  void folderFailed(std::string_view folder, int error) override {
    current().folderFailed(folder, error);
  }
  void runStopped() override { current().runStopped(); }
  void runEnded(const RunTally& tally) override {
    if (inPanel() && panel_.endRun(tally)) return;
    inPanel();
    lines_.runEnded(tally);
  }

 private:
  bool inPanel() {
    if (!inLines_ && !panelFits()) {
      panel_.abandon();
      enterLineMode();
      inLines_ = true;
    }
    return !inLines_;
  }
  RunView& current() {
    if (inPanel()) return panel_;
    return lines_;
  }

  PanelView panel_;
  LineView lines_;
  bool inLines_;
};

}  // namespace

std::unique_ptr<RunView> makeTerminalView() {
  setAsciiGlyphs(consoleAsciiOnly());
  switch (consoleKind()) {
    case ConsoleKind::Screen:
      return std::make_unique<TerminalView>(false);
    case ConsoleKind::Lines:
      return std::make_unique<TerminalView>(true);
    case ConsoleKind::None:
      break;
  }
  return std::make_unique<RunView>();
}
