#pragma once
// What the batch run tells whoever shows it. The driver reports what happens, in the order of
// the run; a view decides how, and whether, it appears. The driver knows no rows, columns or
// colours.

#include <cstdint>
#include <memory>
#include <string_view>

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
  // ESC stopped the run after the file in hand.
  virtual void runStopped() {}
  // The last event; a view may take the keyboard here (the error viewer).
  virtual void runEnded(const RunTally& /*tally*/) {}
};

// The view for the terminal the console has: the panel while the window holds it, plain lines
// on a dumb or small terminal (and from the moment the window shrinks below the panel), nothing
// without a terminal. Also sets the glyph table from what the terminal can show.
std::unique_ptr<RunView> makeTerminalView();

// Plain lines on a descriptor: a run in the background whose standard output is not the
// terminal.
std::unique_ptr<RunView> makeLineView(int fd);
