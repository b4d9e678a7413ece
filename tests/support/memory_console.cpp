#include "support/memory_console.h"

#include <memory>
#include <utility>
#include <vector>

#include "console/console.h"
#include "console/console_backend.h"
#include "console/glyph_table.h"
#include "console/terminal_backend.h"

namespace {

// Key bytes fed by a test are taken as having arrived all at once; once they are used up the
// keyboard falls silent, so an unfinished sequence is settled at once. A test that wants to press
// keys one at a time feeds them from the wait hook.
class MemoryBackend final : public ConsoleBackend {
 public:
  void feed(std::string_view bytes) { fed_ += bytes; }
  void setWaitHook(std::function<void()> hook) { waitHook_ = std::move(hook); }
  void flush(ConsoleModel&) override {}
  void collectKeys(KeyQueue& queue, bool wait) override {
    take(queue);
    while (wait && queue.empty() && waitHook_) {
      waitHook_();
      if (fed_.empty()) return;
      take(queue);
    }
  }

 private:
  void take(KeyQueue& queue) {
    std::vector<KeyPress> keys;
    decoder_.feed(fed_, 0, keys);
    decoder_.settle(keys);
    fed_.clear();
    for (const KeyPress& key : keys) queue.push(key);
  }

  std::string fed_;
  KeyDecoder decoder_;
  std::function<void()> waitHook_;
};

MemoryBackend* gMemory = nullptr;  // the console's back end while a memory console is open

const ConsoleModel& consoleModel() {
  return testConsole().model();
}

}  // namespace

Console& testConsole() {
  static Console console;
  return console;
}

void openMemoryConsole(int columns, int rows, int cursorColumn, int cursorRow) {
  auto memory = std::make_unique<MemoryBackend>();
  MemoryBackend* raw = memory.get();
  testConsole().install(std::move(memory), columns, rows, cursorColumn, cursorRow, false);
  gMemory = raw;
}

void openConsoleOnDescriptor(int fd, int columns, int rows, int cursorColumn, int cursorRow,
                             const TerminalStart& terminal) {
  gMemory = nullptr;
  testConsole().install(terminalBackendOn(fd, terminal), columns, rows, cursorColumn, cursorRow,
                        true);
}

void setKeyWaitHook(std::function<void()> hook) {
  if (gMemory != nullptr) gMemory->setWaitHook(std::move(hook));
}

void feedKeyBytes(std::string_view bytes) {
  if (gMemory != nullptr) gMemory->feed(bytes);
}

std::string screenText(int row) {
  const ConsoleModel& model = consoleModel();
  std::string text;
  if (row < 1 || row > model.rows()) return text;
  for (int column = 1; column <= model.columns(); ++column) {
    const Cell& cell = model.cell(column, row);
    if (cell.continuation) continue;
    appendUtf8(text, cell.glyph);
    for (char32_t mark : cell.marks) {
      if (mark != 0) appendUtf8(text, mark);
    }
  }
  return text;
}

std::string screenGlyph(int column, int row) {
  const ConsoleModel& model = consoleModel();
  std::string text;
  if (row < 1 || row > model.rows() || column < 1 || column > model.columns()) return text;
  const Cell& cell = model.cell(column, row);
  if (cell.continuation) return text;
  appendUtf8(text, cell.glyph);
  for (char32_t mark : cell.marks) {
    if (mark != 0) appendUtf8(text, mark);
  }
  return text;
}

uint8_t screenAttribute(int column, int row) {
  const ConsoleModel& model = consoleModel();
  if (row < 1 || row > model.rows() || column < 1 || column > model.columns()) return 0;
  return model.cell(column, row).attribute;
}

bool screenInTerminalColours(int column, int row) {
  const ConsoleModel& model = consoleModel();
  if (row < 1 || row > model.rows() || column < 1 || column > model.columns()) return false;
  return model.cell(column, row).plain;
}

uint8_t currentAttribute() {
  return consoleModel().attribute();
}
int outputColumn() {
  return consoleModel().outputColumn();
}
int outputRow() {
  return consoleModel().outputRow();
}
