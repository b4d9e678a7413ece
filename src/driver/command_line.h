#pragma once
// The command line as the shell delivers it, turned into the run's settings.

#include <string>
#include <vector>

#include "driver/run_state.h"

// parameters are argv[1..]: the first is the mask, taken as typed even when it begins with "-";
// each later one that begins with "-" is an option judged by its second character alone
// (D, O or a digit, letters in either case). Everything else is ignored without a word. The
// caller shows the usage text instead when there is no parameter at all.
RunOptions parseCommandLine(const std::vector<std::string>& parameters);
