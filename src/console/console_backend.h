#pragma once
// What stands behind the console model: something that shows it (or does not) and delivers key
// presses. The console operations own one back end at a time.

#include <array>
#include <cstdint>
#include <string_view>

#include "console/console_model.h"
#include "console/key_decoder.h"

// Key presses waiting to be read. A press that finds the queue full is lost, as on a PC.
class KeyQueue {
 public:
  static constexpr int kCapacity = 16;

  void push(KeyPress key) {
    if (count_ == kCapacity) return;
    entries_[(first_ + count_) % kCapacity] = key;
    ++count_;
  }
  KeyPress pop() {
    const KeyPress key = entries_[first_];
    first_ = (first_ + 1) % kCapacity;
    --count_;
    return key;
  }
  bool empty() const { return count_ == 0; }
  void clear() { first_ = count_ = 0; }

 private:
  std::array<KeyPress, kCapacity> entries_{};
  int first_ = 0;
  int count_ = 0;
};

class ConsoleBackend : public ModelListener {
 public:
  virtual ~ConsoleBackend() = default;

  // Called before every console operation: the place to notice that the terminal's picture was
  // lost (the process was stopped and continued) and everything must be drawn again.
  virtual void beforeOperation(ConsoleModel& /*model*/) {}
  // Brings the screen in line with the model, cursor included, in one write at most.
  virtual void flush(ConsoleModel& model) = 0;
  // The same, at most once a frame: a back end may leave the changes for a later flush.
  virtual void flushFrame(ConsoleModel& model) { flush(model); }
  // Takes the presses that have arrived into the queue. With wait, returns only once the queue
  // holds a key or no key can ever come.
  virtual void collectKeys(KeyQueue& queue, bool wait) = 0;
  virtual void setTitle(std::string_view /*text*/) {}
  virtual void disableMouseInput() {}
  // Shut-down: the terminal as it was, the cursor at the output position.
  virtual void close(ConsoleModel& /*model*/) {}

  // Text as it is, for line mode: no cursor addressing, no colour.
  virtual void writePlain(std::string_view /*text*/) {}
  virtual void setCursorVisible(bool /*visible*/) {}
  // The terminal shows the whole panel (at least 80x20); false once it shrank below that.
  virtual bool panelFits() const { return true; }
  // The model's rows that the terminal does not show (on 20 to 24 rows, the top of the status
  // window): 0 when it shows them all.
  virtual int hiddenRows() const { return 0; }
  // Leaves the screen for line mode: from now on only writePlain reaches the terminal.
  virtual void enterLineMode() {}
  // See setAbortErase in console.h; row is a model row.
  virtual void setAbortErase(int /*row*/) {}

  bool scrollingFullWidth(int, int) override { return false; }
  void bell() override {}
};
