#pragma once
// The run's events: what the batch tells whoever shows it, in the order of the run, and what it
// asks of whoever watches it. A view decides how, and whether, an event appears; the driver
// knows no rows, columns, colours or keys.

#include <cstdint>
#include <memory>
#include <string_view>
#include <utility>
#include <vector>

#include "core/run_data.h"

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

// What the run asks of whoever watches it, besides telling it what happens: the driver names no
// terminal, no key and no frame of its own.
class RunControl {
 public:
  virtual ~RunControl() = default;
  // About once a frame while files are packed, from the thread that runs the batch: the moment
  // to follow the terminal (a resize, Ctrl+Z, a return to the foreground).
  virtual void frameDue() {}
  // Between two files: true when the user asked to stop (ESC); other keys are dropped.
  virtual bool stopAsked() { return false; }
};

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
