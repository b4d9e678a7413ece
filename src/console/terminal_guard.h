#pragma once
// The one record of how to hand the terminal back, and the signal handlers that use it. Every
// way out (a normal end, a fatal signal, Ctrl+Z) restores through restoreTerminalGuard, which
// acts once and is safe inside a signal handler.

#include <termios.h>

// From now on the terminal on fd counts as taken over: saved are its modes from before, raw the
// modes the console runs it in.
void armTerminalGuard(int fd, const termios& saved, const termios& raw);
// Where the cursor goes when the terminal is handed back.
void setGuardCursor(int column, int row);
// Colours reset, scroll region reset, cursor placed, modes restored; nothing if not armed.
// When the program is cut short, the output position may stand in the middle of a status line:
// with freshLine the cursor then goes to the start of the next line, so that what the shell
// prints next is not run into the line.
void restoreTerminalGuard(bool freshLine = false);

// Fatal signals call the cleanup hook, restore and re-raise.
void installFatalSignalHandlers();
// With a terminal: Ctrl+Z restores before stopping and takes the terminal over again on SIGCONT.
void installStopSignalHandlers();
void removeSignalHandlers();
// True once after the process was continued while the terminal was taken over: its picture can
// no longer be trusted.
bool takeContinuedFlag();
