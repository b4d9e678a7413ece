#pragma once
// The back end that draws on a real terminal with ANSI/VT sequences and reads its keys.

#include <memory>
#include <string>

#include "console/console_backend.h"

struct TerminalStart {
  int columns = 80;
  int rows = 25;
  int cursorColumn = 1;
  int cursorRow = 25;
};

// Opens the process's terminal: the tty of standard output when that is one, else the
// controlling terminal. Puts it in raw mode and learns its size and cursor position. Null when
// there is no terminal to be had.
std::unique_ptr<ConsoleBackend> openTerminalBackend(TerminalStart* start);

// A back end on a descriptor that is already open and whose modes are left alone: the bytes it
// sends can be read back from a pipe or socket in tests.
std::unique_ptr<ConsoleBackend> terminalBackendOn(int fd);
