#include "ui/main_screen.h"

#include <cmath>
#include <string>

namespace {

// The 17 panel rows. Each shows exactly 79 characters, so its line break never follows a wrap,
// and each starts in the colours the row before it left. Rows 1-9 begin with the logo (columns
// 1-35), whose rows leave the background black for the frame on their right.
constexpr std::string_view kPanel[] = {
    // 1
    " |08░▒▓|04▄▄▄▄▄▄▄▄▄▄▄▄▄▄▄▄▄▄▄▄▄▄▄▄▄▄▄|08▓▒░ "
    "∙──────────────────────────────────────────┐",
    // 2
    "  |15█  █ |12▄██▄ ███▄ ███▄ ████ █  █     "
    "|14Vordex     - Single File Mass ZIP Utility |08│",
    // 3
    "  |12█  █ █  █ █  █ █  █ █    ▀▄▄▀     "
    "One ZIP archive for each file of your mask|08│",
    // 4
    "  |12█  █ █  █ ███▀ █  █ ███   ██     "
    "|04 Logs each problem; deletes only on success|08│",
    // 5
    "  |04▐▄▄▌ █  █ █ ▀▄ █  █ █    ▄▀▀▄    "
    "|08∙──────┬───────────────────────────────────┤",
    // 6
    "  |04 ▀▀  ▀██▀ █  █ ███▀ ████ █  █     "
    "|15|16ERROR |08│ |15STATUS                            |08│",
    // 7
    "  |08▀▀▀▀▀▀▀▀▀▀▀▀▀▀▀▀▀▀▀▀▀▀▀▀▀▀▀▀▀   "
    "|08 ∙──────┼───────────────────────────────────┤",
    // 8
    " |07▐|20|15 ONE FILE |14░▒▓|15 ONE ZIP ARCHIVE  |16|07▌|16 "
    "|08       │                                   │",
    // 9
    " |08.|04▀▀▀▀▀▀▀▀▀▀▀▀▀▀▀▀▀▀▀▀▀▀▀▀▀▀▀▀▀▀▀▀"
    "|08.       │                                   │",
    // 10-17
    " : |15MASK|08:            |15FILES|08:        :       │                                   │",
    " │ |15OVER|08:           |15DELETE|08:        │       │                                   │",
    " │                                │       │                                   │",
    " │  ...|07PRESS |08[|15ESC|08] |07TO ABORT|08...    │       │                                 "
    "  │",
    " │                                │       │                                   │",
    " ├────────────────────────────────┼───────┴───────────────────────────────────┤",
    " │   |07CURRENT|08:            (   |07%|08)   │            |07TOTAL ERRORS |08/ "
    "|07WARNINGS|08:       │",
    " └────────────────────────────────┴───────────────────────────────────────────┘|07",
};

struct BarCell {
  std::string_view glyph;
  uint8_t attribute;
};

constexpr BarCell kBarCells[10] = {
    {"░", 0x04}, {"▒", 0x04}, {"▓", 0x04}, {"█", 0x04}, {"░", 0x4C},
    {"▒", 0x4C}, {"▓", 0x4C}, {"█", 0x0C}, {"█", 0x0E}, {"█", 0x0F},
};

}  // namespace

void MainScreen::draw() {
  Console& console = out_.console();
  ScreenUpdate update(console);
  console.clearScreen();
  // The panel paints its own background in all its 80 columns and 18 rows, so that a terminal
  // with light default colours shows no stripes of its own in it.
  console.setAttribute(0x07);
  for (std::string_view line : kPanel) out_.writePipeLine(line);
  for (int row = 1; row < kStatusTop - 1; ++row) out_.writeAt(80, row, " ", 0x07);
  out_.writeAt(1, kStatusTop - 1, std::string(80, ' '), 0x07);
  console.setWindow(1, kStatusTop, 80, 25);
}

void MainScreen::releaseStatusWindow() {
  Console& console = out_.console();
  ScreenUpdate update(console);
  const int row = kStatusTop + console.cursorRow() - 1;
  console.useTerminalColours();
  console.setWindow(1, row, 80, 25);
  console.clearScreen();
}

void MainScreen::clearProgress() {
  out_.writeAt(kBarColumn, kBarRow, out_.glyphs().text(kEmptyBar), kEmptyBarAttribute);
  progressCells_ = 0;
}

void MainScreen::drawProgress(uint64_t position, uint64_t size) {
  // A file that reports no size (as some system files do) or grew while it was read is drawn
  // as complete rather than dividing by zero or running past the bar's ten cells.
  int cells = 10;
  if (size > 0 && position < size) {
    const long double tenths = static_cast<long double>(position) / size * 100 / 10;
    cells = static_cast<int>(std::lround(tenths));
  }
  // The bar never runs backwards within a file, even when its size grows under it.
  if (cells <= progressCells_) return;
  ScreenUpdate update(out_.console());
  while (progressCells_ < cells) {
    const BarCell& cell = kBarCells[progressCells_];
    ++progressCells_;
    out_.writeAt(kBarColumn + progressCells_ - 1, kBarRow, out_.glyphs().text(cell.glyph),
                 cell.attribute);
  }
  out_.writeAt(kPercentColumn, kBarRow, padLeft(std::to_string(cells * 10), 3), 0x0F);
}

void MainScreen::writeStatusLine(std::string_view pipePrefix, std::string_view fileName,
                                 bool endLine) {
  ScreenUpdate update(out_.console());
  out_.writePipe(pipePrefix);
  // The name is the user's data: shown literally, whatever bars or control bytes it holds.
  std::string line = padRight(out_.glyphs().name(fileName), kStatusNameWidth);
  if (endLine) line += "\r\n";
  out_.console().writeText(line);
}
