#pragma once
// Hooks into the console for its own tests.

// Opens the console on a descriptor that is already open, drawing with the terminal back end but
// leaving the descriptor's modes and the process's signals alone, so that a test can read back
// the bytes each operation sends.
void openConsoleOnDescriptor(int fd, int columns, int rows, int cursorColumn, int cursorRow);
