#pragma once
// The ways a run is shown, and the terminal's side of watching it. main builds them; the driver
// knows them only as a RunView and a RunControl (core/run_view.h).

#include <memory>

#include "console/console.h"
#include "core/run_data.h"
#include "core/run_view.h"

// Who hears of the run: the terminal (panel or lines), the report on standard output when that
// is not the terminal (or when the report takes the terminal), and every failure on standard
// error whenever the panel is not what the user looks at, unless standard error is the very
// terminal the panel is drawn on.
std::unique_ptr<RunViews> makeRunViews(Console& console, const RunOptions& options);

// A dry run, and a JSON report to a terminal, show no panel: their report goes to the terminal
// as plain lines, so the console should take it as a dumb one.
bool reportTakesTheTerminal(const RunOptions& options);

// The view for the console's terminal: the panel while the window holds it, plain lines on a
// dumb or small terminal (and from the moment the window shrinks below the panel), nothing
// without a terminal.
std::unique_ptr<RunView> makeTerminalView(Console& console);

// The report for scripts: one line per file, then a summary; names escaped so that one name is
// always one line and every line reads one way. As JSON Lines with json. A dry run's lines say
// what would be done. When fd cannot be written, the report stops, problems (if any) hears of it
// once as a notice, and outputLost() says so.
std::unique_ptr<RunView> makeReportView(int fd, const RunOptions& options,
                                        RunView* problems = nullptr);
// Writes what the report has decided and not yet sent, with write(2) alone: for the path of a
// fatal signal.
void flushReportNow();
// One line per failure, "vordex: NAME: message: reason", for standard error.
std::unique_ptr<RunView> makeProblemView(int fd);

// The terminal's side of a run: it is followed once a frame, and ESC between two files stops
// the run (other keys are dropped, one per file).
class TerminalControl final : public RunControl {
 public:
  explicit TerminalControl(Console& console) : console_(console) {}
  void frameDue() override { console_.followTerminal(); }
  bool stopAsked() override;

 private:
  Console& console_;
};
