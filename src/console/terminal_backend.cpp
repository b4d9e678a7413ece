#include "console/terminal_backend.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <vector>

#include "console/glyph_table.h"
#include "console/glyphs.h"
#include "console/terminal_guard.h"

namespace {

// How long start-up waits for the terminal to report the cursor position. A terminal that does
// not answer at all (some serial consoles) costs this once.
constexpr int kCursorReportWaitMs = 200;

int64_t nowMs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// PC colour order to ANSI order: PC 1 is blue, ANSI 1 is red.
constexpr int kAnsiColour[8] = {0, 4, 2, 6, 1, 5, 3, 7};

int foregroundSgr(uint8_t attribute) {
  const int colour = attribute & 0x0F;
  return (colour & 8 ? 90 : 30) + kAnsiColour[colour & 7];
}

int backgroundSgr(uint8_t attribute) {
  return 40 + kAnsiColour[(attribute >> 4) & 7];
}

void writeAll(int fd, std::string_view data) {
  while (!data.empty()) {
    const ssize_t written = ::write(fd, data.data(), data.size());
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return;  // the console ignores failures of the terminal
    data.remove_prefix(static_cast<std::size_t>(written));
  }
}

class TerminalBackend final : public ConsoleBackend {
 public:
  TerminalBackend(int fd, bool ownsTerminal) : fd_(fd), ownsTerminal_(ownsTerminal) {}
  ~TerminalBackend() override {
    if (ownsTerminal_) ::close(fd_);
  }
  TerminalBackend(const TerminalBackend&) = delete;
  TerminalBackend& operator=(const TerminalBackend&) = delete;

  void beforeOperation(ConsoleModel& model) override {
    if (model_ == nullptr) {
      // The model starts where the terminal's cursor is.
      shownColumn_ = model.outputColumn();
      shownRow_ = model.outputRow();
    }
    model_ = &model;
    if (ownsTerminal_ && takeContinuedFlag()) forgetPicture(model);
  }

  void flush(ConsoleModel& model) override {
    drawChanges(model);
    const bool cursorMoved = model.outputColumn() != shownColumn_ || model.outputRow() != shownRow_;
    if (out_.empty() && !cursorMoved) return;
    resetColours();
    moveTo(model.outputColumn(), model.outputRow());
    shownColumn_ = model.outputColumn();
    shownRow_ = model.outputRow();
    if (ownsTerminal_) setGuardCursor(shownColumn_, shownRow_);
    writeAll(fd_, out_);
    out_.clear();
  }

  void collectKeys(KeyQueue& queue, bool wait) override {
    for (const KeyPress& key : early_) queue.push(key);
    early_.clear();
    std::vector<KeyPress> keys;
    for (;;) {
      readAvailable(keys);
      decoder_.expire(nowMs(), keys);
      for (const KeyPress& key : keys) queue.push(key);
      keys.clear();
      if (!queue.empty() || keyboardGone_) return;
      const int64_t expiry = decoder_.msUntilExpiry(nowMs());
      // Even a look without waiting lets an unfinished sequence run its course: an ESC pressed
      // just now must count as ESC, not vanish until the next look.
      if (!wait && expiry < 0) return;
      pollfd p{fd_, POLLIN, 0};
      const int ready = ::poll(&p, 1, expiry < 0 ? -1 : static_cast<int>(expiry));
      if (ready < 0 && errno != EINTR) {
        hangUp(keys);
      } else if (ready < 0 && ownsTerminal_ && model_ != nullptr && takeContinuedFlag()) {
        forgetPicture(*model_);
        flush(*model_);
      }
    }
  }

  void setTitle(std::string_view text) override {
    out_ += "\x1b]0;";
    for (std::size_t pos = 0; pos < text.size();) {
      const Glyph glyph = decodeGlyph(text, pos);
      const auto byte = static_cast<unsigned char>(text[pos]);
      if (glyph.length > 1 || (byte >= 0x20 && byte < 0x7F)) out_ += text.substr(pos, glyph.length);
      pos += glyph.length;
    }
    out_ += '\a';
  }

  void disableMouseInput() override {
    out_ += "\x1b[?1000l\x1b[?1002l\x1b[?1003l\x1b[?1005l\x1b[?1006l\x1b[?1015l";
  }

  void close(ConsoleModel& model) override {
    flush(model);
    if (ownsTerminal_) restoreTerminalGuard();
  }

  bool scrollingFullWidth(int top, int bottom) override {
    // What is pending belongs to the picture before the scroll.
    if (model_ != nullptr) drawChanges(*model_);
    scrollShown(top, bottom);
    resetColours();
    out_ += "\x1b[";
    appendNumber(top);
    out_ += ';';
    appendNumber(bottom);
    out_ += 'r';
    moveTo(1, bottom);
    out_ +=
        "\x1b"
        "D\x1b[r";
    shownColumn_ = shownRow_ = 0;
    return true;
  }

  void bell() override { out_ += '\a'; }

  // Start-up: asks the terminal where its cursor is. Keys that arrive before the answer are
  // kept for the first look at the keyboard.
  bool askCursor(int* column, int* row) {
    writeAll(fd_, "\x1b[6n");
    decoder_.expectCursorReport();
    const int64_t deadline = nowMs() + kCursorReportWaitMs;
    for (;;) {
      const int64_t left = deadline - nowMs();
      if (left <= 0) return false;
      pollfd p{fd_, POLLIN, 0};
      const int ready = ::poll(&p, 1, static_cast<int>(left));
      if (ready < 0 && errno == EINTR) continue;
      if (ready <= 0 || (p.revents & POLLIN) == 0) return false;
      readAvailable(early_);
      if (decoder_.takeCursorReport(row, column)) return true;
    }
  }

 private:
  // Takes whatever the terminal has ready, without waiting.
  void readAvailable(std::vector<KeyPress>& keys) {
    char buffer[256];
    for (;;) {
      pollfd p{fd_, POLLIN, 0};
      if (::poll(&p, 1, 0) <= 0) return;
      if ((p.revents & POLLIN) == 0) {
        if ((p.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) hangUp(keys);
        return;
      }
      const ssize_t count = ::read(fd_, buffer, sizeof buffer);
      if (count < 0 && errno == EINTR) continue;
      if (count < 0) return;
      if (count == 0) {
        hangUp(keys);
        return;
      }
      decoder_.feed(std::string_view(buffer, static_cast<std::size_t>(count)), nowMs(), keys);
    }
  }

  // No key can come any more: what has arrived is all there is.
  void hangUp(std::vector<KeyPress>& keys) {
    keyboardGone_ = true;
    decoder_.settle(keys);
  }

  // The terminal's picture was lost (the process was stopped): draw everything again, cells
  // never written as blanks.
  void forgetPicture(ConsoleModel& model) {
    model.changeEverything();
    std::fill(shown_.begin(), shown_.end(), Cell{});
    sgrPlain_ = true;
    shownColumn_ = shownRow_ = 0;
  }

  void drawChanges(ConsoleModel& model) {
    const int columns = model.columns();
    if (shown_.size() != static_cast<std::size_t>(columns) * model.rows()) {
      shown_.assign(static_cast<std::size_t>(columns) * model.rows(), Cell{});
      shownColumns_ = columns;
    }
    for (int row = 1; row <= model.rows(); ++row) {
      if (!model.rowChanged(row)) continue;
      const Cell* cells = model.rowCells(row);
      const uint8_t* changed = model.rowChanges(row);
      const Cell* shown = &shownCell(1, row);
      // A cell to draw: changed in the model since the last flush, and not what the terminal
      // shows already (a cell changed and changed back within one update, as a file's progress
      // bar is cleared and filled again, costs nothing).
      const auto differs = [&](int column) {
        return changed[column - 1] != 0 && !(shown[column - 1] == cells[column - 1]);
      };
      int column = 1;
      while (column <= columns) {
        if (!differs(column)) {
          ++column;
          continue;
        }
        int first = column;
        if (cells[first - 1].continuation && first > 1) --first;
        int end = column;
        while (end <= columns && differs(end)) ++end;
        if (cells[end - 2].wide && end <= columns) ++end;
        drawRun(model, row, first, end);
        column = end;
      }
      model.clearChanges(row);
    }
  }

  Cell& shownCell(int column, int row) {
    return shown_[static_cast<std::size_t>(row - 1) * shownColumns_ + (column - 1)];
  }
  const Cell& shownCell(int column, int row) const {
    return shown_[static_cast<std::size_t>(row - 1) * shownColumns_ + (column - 1)];
  }

  // The terminal moved rows top+1..bottom up by one; what its new bottom row shows is unknown.
  void scrollShown(int top, int bottom) {
    if (shown_.empty()) return;
    const auto rowStart = [this](int row) {
      return shown_.begin() + static_cast<std::ptrdiff_t>(row - 1) * shownColumns_;
    };
    std::copy(rowStart(top + 1), rowStart(bottom + 1), rowStart(top));
    std::fill(rowStart(bottom), rowStart(bottom + 1), Cell{});
  }

  // Cells [first, end) of one row as one positioned block.
  void drawRun(const ConsoleModel& model, int row, int first, int end) {
    moveTo(first, row);
    bool afterWide = false;
    for (int column = first; column < end; ++column) {
      const Cell& cell = model.cell(column, row);
      shownCell(column, row) = cell;
      if (cell.continuation && afterWide) {
        afterWide = false;
        continue;  // the terminal has already moved past it
      }
      setColours(cell);
      appendUtf8(out_, cell.continuation ? U' ' : cell.glyph);
      for (char32_t mark : cell.marks) {
        if (mark != 0) appendUtf8(out_, mark);
      }
      afterWide = cell.wide;
    }
  }

  void setColours(const Cell& cell) {
    if (cell.plain) {
      resetColours();
      return;
    }
    const auto attribute = static_cast<uint8_t>(cell.attribute & 0x7F);
    const bool foreground = sgrPlain_ || (attribute & 0x0F) != (sgrAttribute_ & 0x0F);
    const bool background = sgrPlain_ || (attribute & 0x70) != (sgrAttribute_ & 0x70);
    if (!foreground && !background) return;
    out_ += "\x1b[";
    if (foreground) appendNumber(foregroundSgr(attribute));
    if (foreground && background) out_ += ';';
    if (background) appendNumber(backgroundSgr(attribute));
    out_ += 'm';
    sgrPlain_ = false;
    sgrAttribute_ = attribute;
  }

  void resetColours() {
    if (sgrPlain_) return;
    out_ += "\x1b[0m";
    sgrPlain_ = true;
  }

  void moveTo(int column, int row) {
    out_ += "\x1b[";
    appendNumber(row);
    out_ += ';';
    appendNumber(column);
    out_ += 'H';
  }

  void appendNumber(int value) { out_ += std::to_string(value); }

  int fd_;
  bool ownsTerminal_;  // opened by us, in raw mode, under the guard
  std::string out_;    // what the current operation sends, in one write
  bool sgrPlain_ = true;
  uint8_t sgrAttribute_ = 7;
  int shownColumn_ = 0;  // where the terminal's cursor was left; 0 when not known
  int shownRow_ = 0;
  ConsoleModel* model_ = nullptr;
  // What the terminal shows, cell by cell, as far as it is known (cells never drawn, or brought
  // in by a scroll, are not known).
  std::vector<Cell> shown_;
  int shownColumns_ = 0;
  KeyDecoder decoder_;
  std::vector<KeyPress> early_;
  bool keyboardGone_ = false;
};

int openTerminalFd() {
  char name[256];
  const char* path = "/dev/tty";
  if (isatty(STDOUT_FILENO) && ttyname_r(STDOUT_FILENO, name, sizeof name) == 0) path = name;
  return ::open(path, O_RDWR | O_NOCTTY | O_CLOEXEC);
}

}  // namespace

std::unique_ptr<ConsoleBackend> openTerminalBackend(TerminalStart* start) {
  const int fd = openTerminalFd();
  if (fd < 0) return nullptr;
  termios saved{};
  if (tcgetattr(fd, &saved) != 0) {
    ::close(fd);
    return nullptr;
  }
  termios raw = saved;
  // Single key presses without echo; Ctrl+S and Ctrl+Q are keys, not flow control; CR stays
  // CR. ISIG stays, so Ctrl+C and Ctrl+\ keep their effect, and OPOST, so output is as before.
  raw.c_iflag &= ~static_cast<tcflag_t>(IXON | ICRNL | INLCR | IGNCR | ISTRIP);
  raw.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO | ECHONL | IEXTEN);
  raw.c_cc[VMIN] = 0;
  raw.c_cc[VTIME] = 0;
  armTerminalGuard(fd, saved, raw);
  tcsetattr(fd, TCSANOW, &raw);

  winsize size{};
  if (ioctl(fd, TIOCGWINSZ, &size) == 0 && size.ws_col > 0 && size.ws_row > 0) {
    start->columns = size.ws_col;
    start->rows = size.ws_row;
  }
  auto backend = std::make_unique<TerminalBackend>(fd, true);
  int column = 0;
  int row = 0;
  if (backend->askCursor(&column, &row)) {
    start->cursorColumn = std::clamp(column, 1, start->columns);
    start->cursorRow = std::clamp(row, 1, start->rows);
  } else {
    // Below everything that could be on the screen: new output then scrolls up like any other.
    start->cursorColumn = 1;
    start->cursorRow = start->rows;
  }
  setGuardCursor(start->cursorColumn, start->cursorRow);
  return backend;
}

std::unique_ptr<ConsoleBackend> terminalBackendOn(int fd) {
  return std::make_unique<TerminalBackend>(fd, false);
}
