#pragma once
// What the batch run tells whoever shows it. The driver reports what happens, in the order of
// the run; a view decides how, and whether, it appears. The driver knows no rows, columns or
// colours.

#include <cstdint>
#include <memory>
#include <string_view>
#include <utility>
#include <vector>

#include "driver/run_state.h"

class RunView {
 public:
  virtual ~RunView() = default;

  // Once, before the first file.
  virtual void runStarted(const RunOptions& /*options*/) {}
  // File `number` of the run (from 1) is taken up; size is what the search saw.
  virtual void fileStarted(int /*number*/, std::string_view /*name*/, std::uint64_t /*size*/) {}
  // After each block read from the file in hand.
  virtual void fileProgress(std::uint64_t /*position*/, std::uint64_t /*size*/) {}
  virtual void fileFinished(int /*number*/, std::string_view /*name*/,
                            const FileOutcome& /*outcome*/) {}
  // The mask's folder exists but could not be read (errno error): a failure of the run.
  virtual void folderFailed(std::string_view /*folder*/, int /*error*/) {}
  // The list of names to pack could not be opened or read to its end: a failure of the run.
  // Shown as a folder that could not be read unless a view knows better.
  virtual void listFailed(std::string_view list, int error) { folderFailed(list, error); }
  // A temporary archive that a run which was killed left behind was removed.
  virtual void leftoverRemoved(std::string_view /*name*/) {}
  // Something about the run as a whole that is no file's outcome (fewer threads than asked).
  virtual void notice(std::string_view /*text*/) {}
  // ESC stopped the run after the file in hand.
  virtual void runStopped() {}
  // The last event; a view may take the keyboard here (the error viewer).
  virtual void runEnded(const RunTally& /*tally*/) {}

  // What the view writes could not all be written (a full disk, a closed pipe): the run
  // reports a failure.
  virtual bool outputLost() const { return false; }
};

// The view for the terminal the console has: the panel while the window holds it, plain lines
// on a dumb or small terminal (and from the moment the window shrinks below the panel), nothing
// without a terminal. Also sets the glyph table from what the terminal can show.
std::unique_ptr<RunView> makeTerminalView();

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

// Several views as one: every event goes to each, in the order they were added.
class RunViews final : public RunView {
 public:
  void add(std::unique_ptr<RunView> view) { views_.push_back(std::move(view)); }

  void runStarted(const RunOptions& options) override {
    for (auto& view : views_) view->runStarted(options);
  }
  void fileStarted(int number, std::string_view name, std::uint64_t size) override {
    for (auto& view : views_) view->fileStarted(number, name, size);
  }
  void fileProgress(std::uint64_t position, std::uint64_t size) override {
    for (auto& view : views_) view->fileProgress(position, size);
  }
  void fileFinished(int number, std::string_view name, const FileOutcome& outcome) override {
    for (auto& view : views_) view->fileFinished(number, name, outcome);
  }
  void folderFailed(std::string_view folder, int error) override {
    for (auto& view : views_) view->folderFailed(folder, error);
  }
  void listFailed(std::string_view list, int error) override {
    for (auto& view : views_) view->listFailed(list, error);
  }
  void leftoverRemoved(std::string_view name) override {
    for (auto& view : views_) view->leftoverRemoved(name);
  }
  void notice(std::string_view text) override {
    for (auto& view : views_) view->notice(text);
  }
  void runStopped() override {
    for (auto& view : views_) view->runStopped();
  }
  void runEnded(const RunTally& tally) override {
    for (auto& view : views_) view->runEnded(tally);
  }
  bool outputLost() const override {
    for (const auto& view : views_) {
      if (view->outputLost()) return true;
    }
    return false;
  }

 private:
  std::vector<std::unique_ptr<RunView>> views_;
};
