#pragma once
// A console held in memory, for tests of everything that draws. Nothing reaches a terminal. Key
// presses come from terminal bytes fed here, decoded as a real terminal's would be; once they
// are used up, readKey answers ESC so that no test can wait for ever.

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "console/console.h"
#include "console/terminal_backend.h"

// The console of the tests: what openMemoryConsole and openConsoleOnDescriptor set up.
Console& testConsole();

void openMemoryConsole(int columns = 80, int rows = 25, int cursorColumn = 1, int cursorRow = 1);
void feedKeyBytes(std::string_view bytes);

std::string screenText(
    int row);  // the row's glyphs as UTF-8 (right halves of wide glyphs left out)
std::string screenGlyph(int column, int row);  // one cell's glyph as UTF-8
uint8_t screenAttribute(int column, int row);
// The cell shows in the terminal's own colours: blank before the program chose a colour, or
// written after useTerminalColours.
bool screenInTerminalColours(int column, int row);
uint8_t currentAttribute();
int outputColumn();  // absolute screen coordinates of the output position
int outputRow();

// Called whenever readKey finds no key waiting. The hook may feed more bytes (a test pressing
// keys one at a time and looking at the screen in between); if it feeds none, readKey answers
// ESC. nullptr removes it.
void setKeyWaitHook(std::function<void()> hook);

// The console on a descriptor that is already open, drawing with the terminal back end but
// leaving the descriptor's modes and the process's signals alone, so that a test can read back
// the bytes each operation sends. terminal: the terminal the back end plays (its size, whether
// it shows colours); the model is columns x rows.
void openConsoleOnDescriptor(int fd, int columns, int rows, int cursorColumn, int cursorRow,
                             const TerminalStart& terminal = {});
