#include "ui/error_log.h"

#include <iterator>
#include <string_view>
#include <vector>

#include "console/console.h"
#include "ui/colour_text.h"

namespace {

constexpr std::string_view kSkippedTag = "|12! SKIPPED|04: ";
constexpr std::string_view kErrorTag = "|12! ERROR  |04: ";
constexpr std::string_view kViewerPrompt =
    "|08...|07Errors have occured.  Use |08[|15ARROWS|08] |07to View, or |08[|15ENTER|08] "
    "|07to Quit|08...";

constexpr int kLogWindowRows = 7;
constexpr int kLogWindowTop = 8;  // screen row of window row 1
constexpr int kNumberColumn = 37;
constexpr int kMessageColumn = 45;
constexpr int kTotalColumn = 73, kTotalRow = 16;
constexpr uint8_t kNumberAttribute = 0x0F;
constexpr uint8_t kMessageAttribute = 0x0C;
// The selection and the total are what their colours mark, even on a terminal without colours.
constexpr uint8_t kSelectedAttribute = 0x78 | kAttributeMarks;
constexpr uint8_t kEmptyRowAttribute = 0x07;
constexpr uint8_t kTotalAttribute = 0x0C | kAttributeMarks;
constexpr int kPromptColumn = 7, kPromptRow = 6;  // in the status window

constexpr int kMessageWidth = 27;

}  // namespace

std::string paddedLogMessage(uint8_t code) {
  return padRight(logMessageText(code), kMessageWidth);
}

std::string_view logTag(uint8_t code) {
  return isSkip(code) ? kSkippedTag : kErrorTag;
}

void ErrorLog::record(uint8_t code, int fileNumber, std::string_view fileName) {
  ++reports_;
  // Beyond the table's slots a report still shows and counts; only the entry is not kept.
  if (stored() < kErrorLogSlots) {
    entries_.push_back({static_cast<uint16_t>(fileNumber), std::string(fileName), code});
  }
}

void ErrorLog::add(MainScreen& screen, uint8_t code, int fileNumber, std::string_view fileName) {
  ColourWriter& out = screen.out();
  Console& console = out.console();
  ScreenUpdate update(console);
  console.moveCursor(1, console.cursorRow());
  screen.writeStatusLine(logTag(code), fileName, true);
  record(code, fileNumber, fileName);
  if (reports_ <= kLogWindowRows) drawWindow(out, 1);
  out.writeAt(kTotalColumn, kTotalRow, padLeft(std::to_string(reports_), 5), kTotalAttribute);
}

const LogEntry* ErrorLog::entry(int index) const {
  if (index < 1 || index > stored()) return nullptr;
  return &entries_[index - 1];
}

void ErrorLog::drawRow(ColourWriter& out, bool highlight, int index, int row) const {
  const int screenRow = row + kLogWindowTop - 1;
  if (index > stored()) {
    out.writeAt(kNumberColumn, screenRow, "     ", kEmptyRowAttribute);
    out.writeAt(kMessageColumn, screenRow, std::string(kMessageWidth, ' '), kEmptyRowAttribute);
    return;
  }
  const LogEntry& entry = entries_[index - 1];
  out.writeAt(kNumberColumn, screenRow, " " + padRight(std::to_string(entry.fileNumber), 4),
              highlight ? kSelectedAttribute : kNumberAttribute);
  out.writeAt(kMessageColumn, screenRow, paddedLogMessage(entry.code),
              highlight ? kSelectedAttribute : kMessageAttribute);
}

void ErrorLog::drawWindow(ColourWriter& out, int top) const {
  ScreenUpdate update(out.console());
  for (int row = 1; row <= kLogWindowRows; ++row) drawRow(out, false, top + row - 1, row);
}

void ErrorLog::moveUp(ColourWriter& out, Place& place) const {
  if (place.row > 1) {
    drawRow(out, false, place.selected(), place.row);
    --place.row;
  } else if (place.top > 1) {
    --place.top;
    drawWindow(out, place.top);
  }
}

void ErrorLog::moveDown(ColourWriter& out, Place& place) const {
  if (place.selected() >= stored()) return;
  if (place.row < kLogWindowRows) {
    drawRow(out, false, place.selected(), place.row);
    ++place.row;
  } else {
    ++place.top;
    drawWindow(out, place.top);
  }
}

// The page keys are the arrows pressed several times over, so every screen they lead to is one
// the arrows reach too.
void ErrorLog::move(ColourWriter& out, Place& place, uint8_t key) const {
  switch (key) {
    case kKeyUp:
      moveUp(out, place);
      break;
    case kKeyDown:
      moveDown(out, place);
      break;
    case kKeyPageUp:
      for (int i = 0; i < kLogWindowRows; ++i) moveUp(out, place);
      break;
    case kKeyPageDown:
      for (int i = 0; i < kLogWindowRows; ++i) moveDown(out, place);
      break;
    case kKeyHome:
      while (place.selected() > 1) moveUp(out, place);
      break;
    case kKeyEnd:
      while (place.selected() < stored()) moveDown(out, place);
      break;
    default:
      break;
  }
}

bool ErrorLog::view(MainScreen& screen) {
  if (stored() == 0) return true;
  ColourWriter& out = screen.out();
  Console& console = out.console();
  Place place;
  {
    ScreenUpdate update(console);
    console.clearScreen();
    console.moveCursor(kPromptColumn, kPromptRow);
    out.writePipe(kViewerPrompt);
    drawWindow(out, place.top);
  }
  console.setCursorVisible(true);
  // The window's top-left cell is screen row 19.
  console.setAbortErase(18 + kPromptRow);
  bool fits = true;
  for (;;) {
    {
      ScreenUpdate update(console);
      const LogEntry& selected = entries_[place.selected() - 1];
      console.moveCursor(1, 1);
      screen.writeStatusLine(logTag(selected.code), selected.fileName, false);
      drawRow(out, true, place.selected(), place.row);
    }
    const uint8_t key = console.readKey();
    if (key == 0) {
      const uint8_t extended = console.readKey();
      if (extended == kKeyResized && !console.panelFits()) {
        fits = false;
        break;
      }
      ScreenUpdate update(console);
      move(out, place, extended);
    } else if (key == kKeyEnter || key == kKeyEscape) {
      break;
    }
  }
  console.setAbortErase(0);
  if (!fits) return false;
  ScreenUpdate update(console);
  // The shell's prompt comes here next, in the terminal's own colours.
  console.useTerminalColours();
  console.clearScreen();
  return true;
}
