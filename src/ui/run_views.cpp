#include <unistd.h>

#include <optional>
#include <string>

#include "console/console.h"
#include "ui/colour_text.h"
#include "ui/error_log.h"
#include "ui/glyph_set.h"
#include "ui/main_screen.h"
#include "ui/views.h"

namespace {

constexpr std::string_view kSwitchTexts[2] = {"NO ", "YES"};
constexpr std::string_view kStopped = "Operations aborted";
constexpr std::uint64_t kOneBlock = 16384;

// The 80x25 panel, the status lines scrolling below it, and the error viewer at the end.
class PanelView final : public RunView {
 public:
  PanelView(ColourWriter& out, ErrorLog& log)
      : out_(out), console_(out.console()), screen_(out), log_(log) {}

  void runStarted(const RunOptions& options) override {
    ScreenUpdate update(console_);
    screen_.draw();
    console_.setCursorVisible(false);
    out_.writeAt(kVersionColumn, kVersionRow, "1.1", kVersionAttribute);
    out_.writeAt(kMaskColumn, kMaskRow, padRight(out_.glyphs().name(options.fileMask), kMaskWidth),
                 kFieldAttribute);
    out_.writeAt(kOverColumn, kOverRow, kSwitchTexts[options.overwriteArchives], kFieldAttribute);
    out_.writeAt(kDeleteColumn, kDeleteRow, kSwitchTexts[options.deleteAfterZipping],
                 kFieldAttribute);
    if (options.workers > 0) {
      out_.writeAt(kThreadsLabelColumn, kThreadsRow, "THREADS", 0x0F);
      out_.writeAt(kThreadsLabelColumn + 7, kThreadsRow, ":", 0x08);
      out_.writeAt(kThreadsColumn, kThreadsRow, std::to_string(options.workers), kFieldAttribute);
    }
    if (options.recursive) {
      out_.writeAt(kRecurseLabelColumn, kRecurseRow, "RECURSE", 0x0F);
      out_.writeAt(kRecurseLabelColumn + 7, kRecurseRow, ":", 0x08);
      out_.writeAt(kRecurseColumn, kRecurseRow, "YES", kFieldAttribute);
    }
    mask_ = options.fileMask;
  }

  void fileStarted(int number, std::string_view name, std::uint64_t size) override {
    // A file of one block is done in a blink: its whole screen work goes to the terminal in one
    // write. A larger file shows its progress as it goes.
    if (size <= kOneBlock) wholeFile_.emplace(console_);
    ScreenUpdate update(console_);
    out_.writeAt(kFilesColumn, kFilesRow, std::to_string(number), kFieldAttribute);
    screen_.clearProgress();
    screen_.writeStatusLine(kZippingPrefix, name, false);
  }

  void fileProgress(std::uint64_t position, std::uint64_t size) override {
    screen_.drawProgress(position, size);
  }

  void fileFinished(int number, std::string_view name, const FileOutcome& outcome) override {
    if (outcome.zipped()) {
      ScreenUpdate update(console_);
      console_.moveCursor(1, console_.cursorRow());
      screen_.writeStatusLine(kZippedPrefix, name, true);
    }
    for (const FileReport& report : outcome.reports) {
      log_.add(screen_, report.code, number, name);
    }
    wholeFile_.reset();
  }

  void folderFailed(std::string_view folder, int) override {
    log_.add(screen_, LOG_READ_FAILED, 0, folder);
  }

  void runStopped() override {
    console_.writeLine("");
    console_.writeLine(kStopped);
    console_.flushScreen();
    stopped_ = true;
  }

  // False when the window shrank below the panel while the viewer waited.
  bool endRun(const RunTally& tally) {
    wholeFile_.reset();
    if (tally.files == 0 && log_.count() == 0) {
      console_.writeLine("No file matches " + out_.glyphs().name(mask_));
    }
    if (log_.count() > 0) {
      if (!log_.view(screen_)) return false;
      // The viewer took the status window: what is left of the run still says it was cut short.
      if (stopped_) console_.writeLine(kStopped);
    }
    screen_.releaseStatusWindow();
    return true;
  }

  void abandon() { wholeFile_.reset(); }

 private:
  ColourWriter& out_;
  Console& console_;
  MainScreen screen_;
  ErrorLog& log_;
  std::optional<ScreenUpdate> wholeFile_;
  std::string mask_;
  bool stopped_ = false;
};

// One plain line per file, as its status line says it, and the log listed at the end: for a
// dumb or small terminal.
class LineView final : public RunView {
 public:
  LineView(ColourWriter& out, ErrorLog& log)
      : console_(out.console()), glyphs_(out.glyphs()), log_(log) {}

  void fileFinished(int number, std::string_view name, const FileOutcome& outcome) override {
    if (outcome.zipped()) line(glyphs_.text(withoutPipeCodes(kZippedPrefix)) + glyphs_.name(name));
    for (const FileReport& report : outcome.reports) {
      logLine(report.code, number, name);
    }
  }

  void folderFailed(std::string_view folder, int) override { logLine(LOG_READ_FAILED, 0, folder); }

  void runStopped() override {
    line("");
    line(std::string(kStopped));
  }

  void runEnded(const RunTally&) override {
    if (log_.count() > 0) {
      line("");
      line("TOTAL ERRORS / WARNINGS: " + std::to_string(log_.count()));
      for (int i = 1; const LogEntry* entry = log_.entry(i); ++i) {
        line(" " + padRight(std::to_string(entry->fileNumber), 4) + "   " +
             paddedLogMessage(entry->code) + "  " + glyphs_.name(entry->fileName));
      }
    }
  }

 private:
  void logLine(std::uint8_t code, int number, std::string_view name) {
    log_.record(code, number, name);
    line(glyphs_.text(withoutPipeCodes(logTag(code))) + glyphs_.name(name) + "  " +
         std::string(logMessageText(code)));
  }

  void line(const std::string& text) { console_.writePlain(text + "\n"); }

  Console& console_;
  const GlyphSet& glyphs_;
  ErrorLog& log_;
};

// The panel while the window holds it; lines from the moment it no longer does.
class TerminalView final : public RunView {
 public:
  TerminalView(Console& console, bool lines)
      : out_(console, GlyphSet(console.asciiOnly())),
        panel_(out_, log_),
        lines_(out_, log_),
        inLines_(lines) {}

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
    if (!inLines_ && !out_.console().panelFits()) {
      panel_.abandon();
      out_.console().enterLineMode();
      inLines_ = true;
    }
    return !inLines_;
  }
  RunView& current() {
    if (inPanel()) return panel_;
    return lines_;
  }

  ColourWriter out_;
  // One log for the run, however it is shown: lines take it over from the panel.
  ErrorLog log_;
  PanelView panel_;
  LineView lines_;
  bool inLines_;
};

}  // namespace

std::unique_ptr<RunView> makeTerminalView(Console& console) {
  switch (console.kind()) {
    case ConsoleKind::Screen:
      return std::make_unique<TerminalView>(console, false);
    case ConsoleKind::Lines:
      return std::make_unique<TerminalView>(console, true);
    case ConsoleKind::None:
      break;
  }
  return std::make_unique<RunView>();
}

bool reportTakesTheTerminal(const RunOptions& options) {
  return options.dryRun || (options.json && isatty(STDOUT_FILENO) != 0);
}

// A dry run, and a JSON report, go to standard output even when it is the terminal, which then
// shows them as plain lines: a panel of files "zipped" would not be true, nor would JSON be read
// there.
std::unique_ptr<RunViews> makeRunViews(Console& console, const RunOptions& options) {
  auto views = std::make_unique<RunViews>();
  const bool outputIsTerminal = isatty(STDOUT_FILENO) != 0;
  const bool terminalView = !reportTakesTheTerminal(options);
  const bool panel = terminalView && console.kind() == ConsoleKind::Screen;
  std::unique_ptr<RunView> problems;
  if ((!panel || !outputIsTerminal) && !(panel && isatty(STDERR_FILENO))) {
    problems = makeProblemView(STDERR_FILENO);
  }
  if (!options.quiet && (!outputIsTerminal || !terminalView)) {
    views->add(makeReportView(STDOUT_FILENO, options, problems.get()));
  }
  if (problems) views->add(std::move(problems));
  if (terminalView) views->add(makeTerminalView(console));
  return views;
}

bool TerminalControl::stopAsked() {
  return console_.keyAvailable() && console_.readKey() == kKeyEscape;
}
