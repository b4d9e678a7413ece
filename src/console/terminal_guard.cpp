#include "console/terminal_guard.h"

#include "core/io.h"

#include <errno.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>

#include "console/console.h"

namespace {

// Everything here is read by signal handlers: plain values set before the handlers can run, or
// lock-free atomics.
int guardFd = -1;
termios savedModes;
termios rawModes;
std::atomic<bool> armed{false};
std::atomic<int> guardColumn{1};
std::atomic<int> guardRow{1};
std::atomic<void (*)()> cleanupHook{nullptr};
volatile sig_atomic_t continuedFlag = 0;
volatile sig_atomic_t resizedFlag = 0;
// False for a dumb terminal, or once a run went on in plain lines: not one escape sequence may
// reach it, on any way out either.
std::atomic<bool> guardSequences{true};
// While the error viewer waits: the terminal row of its hint, erased when the program is cut
// short, and the terminal's last row, below which the shell's prompt then goes.
std::atomic<int> abortEraseRow{0};
std::atomic<int> abortBottomRow{0};

// Every signal whose default action ends the process and that can be caught. The real-time
// signals end it too; they are added at run time (SIGRTMIN is not a constant).
constexpr int kFatalSignals[] = {SIGINT,    SIGQUIT, SIGTERM, SIGHUP,  SIGSEGV, SIGBUS,  SIGFPE,
                                 SIGILL,    SIGABRT, SIGXCPU, SIGALRM, SIGUSR1, SIGUSR2, SIGPIPE,
                                 SIGVTALRM, SIGPROF, SIGSYS,  SIGTRAP, SIGPOLL, SIGPWR,  SIGSTKFLT};
// Sent by people or by the shell's job control: a disposition of "ignore" inherited from the
// shell (nohup, a background job) is theirs to keep.
constexpr int kIgnorableSignals[] = {SIGINT, SIGQUIT, SIGTERM, SIGHUP, SIGPIPE};
constexpr int kStopSignals[] = {SIGTSTP, SIGCONT, SIGWINCH};
constexpr int kMaxSavedActions = 96;

struct SavedAction {
  int signal;
  struct sigaction action;
  bool installed;
};
SavedAction savedActions[kMaxSavedActions];
int savedCount = 0;

// A crash from a stack overflow needs a stack of its own to run its handler on.
alignas(16) char alternateStack[64 << 10];

// Decimal digits by hand: nothing from the C library is safe in a signal handler.
char* appendNumber(char* out, int value) {
  char digits[12];
  int count = 0;
  if (value < 1) value = 1;
  while (value > 0 && count < 11) {
    digits[count++] = static_cast<char>('0' + value % 10);
    value /= 10;
  }
  while (count > 0) *out++ = digits[--count];
  return out;
}

char* appendText(char* out, const char* text) {
  while (*text != '\0') *out++ = *text++;
  return out;
}

void setAction(int sig, void (*handler)(int)) {
  struct sigaction action {};
  action.sa_handler = handler;
  sigfillset(&action.sa_mask);
  action.sa_flags = SA_RESTART | (handler == SIG_DFL || handler == SIG_IGN ? 0 : SA_ONSTACK);
  sigaction(sig, &action, nullptr);
}

bool ignorable(int sig) {
  for (int candidate : kIgnorableSignals) {
    if (candidate == sig) return true;
  }
  return false;
}

void raiseWithDefaultAction(int sig) {
  setAction(sig, SIG_DFL);
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, sig);
  sigprocmask(SIG_UNBLOCK, &set, nullptr);
  raise(sig);
}

void onFatalSignal(int sig) {
  void (*cleanup)() = cleanupHook.load();
  if (cleanup != nullptr) cleanup();
  restoreTerminalGuard(true);
  raiseWithDefaultAction(sig);
}

// Ctrl+Z is acted on at the console's next operation, once the screen is drawn up to date.
volatile sig_atomic_t stopRequested = 0;

void onStopSignal(int) {
  stopRequested = 1;
}

// Whatever ran while the process was stopped may have drawn on the terminal and set its modes;
// the console takes it back once it finds itself in the foreground.
void onContinueSignal(int) {
  continuedFlag = 1;
}

void onResizeSignal(int) {
  resizedFlag = 1;
}

void install(int sig, void (*handler)(int), bool keepIgnored) {
  if (savedCount == kMaxSavedActions) return;
  SavedAction& saved = savedActions[savedCount++];
  saved.signal = sig;
  saved.installed = sigaction(sig, nullptr, &saved.action) == 0;
  // A signal the shell told us to ignore (a job started in the background) stays ignored.
  if (!saved.installed || (keepIgnored && saved.action.sa_handler == SIG_IGN)) {
    saved.installed = false;
    return;
  }
  setAction(sig, handler);
}

// Colours off, scroll region off (a scroll may have been cut short), cursor where the output
// stood, modes as before; then the mark is cleared.
void resetTerminal(bool freshLine) {
  const int savedErrno = errno;
  if (guardSequences.load()) {
    char buffer[96];
    // Colours off, scroll region off (a scroll may have been cut short), the cursor shown. After
    // plain lines the region is off already, and resetting it would send the cursor home.
    char* end =
        appendText(buffer, guardRow.load() > 0 ? "\x1b[0m\x1b[r\x1b[?25h" : "\x1b[0m\x1b[?25h");
    if (freshLine && abortEraseRow.load() > 0) {
      // Cut short in the viewer: its hint goes, and the prompt comes below the status window.
      end = appendCursorMove(end, 1, abortEraseRow.load());
      end = appendText(end, "\x1b[2K");
      end = appendCursorMove(end, 1, abortBottomRow.load());
      end = appendText(end, "\r\n");
    } else if (guardRow.load() > 0) {
      end = appendCursorMove(end, guardColumn.load(), guardRow.load());
      if (freshLine && guardColumn.load() > 1) end = appendText(end, "\r\n");
    }
    writeAll(guardFd, std::string_view(buffer, static_cast<std::size_t>(end - buffer)));
  }
  tcsetattr(guardFd, TCSANOW, &savedModes);
  armed = false;
  errno = savedErrno;
}

}  // namespace

char* appendCursorMove(char* out, int column, int row) {
  out = appendText(out, "\x1b[");
  out = appendNumber(out, row);
  *out++ = ';';
  out = appendNumber(out, column);
  *out++ = 'H';
  return out;
}

void armTerminalGuard(int fd, const termios& saved, const termios& raw, bool sequences) {
  guardFd = fd;
  savedModes = saved;
  rawModes = raw;
  guardSequences = sequences;
  abortEraseRow = 0;
  armed = true;
}

void setGuardAbortErase(int row, int bottomRow) {
  abortBottomRow = bottomRow;
  abortEraseRow = row;
}

bool inForeground(int fd) {
  return tcgetpgrp(fd) == getpgrp();
}

void setGuardCursor(int column, int row) {
  guardColumn = column;
  guardRow = row;
}

void restoreTerminalGuard(bool freshLine) {
  // The mark is cleared only once the terminal is reset: a signal arriving meanwhile waits (in
  // a handler every signal is blocked already), so no way out finds it cleared too early.
  sigset_t all, previous;
  sigfillset(&all);
  pthread_sigmask(SIG_BLOCK, &all, &previous);
  if (armed.load()) resetTerminal(freshLine);
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
}

void installFatalSignalHandlers() {
  removeSignalHandlers();
  stack_t stack{};
  stack.ss_sp = alternateStack;
  stack.ss_size = sizeof alternateStack;
  sigaltstack(&stack, nullptr);
  for (int sig : kFatalSignals) install(sig, onFatalSignal, ignorable(sig));
  for (int sig = SIGRTMIN; sig <= SIGRTMAX; ++sig) install(sig, onFatalSignal, false);
}

void installStopSignalHandlers() {
  install(SIGTSTP, onStopSignal, true);
  install(SIGCONT, onContinueSignal, false);
  install(SIGWINCH, onResizeSignal, false);
}

void removeSignalHandlers() {
  for (int i = 0; i < savedCount; ++i) {
    if (savedActions[i].installed)
      sigaction(savedActions[i].signal, &savedActions[i].action, nullptr);
  }
  savedCount = 0;
}

bool takeContinuedFlag() {
  if (continuedFlag == 0) return false;
  continuedFlag = 0;
  return true;
}

bool takeStopRequest() {
  if (stopRequested == 0) return false;
  stopRequested = 0;
  return true;
}

void stopForJobControl() {
  // Sent to a job in the background (kill -TSTP), the terminal is not the process's to reset.
  if (inForeground(guardFd)) {
    restoreTerminalGuard(true);
  } else {
    releaseTerminalGuard();
  }
  raiseWithDefaultAction(SIGTSTP);
  // Continued: the stop is over.
  setAction(SIGTSTP, onStopSignal);
}

void retakeTerminalGuard() {
  sigset_t all, previous;
  sigfillset(&all);
  pthread_sigmask(SIG_BLOCK, &all, &previous);
  tcsetattr(guardFd, TCSANOW, &rawModes);
  armed = true;
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
}

void releaseTerminalGuard() {
  armed = false;
}

void setGuardSequences(bool sequences) {
  guardSequences = sequences;
}

bool takeResizedFlag() {
  if (resizedFlag == 0) return false;
  resizedFlag = 0;
  return true;
}

void setFatalSignalCleanup(void (*cleanup)()) {
  cleanupHook = cleanup;
}

void restoreTerminalNow() {
  restoreTerminalGuard(true);
}
