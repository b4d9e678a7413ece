#pragma once
// The text shown when the program is started without parameters.

void showUsage();
