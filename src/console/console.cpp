#include "console/console.h"

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <string>
#include <utility>

#include "console/console_backend.h"
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

}  // namespace

Console::Console()
    : model_(std::make_unique<ConsoleModel>()), queue_(std::make_unique<KeyQueue>()) {
  model_->reset(80, 25, 1, 1);
  use(std::make_unique<HeadlessBackend>());
}

Console::~Console() {
  close();
}

void Console::use(std::unique_ptr<ConsoleBackend> backend) {
  backend_ = std::move(backend);
  model_->setListener(backend_.get());
  queue_->clear();
  pendingByte_ = 0;
  updateDepth_ = 0;
}

void Console::begin() {
  backend_->beforeOperation(*model_);
}

void Console::finish() {
  if (updateDepth_ == 0) backend_->flushFrame(*model_);
}

void Console::setForeground(int colour) {
  begin();
  model_->setForeground(colour);
  finish();
}

void Console::setBackground(int colour) {
  begin();
  model_->setBackground(colour);
  finish();
}

void Console::setAttribute(uint8_t attribute) {
  begin();
  model_->setAttribute(attribute);
  finish();
}

void Console::useTerminalColours() {
  begin();
  model_->useTerminalColours();
  finish();
}

void Console::setWindow(int left, int top, int right, int bottom) {
  begin();
  model_->setWindow(left, top, right, bottom);
  finish();
}

void Console::moveCursor(int column, int row) {
  begin();
  model_->moveCursor(column, row);
  finish();
}

uint8_t Console::cursorRow() {
  begin();
  return model_->cursorRow();
}

void Console::clearScreen() {
  begin();
  model_->clearScreen();
  finish();
}

void Console::writeText(std::string_view text) {
  begin();
  model_->writeText(text);
  finish();
}

void Console::writeLine(std::string_view text) {
  begin();
  model_->writeText(text);
  model_->writeText("\r\n");
  finish();
}

void Console::writeCells(int column, int row, std::string_view text, uint8_t attribute) {
  begin();
  model_->writeCells(column, row, text, attribute);
  finish();
}

bool Console::keyAvailable() {
  begin();
  finish();  // a repaint the terminal is owed (after a stop) should not wait for a key
  if (pendingByte_ != 0) return true;
  backend_->collectKeys(*queue_, false);
  return !queue_->empty();
}

uint8_t Console::readKey() {
  begin();
  if (pendingByte_ != 0) return std::exchange(pendingByte_, 0);
  if (queue_->empty()) {
    // Whoever waits for a key must see the screen and the cursor as they are.
    backend_->flush(*model_);
    backend_->collectKeys(*queue_, true);
    if (queue_->empty()) return kKeyEscape;
  }
  const KeyPress key = queue_->pop();
  if (key.character != 0) return key.character;
  pendingByte_ = key.code;
  return 0;
}

void Console::setTitle(std::string_view text) {
  begin();
  backend_->setTitle(text);
  finish();
}

void Console::disableMouseInput() {
  begin();
  backend_->disableMouseInput();
  finish();
}

void Console::open(bool plainLines) {
  if (open_) return;
  // Handlers first: from the moment the terminal is in raw mode, every way out restores it,
  // an exit() that skips close() included.
  static const bool restoreAtExit = std::atexit(restoreTerminalNow) == 0;
  (void)restoreAtExit;
  installFatalSignalHandlers();
  TerminalStart start;
  start.dumb = plainLines;
  std::unique_ptr<ConsoleBackend> terminal = openTerminalBackend(&start);
  if (terminal) installStopSignalHandlers();
  // On 20 to 24 rows the model keeps 25: the back end shows the bottom of the status window.
  model_->reset(start.columns, std::max(start.rows, 25), start.cursorColumn, start.cursorRow);
  kind_ = !terminal               ? ConsoleKind::None
          : terminal->panelFits() ? ConsoleKind::Screen
                                  : ConsoleKind::Lines;
  asciiOnly_ = terminal && start.asciiOnly;
  use(terminal ? std::move(terminal) : std::make_unique<HeadlessBackend>());
  open_ = true;
}

bool Console::panelFits() {
  begin();
  return kind_ == ConsoleKind::Screen && backend_->panelFits();
}

bool Console::hidesRows() {
  begin();
  return backend_->hiddenRows() > 0;
}

void Console::enterLineMode() {
  begin();
  if (kind_ != ConsoleKind::Screen) return;
  kind_ = ConsoleKind::Lines;
  backend_->enterLineMode();
}

void Console::writePlain(std::string_view text) {
  begin();
  backend_->writePlain(text);
}

void Console::setCursorVisible(bool visible) {
  begin();
  backend_->setCursorVisible(visible);
  finish();
}

void Console::setAbortErase(int row) {
  begin();
  backend_->setAbortErase(row);
}

void Console::followTerminal() {
  begin();
  finish();
}

void Console::flushScreen() {
  begin();
  backend_->flush(*model_);
}

void Console::close() {
  if (!open_) return;
  open_ = false;
  kind_ = ConsoleKind::None;
  updateDepth_ = 0;
  backend_->flush(*model_);
  backend_->close(*model_);
  removeSignalHandlers();
  // Whatever still writes after the end draws nowhere.
  use(std::make_unique<HeadlessBackend>());
}

void Console::install(std::unique_ptr<ConsoleBackend> backend, int columns, int rows,
                      int cursorColumn, int cursorRow, bool closeAtShutDown) {
  close();
  model_->reset(columns, rows, cursorColumn, cursorRow);
  use(std::move(backend));
  open_ = closeAtShutDown;
  kind_ = ConsoleKind::Screen;
  asciiOnly_ = false;
}

const ConsoleModel& Console::model() const {
  return *model_;
}

ScreenUpdate::ScreenUpdate(Console& console) : console_(console) {
  console_.begin();
  ++console_.updateDepth_;
}

ScreenUpdate::~ScreenUpdate() {
  if (console_.updateDepth_ > 0 && --console_.updateDepth_ == 0) {
    console_.backend_->flushFrame(*console_.model_);
  }
}
