#include "ui/error_log.h"

#include <iterator>
#include <string_view>
#include <vector>

#include "console/console.h"
#include "ui/colour_text.h"
#include "ui/main_screen.h"

namespace {

constexpr std::string_view logMessages[] = {
    "Skipped: ZIP already exists", "Unable to open/create file ", "Error adding file to ZIP   ",
    "Error reading file         ", "Error writing to file      ", "Error closing file         ",
    "File changed while zipping ", "Skipped: file in use       ", "Skipped: another file's ZIP",
    "Skipped: link of other user", "Archive failed verification", "Error deleting file        ",
};
static_assert(std::size(logMessages) == kLogCodes);

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
constexpr uint8_t kKeyUp = 72, kKeyDown = 80, kKeyEnter = 13, kKeyEscape = 27;
constexpr uint8_t kKeyHome = 71, kKeyEnd = 79, kKeyPageUp = 73, kKeyPageDown = 81;
constexpr int kPromptColumn = 7, kPromptRow = 6;  // in the status window

std::vector<LogEntry> gEntries;  // the first kErrorLogSlots reports of the run
int gReports = 0;
int gFailures = 0;
int gViewTop = 1;
int gViewRow = 1;

std::string_view tagFor(uint8_t code) {
  return isSkip(code) ? kSkippedTag : kErrorTag;
}

int storedCount() {
  return static_cast<int>(gEntries.size());
}

void drawLogRow(bool highlight, int index, int row) {
  const int screenRow = row + kLogWindowTop - 1;
  if (index > storedCount()) {
    writeAt(kNumberColumn, screenRow, "     ", kEmptyRowAttribute);
    writeAt(kMessageColumn, screenRow, std::string(27, ' '), kEmptyRowAttribute);
    return;
  }
  const LogEntry& entry = gEntries[index - 1];
  writeAt(kNumberColumn, screenRow, " " + padRight(std::to_string(entry.fileNumber), 4),
          highlight ? kSelectedAttribute : kNumberAttribute);
  writeAt(kMessageColumn, screenRow, logMessages[entry.code],
          highlight ? kSelectedAttribute : kMessageAttribute);
}

void drawLogWindow() {
  ScreenUpdate update;
  for (int row = 1; row <= kLogWindowRows; ++row) drawLogRow(false, gViewTop + row - 1, row);
}

int selectedIndex() {
  return gViewTop + gViewRow - 1;
}

void moveSelectionUp() {
  if (gViewRow > 1) {
    drawLogRow(false, selectedIndex(), gViewRow);
    --gViewRow;
  } else if (gViewTop > 1) {
    --gViewTop;
    drawLogWindow();
  }
}

void moveSelectionDown() {
  if (selectedIndex() >= storedCount()) return;
  if (gViewRow < kLogWindowRows) {
    drawLogRow(false, selectedIndex(), gViewRow);
    ++gViewRow;
  } else {
    ++gViewTop;
    drawLogWindow();
  }
}

// The page keys are the arrows pressed several times over, so every screen they lead to is one
// the arrows reach too.
void moveSelection(uint8_t key) {
  const int stored = storedCount();
  switch (key) {
    case kKeyUp:
      moveSelectionUp();
      break;
    case kKeyDown:
      moveSelectionDown();
      break;
    case kKeyPageUp:
      for (int i = 0; i < kLogWindowRows; ++i) moveSelectionUp();
      break;
    case kKeyPageDown:
      for (int i = 0; i < kLogWindowRows; ++i) moveSelectionDown();
      break;
    case kKeyHome:
      while (selectedIndex() > 1) moveSelectionUp();
      break;
    case kKeyEnd:
      while (selectedIndex() < stored) moveSelectionDown();
      break;
    default:
      break;
  }
}

}  // namespace

void recordLogEntry(uint8_t code, int fileNumber, std::string_view fileName, int error) {
  ++gReports;
  if (!isSkip(code)) ++gFailures;
  // Beyond the table's slots a report still shows and counts; only the entry is not kept.
  if (storedCount() < kErrorLogSlots) {
    gEntries.push_back({static_cast<uint16_t>(fileNumber), std::string(fileName), code, error});
  }
}

void addLogEntry(uint8_t code, int fileNumber, std::string_view fileName, int error) {
  ScreenUpdate update;
  moveCursor(1, cursorRow());
  writeStatusLine(tagFor(code), fileName, true);
  recordLogEntry(code, fileNumber, fileName, error);
  if (gReports <= kLogWindowRows) drawLogWindow();
  writeAt(kTotalColumn, kTotalRow, padLeft(std::to_string(gReports), 5), kTotalAttribute);
}

std::string_view logMessage(uint8_t code) {
  return logMessages[code];
}

std::string_view logMessageText(uint8_t code) {
  const std::string_view text = logMessages[code];
  return text.substr(0, text.find_last_not_of(' ') + 1);
}

std::string_view logTag(uint8_t code) {
  return tagFor(code);
}

int errorCount() {
  return gReports;
}

int failureCount() {
  return gFailures;
}

const LogEntry* logEntry(int index) {
  if (index < 1 || index > storedCount()) return nullptr;
  return &gEntries[index - 1];
}

bool viewErrorLog() {
  if (storedCount() == 0) return true;
  {
    ScreenUpdate update;
    clearScreen();
    moveCursor(kPromptColumn, kPromptRow);
    writePipe(kViewerPrompt);
    gViewTop = 1;
    gViewRow = 1;
    drawLogWindow();
  }
  setCursorVisible(true);
  // The window's top-left cell is screen row 19.
  setAbortErase(18 + kPromptRow);
  bool fits = true;
  for (;;) {
    {
      ScreenUpdate update;
      const LogEntry& selected = gEntries[selectedIndex() - 1];
      moveCursor(1, 1);
      writeStatusLine(tagFor(selected.code), selected.fileName, false);
      drawLogRow(true, selectedIndex(), gViewRow);
    }
    const uint8_t key = readKey();
    if (key == 0) {
      const uint8_t extended = readKey();
      if (extended == kKeyResized && !panelFits()) {
        fits = false;
        break;
      }
      ScreenUpdate update;
      moveSelection(extended);
    } else if (key == kKeyEnter || key == kKeyEscape) {
      break;
    }
  }
  setAbortErase(0);
  if (!fits) return false;
  ScreenUpdate update;
  // The shell's prompt comes here next, in the terminal's own colours.
  useTerminalColours();
  clearScreen();
  return true;
}

void releaseErrorLog() {
  gEntries.clear();
  gEntries.shrink_to_fit();
  gReports = 0;
  gFailures = 0;
  gViewTop = 1;
  gViewRow = 1;
}
