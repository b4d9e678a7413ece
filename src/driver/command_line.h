#pragma once
// The command line as the shell delivers it, turned into the run's settings or refused.

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "core/run_data.h"

struct CommandLine {
  enum class Action { Run, Help, Version, Refused };
  Action action = Action::Run;
  RunOptions options;
  // Refused: what was refused and why, one line without the program's name.
  std::string refusal;
  // The parameters after the mask that are no option's value, by index: an existing file among
  // them means the shell expanded an unquoted mask.
  std::vector<std::size_t> words;
};

// parameters are argv[1..]. The first is the mask, taken as typed even when it begins with a
// single "-"; a first parameter that begins with "--" is an option, and the mask is then the
// first parameter that is no option (or the one after "--"). Short options are a letter in
// either case, followed by nothing or by more of its word ("-Del", "-overwr"), a digit (what
// follows it is not looked at: "-9x" is -9, "-10" is -1), or -T with a number. Long options
// are GNU's: "--name=value" or "--name value", a unique beginning of a name standing for it.
// Anything else that begins with "-" refuses the command line, and so does a run with no mask
// or with both a mask and a list of names. Parameters after the mask that are no options are
// ignored. No parameter at all, and "-h" or "-?" alone, ask for help.
CommandLine parseCommandLine(const std::vector<std::string>& parameters);

// Why a command line that parsed is refused all the same, looking at the file system but touching
// nothing, or nothing. A word of it that names an existing entry of the current folder or of the
// mask's folder means the shell expanded an unquoted mask into several names, and the second of
// them would be taken for an option ("-Data.csv" as -D). A list read from standard input that is
// the terminal would be typed into the panel's keyboard.
std::optional<std::string> refusalBeforeRun(const std::vector<std::string>& parameters,
                                            const CommandLine& parsed);
