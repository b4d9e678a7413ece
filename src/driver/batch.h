#pragma once
// The whole run of the program between opening and closing the console.

#include <string>
#include <vector>

#include "driver/run_state.h"

// Exit codes, as the README and the man page list them.
inline constexpr int kExitSuccess = 0;
inline constexpr int kExitOutOfMemory = 1;
inline constexpr int kExitFailed = 2;   // at least one file failed
inline constexpr int kExitRefused = 3;  // the command line was refused; nothing was touched

// parameters are argv[1..]. Shows the usage text when there is none or help is asked for;
// refuses (kExitRefused, nothing touched) a command line that parseCommandLine refuses; otherwise
// draws the main screen, packs every file the mask matches, one archive each, polls for ESC between
// files and lets the user browse the error log at the end. Returns the exit code: kExitSuccess, or
// kExitFailed when a file failed (skipped files are no failures).
int runBatch(const std::vector<std::string>& parameters);

// A dry run, and a JSON report to a terminal, show no panel: their report goes to the terminal
// as plain lines, so the console should take it as a dumb one.
bool reportTakesTheTerminal(const RunOptions& options);
