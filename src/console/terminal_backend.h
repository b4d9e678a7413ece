#pragma once
// The back end that draws on a real terminal with ANSI/VT sequences and reads its keys.

#include <memory>
#include <string>

#include "console/console_backend.h"

struct TerminalStart {
  int columns = 80;  // the terminal's size
  int rows = 25;
  int cursorColumn = 1;
  int cursorRow = 25;
  // TERM is dumb or unset, or the window is below 80x20: plain lines, not one escape sequence.
  // Set before the open, it asks for that whatever the terminal.
  bool dumb = false;
  bool asciiOnly = false;  // the locale is not UTF-8, or the terminal does not draw UTF-8 as such
  bool noColour = false;   // NO_COLOR: cells without colours, marks in bold or reverse video
};

// Opens the process's terminal: standard input and output when both are one, else the
// controlling terminal. Puts it in raw mode and learns its size, its cursor position and what
// it can show. Null when there is no terminal to be had, when the process is in the background,
// and when standard output is a pipe or a socket: its reader (tee, less, grep) may write to this
// very terminal.
std::unique_ptr<ConsoleBackend> openTerminalBackend(TerminalStart* start);

// A back end on a descriptor that is already open and whose modes are left alone: the bytes it
// sends can be read back from a pipe or socket in tests. start says what terminal it plays.
std::unique_ptr<ConsoleBackend> terminalBackendOn(int fd, const TerminalStart& start = {});
