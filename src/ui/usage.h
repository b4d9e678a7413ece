#pragma once
// The text shown when the program is started without parameters (or asked for help).

#include <string>

#include "console/console.h"

// On the console: where its cursor stands, in the terminal's colours.
void showUsage(Console& console);
// The same text as plain lines, for standard output when that is not a terminal.
std::string usageText();
