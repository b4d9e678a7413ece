#pragma once
// The one record of how to hand the terminal back, and the signal handlers that use it. Every
// way out (a normal end, a fatal signal, Ctrl+Z) restores through restoreTerminalGuard, which
// acts once and is safe inside a signal handler.

#include <termios.h>

// From now on the terminal on fd counts as taken over: saved are its modes from before, raw the
// modes the console runs it in. Without sequences (a dumb terminal) only the modes are restored.
void armTerminalGuard(int fd, const termios& saved, const termios& raw, bool sequences);
// While row (a terminal row, 0 for none) holds a hint that makes no sense once the program is
// gone: an abnormal end erases it and leaves the cursor on a fresh line below bottomRow.
void setGuardAbortErase(int row, int bottomRow);
// The process is in the terminal's foreground process group: it may read and draw.
bool inForeground(int fd);
// Where the cursor goes when the terminal is handed back; row 0: it stays (plain lines).
void setGuardCursor(int column, int row);
// Colours reset, scroll region reset, cursor placed, modes restored; nothing if not armed.
// When the program is cut short, the output position may stand in the middle of a status line:
// with freshLine the cursor then goes to the start of the next line, so that what the shell
// prints next is not run into the line.
void restoreTerminalGuard(bool freshLine = false);

// Fatal signals call the cleanup hook, restore and re-raise.
void installFatalSignalHandlers();
// With a terminal: Ctrl+Z is noted for takeStopRequest, SIGCONT for takeContinuedFlag, a resize
// for takeResizedFlag.
void installStopSignalHandlers();
void removeSignalHandlers();
// True once after the process was continued: the terminal's picture and modes can no longer be
// trusted.
bool takeContinuedFlag();
// True once after the window changed its size.
bool takeResizedFlag();
// True once after Ctrl+Z: the console should then bring the screen up to date and call
// stopForJobControl, which hands the terminal back and stops. Once continued, the console takes
// the terminal over again (retakeTerminalGuard) when it finds itself in the foreground.
bool takeStopRequest();
void stopForJobControl();
// The process is in the foreground again: raw modes, and every way out restores once more.
void retakeTerminalGuard();
// The process found itself in the background: the terminal is its shell's now, and no way out
// may touch it.
void releaseTerminalGuard();
// False from now on: not one escape sequence on any way out (the run went on in plain lines).
void setGuardSequences(bool sequences);

// The sequence that moves the cursor to (column, row), written at out; returns its end. Calls
// nothing, so the signal path may use it. At most 26 bytes.
char* appendCursorMove(char* out, int column, int row);
