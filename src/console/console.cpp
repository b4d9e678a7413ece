#include "console/console.h"

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <string>
#include <utility>

#include "console/console_backend.h"
#include "console/console_internal.h"
#include "console/console_model.h"
#include "console/glyph_table.h"
#include "console/terminal_backend.h"
#include "console/terminal_guard.h"

namespace {

// No terminal at all: the model is kept, nothing is drawn, and nobody is there to press a key.
class HeadlessBackend final : public ConsoleBackend {
 public:
  void flush(ConsoleModel&) override {}
  void collectKeys(KeyQueue&, bool) override {}
};

struct Console {
  ConsoleModel model;
  std::unique_ptr<ConsoleBackend> backend;
  KeyQueue queue;
  uint8_t pendingByte = 0;  // the code of an extended key whose 0 readKey has returned
  int updateDepth = 0;
  bool open = false;  // between openConsole and closeConsole
  ConsoleKind kind = ConsoleKind::None;
  bool asciiOnly = false;
};

Console& console() {
  static Console instance;
  return instance;
}

// Operations before openConsole act on a console that draws nothing, never on a null back end.
Console& begin() {
  Console& c = console();
  if (!c.backend) {
    c.model.reset(80, 25, 1, 1);
    c.backend = std::make_unique<HeadlessBackend>();
    c.model.setListener(c.backend.get());
  }
  c.backend->beforeOperation(c.model);
  return c;
}

void finish(Console& c) {
  if (c.updateDepth == 0) c.backend->flushFrame(c.model);
}

void install(Console& c, std::unique_ptr<ConsoleBackend> backend) {
  c.backend = std::move(backend);
  c.model.setListener(c.backend.get());
  c.queue.clear();
  c.pendingByte = 0;
  c.updateDepth = 0;
}

}  // namespace

void setForeground(int colour) {
  Console& c = begin();
  c.model.setForeground(colour);
  finish(c);
}

void setBackground(int colour) {
  Console& c = begin();
  c.model.setBackground(colour);
  finish(c);
}

void setAttribute(uint8_t attribute) {
  Console& c = begin();
  c.model.setAttribute(attribute);
  finish(c);
}

void useTerminalColours() {
  Console& c = begin();
  c.model.useTerminalColours();
  finish(c);
}

void setWindow(int left, int top, int right, int bottom) {
  Console& c = begin();
  c.model.setWindow(left, top, right, bottom);
  finish(c);
}

void moveCursor(int column, int row) {
  Console& c = begin();
  c.model.moveCursor(column, row);
  finish(c);
}

uint8_t cursorRow() {
  return begin().model.cursorRow();
}

void clearScreen() {
  Console& c = begin();
  c.model.clearScreen();
  finish(c);
}

void writeText(std::string_view text) {
  Console& c = begin();
  c.model.writeText(text);
  finish(c);
}

void writeLine(std::string_view text) {
  Console& c = begin();
  c.model.writeText(text);
  c.model.writeText("\r\n");
  finish(c);
}

void writeCells(int column, int row, std::string_view text, uint8_t attribute) {
  Console& c = begin();
  c.model.writeCells(column, row, text, attribute);
  finish(c);
}

bool keyAvailable() {
  Console& c = begin();
  finish(c);  // a repaint the terminal is owed (after a stop) should not wait for a key
  if (c.pendingByte != 0) return true;
  c.backend->collectKeys(c.queue, false);
  return !c.queue.empty();
}

uint8_t readKey() {
  Console& c = begin();
  if (c.pendingByte != 0) {
    const uint8_t code = c.pendingByte;
    c.pendingByte = 0;
    return code;
  }
  if (c.queue.empty()) {
    // Whoever waits for a key must see the screen and the cursor as they are.
    c.backend->flush(c.model);
    c.backend->collectKeys(c.queue, true);
    if (c.queue.empty()) return 27;
  }
  const KeyPress key = c.queue.pop();
  if (key.character != 0) return key.character;
  c.pendingByte = key.code;
  return 0;
}

void setTitle(std::string_view text) {
  Console& c = begin();
  c.backend->setTitle(text);
  finish(c);
}

void disableMouseInput() {
  Console& c = begin();
  c.backend->disableMouseInput();
  finish(c);
}

void openConsole(bool plainLines) {
  Console& c = console();
  if (c.open) return;
  // Handlers first: from the moment the terminal is in raw mode, every way out restores it,
  // an exit() that skips closeConsole included.
  static const bool restoreAtExit = std::atexit(restoreTerminalNow) == 0;
  (void)restoreAtExit;
  installFatalSignalHandlers();
  TerminalStart start;
  start.dumb = plainLines;
  std::unique_ptr<ConsoleBackend> terminal = openTerminalBackend(&start);
  if (terminal) installStopSignalHandlers();
  // On 20 to 24 rows the model keeps 25: the back end shows the bottom of the status window.
  c.model.reset(start.columns, std::max(start.rows, 25), start.cursorColumn, start.cursorRow);
  c.kind = !terminal               ? ConsoleKind::None
           : terminal->panelFits() ? ConsoleKind::Screen
                                   : ConsoleKind::Lines;
  c.asciiOnly = terminal && start.asciiOnly;
  install(c, terminal ? std::move(terminal) : std::make_unique<HeadlessBackend>());
  c.open = true;
}

ConsoleKind consoleKind() {
  return console().kind;
}

bool consoleAsciiOnly() {
  return console().asciiOnly;
}

bool panelFits() {
  Console& c = begin();
  return c.kind == ConsoleKind::Screen && c.backend->panelFits();
}

bool consoleHidesRows() {
  return begin().backend->hiddenRows() > 0;
}

void enterLineMode() {
  Console& c = begin();
  if (c.kind != ConsoleKind::Screen) return;
  c.kind = ConsoleKind::Lines;
  c.backend->enterLineMode();
}

void writePlain(std::string_view text) {
  begin().backend->writePlain(text);
}

void setCursorVisible(bool visible) {
  Console& c = begin();
  c.backend->setCursorVisible(visible);
  finish(c);
}

void setAbortErase(int row) {
  begin().backend->setAbortErase(row);
}

void followTerminal() {
  finish(begin());
}

void flushScreen() {
  Console& c = begin();
  c.backend->flush(c.model);
}

void closeConsole() {
  Console& c = console();
  if (!c.open) return;
  c.open = false;
  c.kind = ConsoleKind::None;
  c.updateDepth = 0;
  c.backend->flush(c.model);
  c.backend->close(c.model);
  removeSignalHandlers();
  // Whatever still writes after the end draws nowhere.
  install(c, std::make_unique<HeadlessBackend>());
}

ScreenUpdate::ScreenUpdate() {
  ++begin().updateDepth;
}

ScreenUpdate::~ScreenUpdate() {
  Console& c = console();
  if (c.updateDepth > 0 && --c.updateDepth == 0) c.backend->flushFrame(c.model);
}

void installConsoleBackend(std::unique_ptr<ConsoleBackend> backend, int columns, int rows,
                           int cursorColumn, int cursorRow, bool closeAtShutDown) {
  Console& c = console();
  closeConsole();
  c.model.reset(columns, rows, cursorColumn, cursorRow);
  install(c, std::move(backend));
  c.open = closeAtShutDown;
  c.kind = ConsoleKind::Screen;
  c.asciiOnly = false;
}

const ConsoleModel& consoleModel() {
  return begin().model;
}
