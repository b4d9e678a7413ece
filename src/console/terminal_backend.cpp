#include "console/terminal_backend.h"

#include "core/io.h"

#include <errno.h>
#include <fcntl.h>
#include <langinfo.h>
#include <locale.h>
#include <poll.h>
#include <strings.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "console/console.h"
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

// At most one write a frame while a run goes on: about 30 a second.
constexpr int64_t kFrameMs = 33;

// The smallest window that holds the panel; below it the run is shown in plain lines.
constexpr int kMinColumns = 80;
constexpr int kMinRows = 20;

void appendMove(std::string& out, int column, int row) {
  char sequence[32];
  out.append(sequence, appendCursorMove(sequence, column, row));
}

// Where the terminal's rows come from. From 25 rows on the model has the terminal's size; on 20
// to 24 rows the model keeps 25 and the terminal shows its rows 1-18 and as many of the status
// window's rows 19-25 as it has room for (chooseRows).
constexpr int kPanelRows = 18;
constexpr int kFullRows = 25;

// Without colours (NO_COLOR) a cell is plain unless its colour marks something: then it is shown
// in reverse video when its background is what marks it, in bold when its text is.
constexpr std::string_view kReverseSgr = "\x1b[7m";
constexpr std::string_view kBoldSgr = "\x1b[1m";

bool hasText(const ConsoleModel& model, int row) {
  const Cell* cells = model.rowCells(row);
  for (int column = 0; column < model.columns(); ++column) {
    if (cells[column].glyph != U' ' || cells[column].marks[0] != 0) return true;
  }
  return false;
}

class TerminalBackend final : public ConsoleBackend {
 public:
  // guarded: the terminal was taken over (raw mode, under the guard), so stops, resizes and the
  // foreground are this back end's business. A test's back end on a plain descriptor is not.
  TerminalBackend(int inFd, int outFd, bool ownsFd, bool guarded, const TerminalStart& start)
      : inFd_(inFd),
        outFd_(outFd),
        ownsFd_(ownsFd),
        guarded_(guarded),
        dumb_(start.dumb),
        noColour_(start.noColour),
        lineMode_(start.dumb || start.columns < kMinColumns || start.rows < kMinRows) {
    setTerminalSize(start.columns, start.rows);
  }
  ~TerminalBackend() override {
    if (ownsFd_) ::close(inFd_);
  }
  TerminalBackend(const TerminalBackend&) = delete;
  TerminalBackend& operator=(const TerminalBackend&) = delete;

  bool lineMode() const { return lineMode_; }

  void beforeOperation(ConsoleModel& model) override {
    if (model_ == nullptr) {
      // The model starts where the terminal's cursor is.
      shownColumn_ = model.outputColumn();
      shownRow_ = model.outputRow();
    }
    model_ = &model;
    if (!guarded_) return;
    if (takeStopRequest()) {
      flush(model);
      stopForJobControl();
      away_ = true;
    }
    if (takeContinuedFlag()) away_ = true;
    if (takeResizedFlag()) followResize(model);
  }

  void flushFrame(ConsoleModel& model) override {
    if (frameDue()) flush(model);
  }

  void flush(ConsoleModel& model) override {
    // In the background the picture waits; it is drawn whole when the run comes forward.
    if (!inFront(model)) return;
    if (lineMode_ || tooSmall_) {
      sendPending();
      return;
    }
    drawChanges(model);
    tellGuardAbortErase();
    const bool cursorMoved = model.outputColumn() != shownColumn_ || model.outputRow() != shownRow_;
    if (cursorVisible_ != wantCursorVisible_) {
      out_ += wantCursorVisible_ ? "\x1b[?25h" : "\x1b[?25l";
      cursorVisible_ = wantCursorVisible_;
    }
    lastFrameMs_ = nowMs();
    if (out_.empty() && !cursorMoved) return;
    resetColours();
    moveTo(model.outputColumn(), visibleRow(model.outputRow()));
    shownColumn_ = model.outputColumn();
    shownRow_ = model.outputRow();
    if (guarded_) setGuardCursor(shownColumn_, visibleRow(shownRow_));
    writeAll(outFd_, out_);
    out_.clear();
  }

  void collectKeys(KeyQueue& queue, bool wait) override {
    for (const KeyPress& key : early_) queue.push(key);
    early_.clear();
    std::vector<KeyPress> keys;
    bool wasTooSmall = tooSmall_;
    for (;;) {
      if (guarded_ && model_ != nullptr) {
        const bool wasAway = away_;
        if (!inFront(*model_)) {
          // A read from the background would stop the process: wait to come forward, which
          // bash's fg of a job running in the background does without a signal.
          if (!wait) return;
          ::poll(nullptr, 0, static_cast<int>(kFrameMs));
          continue;
        }
        // Back in front: the keys are read in raw mode again, under the whole picture.
        if (wasAway) flush(*model_);
      }
      // Whoever waits must learn that the panel no longer fits, resized meanwhile or found
      // smaller on the way back to the foreground.
      if (tooSmall_ && !wasTooSmall) queue.push(KeyPress{0, kKeyResized});
      wasTooSmall = tooSmall_;
      readAvailable(keys);
      decoder_.expire(nowMs(), keys);
      for (const KeyPress& key : keys) queue.push(key);
      keys.clear();
      if (!queue.empty() || keyboardGone_) return;
      const int64_t expiry = decoder_.msUntilExpiry(nowMs());
      // Even a look without waiting lets an unfinished sequence run its course: an ESC pressed
      // just now must count as ESC, not vanish until the next look.
      if (!wait && expiry < 0) return;
      pollfd p{inFd_, POLLIN, 0};
      const int ready = ::poll(&p, 1, expiry < 0 ? -1 : static_cast<int>(expiry));
      if (ready < 0 && errno != EINTR) {
        hangUp(keys);
      } else if (ready < 0 && guarded_ && model_ != nullptr) {
        // A signal: the window may have changed its size, or the process come back from a stop.
        beforeOperation(*model_);
        flush(*model_);
      }
    }
  }

  void setTitle(std::string_view text) override {
    if (lineMode_) return;
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
    if (lineMode_) return;
    out_ += "\x1b[?1000l\x1b[?1002l\x1b[?1003l\x1b[?1005l\x1b[?1006l\x1b[?1015l";
  }

  void close(ConsoleModel& model) override {
    if (!lineMode_) wantCursorVisible_ = true;
    flush(model);
    if (guarded_) restoreTerminalGuard();
  }

  void writePlain(std::string_view text) override {
    if (model_ != nullptr && !inFront(*model_)) return;
    sendPending();
    writeAll(outFd_, text);
    // The cursor stays where the text left it, on every way out.
    if (guarded_) setGuardCursor(0, 0);
  }

  void setCursorVisible(bool visible) override {
    if (!dumb_) wantCursorVisible_ = visible;
  }

  bool panelFits() const override { return !lineMode_ && !tooSmall_; }
  int hiddenRows() const override { return hidden_; }

  void enterLineMode() override {
    if (lineMode_) return;
    lineMode_ = true;
    if (dumb_) return;
    // Where the shrunken window now shows the panel's rows is the terminal's choice, but it keeps
    // the cursor's row in view: the lines start there, and what stood on it and below (the line
    // of the file in hand, the viewer's hint) goes first. No move leaves the window.
    out_.clear();
    out_ += "\x1b[0m\x1b[?25h\r\x1b[J";
    sgrPlain_ = true;
    sendPending();
    if (guarded_) {
      setGuardCursor(0, 0);
      setGuardSequences(false);
    }
  }

  void setAbortErase(int row) override {
    abortRow_ = row;
    tellGuardAbortErase();
  }

  bool scrollingFullWidth(int top, int bottom) override {
    // Within a frame, lines that scroll past are drawn only as far as they are still in the
    // window when the frame is sent; the terminal scrolls what the program did not write itself.
    // Rows chosen for each frame (on 20 to 24 rows) map onto no one region of the terminal, and
    // a process away from the terminal scrolls nothing there.
    if (lineMode_ || tooSmall_ || hidden_ > 0 || away_ || (!frameDue() && allKnown(top, bottom))) {
      return false;
    }
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

  void bell() override {
    if (!dumb_) out_ += '\a';
  }

  // Start-up: asks the terminal where its cursor is. Keys that arrive before the answer are
  // kept for the first look at the keyboard.
  bool askCursor(int* column, int* row) {
    writeAll(outFd_, "\x1b[6n");
    decoder_.expectCursorReport();
    const int64_t deadline = nowMs() + kCursorReportWaitMs;
    for (;;) {
      const int64_t left = deadline - nowMs();
      if (left <= 0) return false;
      pollfd p{inFd_, POLLIN, 0};
      const int ready = ::poll(&p, 1, static_cast<int>(left));
      if (ready < 0 && errno == EINTR) continue;
      if (ready <= 0 || (p.revents & POLLIN) == 0) return false;
      readAvailable(early_);
      if (decoder_.takeCursorReport(row, column)) return true;
    }
  }

  // Draws a cent sign and a box-drawing glyph where the cursor is and asks where the cursor
  // went. A terminal that decodes UTF-8 and draws the box glyph one column wide moves two
  // columns. One that draws East Asian ambiguous glyphs two columns wide moves three, and so does
  // an 8-bit terminal: it shows the cent sign's two bytes as two Latin-1 characters and takes the
  // box glyph's last two for C1 controls that do nothing (the panel's glyphs hold C1 bytes that
  // would eat whole rows there). The glyphs are erased again. A terminal that does not answer,
  // or a cursor too near the right edge to tell, leaves the locale to decide.
  bool drawsUtf8AsAsked(int column, int row) {
    if (column > terminalColumns_ - 4) return true;
    writeAll(outFd_, "\xc2\xa2\xe2\x94\x80");  // U+00A2, U+2500
    int afterColumn = 0;
    int afterRow = 0;
    const bool answered = askCursor(&afterColumn, &afterRow);
    std::string erase;
    appendMove(erase, column, row);
    erase += "\x1b[K";
    writeAll(outFd_, erase);
    return !answered || (afterRow == row && afterColumn - column == 2);
  }

 private:
  // Takes whatever the terminal has ready, without waiting.
  void readAvailable(std::vector<KeyPress>& keys) {
    char buffer[256];
    for (;;) {
      pollfd p{inFd_, POLLIN, 0};
      if (::poll(&p, 1, 0) <= 0) return;
      if ((p.revents & POLLIN) == 0) {
        if ((p.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) hangUp(keys);
        return;
      }
      const ssize_t count = ::read(inFd_, buffer, sizeof buffer);
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

  // Draws only in the foreground. A process that was away (stopped, or running in the
  // background) takes the terminal back the moment it finds itself in the foreground again,
  // with or without SIGCONT: bash's fg of a job that runs in the background sends none.
  bool inFront(ConsoleModel& model) {
    if (!guarded_) return true;
    if (!inForeground(outFd_)) {
      away_ = true;
      releaseTerminalGuard();
      return false;
    }
    if (!away_) return true;
    away_ = false;
    retakeTerminalGuard();
    // Whatever ran meanwhile drew on the screen, and a job in the background hears of no
    // resize: the picture is drawn whole at the window's size.
    if (!lineMode_) followResize(model);
    return true;
  }

  // Where the hint stands on the terminal may change with every frame (chooseRows).
  void tellGuardAbortErase() {
    if (guarded_) setGuardAbortErase(abortRow_ > 0 ? terminalRow(abortRow_) : 0, terminalRows_);
  }

  // The terminal's picture was lost (the process was stopped): draw everything again, cells
  // never written as blanks.
  void forgetPicture(ConsoleModel& model) {
    model.changeEverything();
    std::fill(shown_.begin(), shown_.end(), Cell{});
    sgrPlain_ = true;
    shownColumn_ = shownRow_ = 0;
    cursorVisible_ = !wantCursorVisible_;  // whatever it was, say it again
  }

  // A test's back end on a plain descriptor sends every operation at once.
  bool allKnown(int top, int bottom) const {
    if (model_ == nullptr) return false;
    for (int row = top; row <= bottom; ++row) {
      const Cell* cells = model_->rowCells(row);
      for (int column = 0; column < model_->columns(); ++column) {
        if (!cells[column].known) return false;
      }
    }
    return true;
  }

  bool frameDue() const { return !guarded_ || nowMs() - lastFrameMs_ >= kFrameMs; }

  // The window changed its size: the model follows (never below 80x25), and the terminal is
  // cleared and drawn again from it. Below 80x20 the panel no longer fits, for good.
  void followResize(ConsoleModel& model) {
    winsize size{};
    if (ioctl(outFd_, TIOCGWINSZ, &size) != 0 || size.ws_col == 0 || size.ws_row == 0) return;
    if (lineMode_ || tooSmall_) return;
    if (size.ws_col < kMinColumns || size.ws_row < kMinRows) {
      tooSmall_ = true;
      return;
    }
    setTerminalSize(size.ws_col, size.ws_row);
    model.resize(std::max<int>(size.ws_col, kMinColumns), std::max<int>(size.ws_row, kFullRows));
    forgetPicture(model);
    shown_.clear();
    out_ += "\x1b[0m\x1b[r\x1b[H\x1b[2J";
  }

  void setTerminalSize(int columns, int rows) {
    terminalColumns_ = columns;
    terminalRows_ = rows;
    hidden_ = rows >= kMinRows && rows < kFullRows ? kFullRows - rows : 0;
    rowOf_ = ownRows();
  }

  // Until the panel is drawn, the terminal's rows are the model's own.
  std::array<int, kFullRows + 1> ownRows() const {
    std::array<int, kFullRows + 1> rows{};
    for (int row = 1; row <= std::min(terminalRows_, kFullRows); ++row) rows[row] = row;
    return rows;
  }

  // On 20 to 24 rows, which of the model's rows the terminal shows, chosen for each frame.
  void chooseRows(ConsoleModel& model) {
    if (hidden_ == 0) return;
    const auto rows = model.windowTop() > kPanelRows ? statusWindowRows(model) : ownRows();
    // A row the terminal shows in another place, or shows again, is drawn there whole.
    for (int row = kPanelRows + 1; row <= kFullRows; ++row) {
      if (rows[row] == rowOf_[row] || rows[row] == 0) continue;
      model.changeRows(row, row);
      const auto first = shown_.begin() + static_cast<std::ptrdiff_t>(row - 1) * shownColumns_;
      std::fill(first, first + shownColumns_, Cell{});
    }
    rowOf_ = rows;
  }

  // Rows 1-18, then of the status window's rows every one with text and the output position's
  // row (so the viewer's detail line and its hint both show), topped up with the other rows from
  // the top down; when those do not all fit, the newest of them, the rows up to the lowest.
  std::array<int, kFullRows + 1> statusWindowRows(const ConsoleModel& model) const {
    std::array<bool, kFullRows + 1> keep{};
    int kept = 0;
    int lowest = 0;
    for (int row = kPanelRows + 1; row <= kFullRows; ++row) {
      if (row != model.outputRow() && !hasText(model, row)) continue;
      keep[row] = true;
      ++kept;
      lowest = row;
    }
    const int room = terminalRows_ - kPanelRows;
    for (int row = kPanelRows + 1; row <= kFullRows; ++row) {
      if (kept > room) {
        keep[row] = row > lowest - room && row <= lowest;
      } else if (!keep[row] && kept < room) {
        keep[row] = true;
        ++kept;
      }
    }
    std::array<int, kFullRows + 1> rows{};
    int shown = 0;
    for (int row = 1; row <= kFullRows; ++row) {
      if (row <= kPanelRows || keep[row]) rows[row] = ++shown;
    }
    return rows;
  }

  // The terminal row that shows a model row, or 0 for a row it leaves out.
  int terminalRow(int row) const { return hidden_ == 0 ? row : rowOf_[row]; }
  // The same, a left-out row giving the nearest row shown (for the cursor).
  int visibleRow(int row) const {
    const int shown = terminalRow(row);
    return shown != 0 ? shown : std::min(row, terminalRows_);
  }

  // Text that waits (a title, a mode switch) goes out now.
  void sendPending() {
    if (out_.empty()) return;
    if (!guarded_ || inForeground(outFd_)) writeAll(outFd_, out_);
    out_.clear();
  }

  void drawChanges(ConsoleModel& model) {
    const int columns = model.columns();
    if (shown_.size() != static_cast<std::size_t>(columns) * model.rows()) {
      shown_.assign(static_cast<std::size_t>(columns) * model.rows(), Cell{});
      shownColumns_ = columns;
    }
    chooseRows(model);
    for (int row = 1; row <= model.rows(); ++row) {
      if (!model.rowChanged(row)) continue;
      if (terminalRow(row) == 0) {
        model.clearChanges(row);
        continue;
      }
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
    moveTo(first, terminalRow(row));
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
    if (noColour_) {
      setStyle(cell.attribute);
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

  void setStyle(uint8_t attribute) {
    if ((attribute & kAttributeMarks) == 0) {
      resetColours();
      return;
    }
    const std::string_view style = (attribute & 0x70) != 0 ? kReverseSgr : kBoldSgr;
    if (!sgrPlain_ && style == sgrStyle_) return;
    resetColours();
    out_ += style;
    sgrPlain_ = false;
    sgrStyle_ = style;
  }

  void moveTo(int column, int row) { appendMove(out_, column, row); }

  void appendNumber(int value) { out_ += std::to_string(value); }

  int inFd_;
  int outFd_;
  bool ownsFd_;            // opened here (/dev/tty): closed with the back end
  bool guarded_;           // taken over, in raw mode, under the guard
  bool dumb_;              // not one escape sequence
  bool noColour_;          // NO_COLOR: no colour reaches the terminal
  bool lineMode_;          // plain lines only, from the start or since the window shrank
  bool tooSmall_ = false;  // the window shrank below 80x20; the interface switches to lines
  int terminalColumns_ = 80;
  int terminalRows_ = 25;
  int hidden_ = 0;  // model rows the terminal leaves out
  // While hidden_ > 0: the terminal row that shows each model row, 0 for none (chooseRows).
  std::array<int, kFullRows + 1> rowOf_{};
  int abortRow_ = 0;   // the model row of the hint that an abnormal end erases, 0 for none
  bool away_ = false;  // stopped or in the background since the terminal was last drawn on
  bool cursorVisible_ = true;
  bool wantCursorVisible_ = true;
  int64_t lastFrameMs_ = -kFrameMs;  // when the terminal last got a frame
  std::string out_;                  // what the current operation sends, in one write
  bool sgrPlain_ = true;
  uint8_t sgrAttribute_ = 7;
  std::string_view sgrStyle_;  // without colours: the style the terminal draws in
  int shownColumn_ = 0;        // where the terminal's cursor was left; 0 when not known
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

// True when the user's locale (LC_ALL, LC_CTYPE, LANG) encodes text in UTF-8. Asked without
// changing the process's own locale, which would change how masks match names.
bool localeIsUtf8() {
  locale_t locale = newlocale(LC_CTYPE_MASK, "", static_cast<locale_t>(nullptr));
  if (locale != static_cast<locale_t>(nullptr)) {
    const char* codeset = nl_langinfo_l(CODESET, locale);
    const bool utf8 = strcasecmp(codeset, "UTF-8") == 0 || strcasecmp(codeset, "utf8") == 0;
    freelocale(locale);
    return utf8;
  }
  // A locale that is not installed: its name still says what the terminal expects.
  for (const char* name : {"LC_ALL", "LC_CTYPE", "LANG"}) {
    const char* value = std::getenv(name);
    if (value == nullptr || *value == '\0') continue;
    return strcasestr(value, "UTF-8") != nullptr || strcasestr(value, "utf8") != nullptr;
  }
  return false;
}

bool termIsDumb() {
  const char* term = std::getenv("TERM");
  return term == nullptr || *term == '\0' || std::strcmp(term, "dumb") == 0;
}

// A pipe's or socket's reader may draw on the terminal too (tee, less, grep) or read keys from
// it.
bool outputIsPipe() {
  struct stat output {};
  return fstat(STDOUT_FILENO, &output) == 0 &&
         (S_ISFIFO(output.st_mode) || S_ISSOCK(output.st_mode));
}

// The no-color convention: set and not empty.
bool noColourAsked() {
  const char* value = std::getenv("NO_COLOR");
  return value != nullptr && *value != '\0';
}

}  // namespace

std::unique_ptr<ConsoleBackend> openTerminalBackend(TerminalStart* start) {
  if (outputIsPipe()) return nullptr;
  // The terminal the program was given: its standard input and output when both are one (a
  // terminal reopened by name may not be this user's to open, after su), else the controlling
  // terminal.
  int inFd = STDIN_FILENO;
  int outFd = STDOUT_FILENO;
  bool ownsFd = false;
  if (!isatty(STDIN_FILENO) || !isatty(STDOUT_FILENO)) {
    inFd = outFd = ::open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (inFd < 0) return nullptr;
    ownsFd = true;
  }
  termios saved{};
  // A job in the background never touches the terminal: no modes, no drawing.
  if (tcgetattr(inFd, &saved) != 0 || !inForeground(inFd)) {
    if (ownsFd) ::close(inFd);
    return nullptr;
  }
  termios raw = saved;
  // Single key presses without echo; Ctrl+S and Ctrl+Q are keys, not flow control; CR stays
  // CR. ISIG stays, so Ctrl+C and Ctrl+\ keep their effect, and OPOST, so output is as before.
  // A read waits for one byte (reads are guarded by poll): a terminal left like this by kill -9
  // makes the next reader wait rather than see the end of its input.
  raw.c_iflag &= ~static_cast<tcflag_t>(IXON | ICRNL | INLCR | IGNCR | ISTRIP);
  raw.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO | ECHONL | IEXTEN);
  raw.c_cc[VMIN] = 1;
  raw.c_cc[VTIME] = 0;
  winsize size{};
  if (ioctl(outFd, TIOCGWINSZ, &size) == 0 && size.ws_col > 0 && size.ws_row > 0) {
    start->columns = size.ws_col;
    start->rows = size.ws_row;
  }
  // A dumb terminal, and one too small for the panel, get plain lines and not one escape
  // sequence: no title, no questions, no modes.
  start->dumb =
      start->dumb || termIsDumb() || start->columns < kMinColumns || start->rows < kMinRows;
  start->asciiOnly = !localeIsUtf8();
  start->noColour = noColourAsked();
  armTerminalGuard(outFd, saved, raw, !start->dumb);
  tcsetattr(inFd, TCSANOW, &raw);

  auto backend = std::make_unique<TerminalBackend>(inFd, outFd, ownsFd, true, *start);
  int column = 0;
  int row = 0;
  if (!start->dumb && backend->askCursor(&column, &row)) {
    start->cursorColumn = std::clamp(column, 1, start->columns);
    start->cursorRow = std::clamp(row, 1, start->rows);
    if (!start->asciiOnly && !backend->drawsUtf8AsAsked(start->cursorColumn, start->cursorRow)) {
      start->asciiOnly = true;
    }
  } else {
    // Below everything that could be on the screen: new output then scrolls up like any other.
    start->cursorColumn = 1;
    start->cursorRow = start->rows;
  }
  setGuardCursor(start->cursorColumn, start->cursorRow);
  if (backend->lineMode()) setGuardCursor(0, 0);
  return backend;
}

std::unique_ptr<ConsoleBackend> terminalBackendOn(int fd, const TerminalStart& start) {
  return std::make_unique<TerminalBackend>(fd, fd, false, false, start);
}
