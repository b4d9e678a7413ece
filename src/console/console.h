#pragma once
// The text console everything on the screen goes through.
//
// The console owns a screen of columns x rows cells (a glyph and an attribute each), the current
// attribute, an output window with an output position (the cursor), and a queue of key presses.
// Texts are UTF-8; a byte that does not begin valid UTF-8, and every control byte that ends up in
// a cell, shows as its code page 437 glyph, so no byte of a text ever reaches the terminal as a
// control sequence. A character that a terminal shows two columns wide takes two cells.
//
// Coordinates are 1-based. writeCells and setWindow count from the screen's top-left corner;
// moveCursor and cursorRow from the output window's.
//
// Attributes: foreground colour in bits 0-3, background in bits 4-6, numbered in PC text-mode
// order (0 black, 1 blue, 2 green, 3 cyan, 4 red, 5 magenta, 6 brown, 7 light grey, 8 dark grey,
// 9-13 the light forms of 1-5, 14 yellow, 15 white). 0x4C is light red on red. Bit 7 (see
// kAttributeMarks) says that the colour marks something: without colours (NO_COLOR) the cell
// then shows in reverse video when its background is not black, else in bold.
//
// Every operation has its effect on the screen when it returns. Failures of the terminal
// underneath are ignored.

#include <cstdint>
#include <memory>
#include <string_view>

class KeyQueue;

inline constexpr uint8_t kAttributeMarks = 0x80;

// What readKey gives for the keys the program acts on: a character, or after a 0 a PC keyboard
// BIOS code.
inline constexpr uint8_t kKeyEnter = 13, kKeyEscape = 27;
inline constexpr uint8_t kKeyUp = 72, kKeyDown = 80, kKeyHome = 71, kKeyEnd = 79;
inline constexpr uint8_t kKeyPageUp = 73, kKeyPageDown = 81;
// readKey gives 0 and then this code when the window shrank below the panel while it waited.
inline constexpr uint8_t kKeyResized = 0xFF;

// What the terminal can take. None: no terminal (or one the process may not touch). Lines: a
// dumb terminal (TERM=dumb or unset: not one escape sequence), or a window below 80x20: plain
// lines only, through writePlain. Screen: cells, colours and the cursor.
enum class ConsoleKind { None, Lines, Screen };

class ConsoleBackend;
class ConsoleModel;

// One per process, owned by main and handed to whatever draws. Until open() (and after
// close()) it keeps an 80x25 model and draws nothing.
class Console {
 public:
  Console();
  ~Console();
  Console(const Console&) = delete;
  Console& operator=(const Console&) = delete;

  // Start-up and shut-down around the program. The terminal is standard input and output when
  // both are one, else the controlling terminal; with neither, in the background, or with
  // standard output going into a pipe or a socket (whose reader may share the terminal), the
  // console keeps its model but draws nothing, touches no terminal mode, and readKey answers ESC.
  // Shut-down leaves the visible cursor at the output position and the terminal's modes and
  // colours as they were before start-up. With plainLines the terminal is taken as a dumb one
  // (Lines, not one escape sequence), for a program whose own plain output goes there.
  void open(bool plainLines = false);
  void close();
  // Another back end with a fresh model of that size and cursor: the seam for back ends that
  // are not the program's own (the tests' in-memory console, a terminal on a descriptor a test
  // reads back). With closeAtShutDown, close() hands it back as it does a real terminal.
  void install(std::unique_ptr<ConsoleBackend> backend, int columns, int rows, int cursorColumn,
               int cursorRow, bool closeAtShutDown);
  // The model every operation acts on.
  const ConsoleModel& model() const;

  void setForeground(int colour);  // 0-15: the foreground replaced, background kept, bit 7 clear
  void setBackground(int colour);  // 0-7: bits 4-6 replaced, the rest kept
  void setAttribute(uint8_t attribute);
  // The attribute of start-up (7): what is written or cleared from now on shows in the
  // terminal's own colours, as the cells before the program chose a colour do.
  void useTerminalColours();

  // Accepted only when 1 <= left <= right <= columns and 1 <= top <= bottom <= rows; the output
  // position then moves to the window's top-left cell. Otherwise nothing changes.
  void setWindow(int left, int top, int right, int bottom);
  // Window-relative; ignored when the cell lies outside the window.
  void moveCursor(int column, int row);
  // The output position's row, relative to the window.
  uint8_t cursorRow();
  // Blanks the output window in the current attribute; the position goes to its top-left cell.
  void clearScreen();

  // Stream output: CR, LF, backspace and bell act, every other character is written at the
  // output position and wraps at the window's right column, scrolling the window at its bottom.
  void writeText(std::string_view text);
  void writeLine(std::string_view text = {});  // writeText, then CR and LF
  // Cells of one screen row from (column, row) on, all in the given attribute. Nothing is
  // interpreted or wrapped; cells past the right edge are dropped. The output position and the
  // current attribute do not change.
  void writeCells(int column, int row, std::string_view text, uint8_t attribute);

  // Keys are (character, code) pairs: a key with a character gives that byte; a key without one
  // (cursor keys, function keys...) gives 0 from readKey and then its PC keyboard BIOS code
  // (up 72, down 80, left 75, right 77, ...). ENTER gives 13, ESC 27.
  bool keyAvailable();  // true when readKey would return at once; consumes nothing
  uint8_t readKey();    // waits without spinning; with no keyboard at all it answers 27 at once

  void setTitle(std::string_view text);
  void disableMouseInput();

  ConsoleKind kind() const { return kind_; }
  // The terminal shows only ASCII faithfully: its locale is not UTF-8, or it draws box glyphs
  // two columns wide. Everything the interface writes should then be ASCII.
  bool asciiOnly() const { return asciiOnly_; }
  // Screen only: the window still holds the panel (at least 80x20). Once it shrank below that
  // it never does again in this run; the interface should then go on in lines.
  bool panelFits();
  // Screen only: the window has 20 to 24 rows, so it shows the screen's rows 1-18 and only some
  // of rows 19-25: those with text and the output position's row first, else the newest.
  bool hidesRows();
  // Leaves the screen for plain lines for the rest of the run.
  void enterLineMode();
  // Text as it is (ASCII or UTF-8, with its own line ends), at once: for line mode.
  void writePlain(std::string_view text);
  // The visible cursor: hidden while the program works, shown while it waits for a key.
  void setCursorVisible(bool visible);
  // While the screen row holds a hint about keys (0: none): a program cut short by a signal
  // erases it and leaves the shell's prompt below the output window.
  void setAbortErase(int row);
  // A resize, a Ctrl+Z, a continue after a stop or a return to the foreground is followed at
  // the next operation (within a frame); this is such an operation for a caller that has
  // nothing to draw (a long file between two progress cells, a run in plain lines).
  void followTerminal();
  // During a run the terminal gets at most one write per frame (about 30 a second); this sends
  // what waits at once. Waiting for a key and closing the console do it themselves.
  void flushScreen();

 private:
  friend class ScreenUpdate;

  void use(std::unique_ptr<ConsoleBackend> backend);
  // Every operation starts here (the back end may owe the terminal a repaint) ...
  void begin();
  // ... and ends here: outside a ScreenUpdate, what changed goes out (once a frame).
  void finish();

  std::unique_ptr<ConsoleModel> model_;
  std::unique_ptr<ConsoleBackend> backend_;
  std::unique_ptr<KeyQueue> queue_;
  uint8_t pendingByte_ = 0;  // the code of an extended key whose 0 readKey has returned
  int updateDepth_ = 0;
  bool open_ = false;  // between open and close
  ConsoleKind kind_ = ConsoleKind::None;
  bool asciiOnly_ = false;
};

// Groups operations into one screen update: what they change reaches the terminal, in one
// write, when the outermost ScreenUpdate of its console ends.
class ScreenUpdate {
 public:
  explicit ScreenUpdate(Console& console);
  ~ScreenUpdate();
  ScreenUpdate(const ScreenUpdate&) = delete;
  ScreenUpdate& operator=(const ScreenUpdate&) = delete;

 private:
  Console& console_;
};

// Ctrl+C, Ctrl+\, SIGTERM, SIGHUP and catchable crashes call this hook first, then restore the
// terminal and let the signal end the process. The hook may use async-signal-safe calls only.
void setFatalSignalCleanup(void (*cleanup)());
// Restores the terminal's modes and colours at once, without allocating; for a process that is
// about to end abnormally (out of memory, a fatal signal).
void restoreTerminalNow();
