#pragma once
// The whole run of the batch: every file the options select, packed one archive each.

#include "core/run_data.h"
#include "core/run_view.h"

// Packs what options select, telling view what happens in the order of the run, and asking
// control once a frame and between two files (ESC stops the run after the files in hand).
// Returns the exit code: kExitSuccess, or kExitFailed when a file or folder failed or the report
// could not be written (skipped files are no failures).
int runBatch(const RunOptions& options, RunView& view, RunControl& control);
