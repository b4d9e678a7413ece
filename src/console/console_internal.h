#pragma once
// The seam between the console and back ends that are not the program's own: the in-memory
// console of the tests, and a terminal back end on a descriptor whose bytes a test reads back.

#include <memory>

#include "console/console_backend.h"

// Makes backend the console's, with a fresh model of that size and cursor. With
// closeAtShutDown, closeConsole hands it back as it does a real terminal.
void installConsoleBackend(std::unique_ptr<ConsoleBackend> backend, int columns, int rows,
                           int cursorColumn, int cursorRow, bool closeAtShutDown);
// The model every console operation acts on.
const ConsoleModel& consoleModel();
