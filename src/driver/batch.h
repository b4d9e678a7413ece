#pragma once
// The whole run of the program between opening and closing the console.

#include <string>
#include <vector>

// parameters are argv[1..]. Shows the usage text when there is none; otherwise draws the main
// screen, packs every file the mask matches, one archive each, polls for ESC between files and
// lets the user browse the error log at the end. Returns the exit code: 0, or 2 when a file
// failed (skipped files are no failures).
int runBatch(const std::vector<std::string>& parameters);
