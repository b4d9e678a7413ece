#pragma once
// The command line as the shell delivers it, turned into the run's settings.

#include <optional>
#include <string>
#include <vector>

#include "driver/run_state.h"

// parameters are argv[1..]: the first is the mask, taken as typed even when it begins with "-";
// each later one that begins with "-" is an option judged by its second character alone
// (D, O or a digit, letters in either case). Everything else is ignored without a word. The
// caller shows the usage text instead when there is no parameter at all.
RunOptions parseCommandLine(const std::vector<std::string>& parameters);

// The first parameter after the mask that names an existing entry of the current folder or of
// the mask's folder, or nothing. Such a parameter means the shell expanded an unquoted mask into
// several names, and the second of them would be taken for an option ("-Data.csv" as -D).
std::optional<std::string> expandedMaskParameter(const std::vector<std::string>& parameters);
