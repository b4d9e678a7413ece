#include "ui/error_log.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "console/console.h"
#include "core/run_data.h"
#include "support/memory_console.h"
#include "ui/colour_text.h"
#include "ui/main_screen.h"

namespace {

const std::string kUp = "\x1b[A", kDown = "\x1b[B", kEnter = "\r", kEscape = "\x1b";

std::string cells(int column, int row, int count) {
  std::string text;
  for (int i = 0; i < count; ++i) text += screenGlyph(column + i, row);
  return text;
}

std::string nameOf(int file) {
  return "file" + std::to_string(file) + ".txt";
}

// The panel of one test, its screen and its log.
struct Panel {
  ColourWriter out{testConsole(), GlyphSet()};
  MainScreen screen{out};
  ErrorLog log;
};
std::unique_ptr<Panel> panel;

// Reports one file the way archiving does: its ZIPPING line first, then the report.
void report(int file, uint8_t code) {
  panel->screen.writeStatusLine("|07- |15ZIPPING|07: |15 ", nameOf(file), false);
  panel->log.add(panel->screen, code, file, nameOf(file));
}

class ErrorLogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    openMemoryConsole();
    panel = std::make_unique<Panel>();
    panel->screen.draw();
  }
  void TearDown() override {
    setKeyWaitHook(nullptr);
    panel.reset();
  }
};

TEST_F(ErrorLogTest, AReportRewritesTheStatusLineAndFillsThePanel) {
  report(3, LOG_SKIPPED);
  EXPECT_EQ(screenText(19), padRight("! SKIPPED: file3.txt", 78) + "  ");
  EXPECT_EQ(screenAttribute(1, 19), 0x0C);
  EXPECT_EQ(screenAttribute(3, 19), 0x0C);   // the word
  EXPECT_EQ(screenAttribute(10, 19), 0x04);  // the colon
  EXPECT_EQ(screenAttribute(13, 19), 0x04);  // the name
  EXPECT_EQ(outputRow(), 20);
  EXPECT_EQ(outputColumn(), 1);
  EXPECT_EQ(currentAttribute(), 0x04);

  EXPECT_EQ(cells(37, 8, 5), " 3   ");
  EXPECT_EQ(cells(45, 8, 27), "Skipped: ZIP already exists");
  EXPECT_EQ(screenAttribute(37, 8), 0x0F);
  EXPECT_EQ(screenAttribute(45, 8), 0x0C);
  EXPECT_EQ(screenGlyph(43, 8), "│");
  for (int row = 9; row <= 14; ++row) {
    EXPECT_EQ(cells(37, row, 5), "     ");
    EXPECT_EQ(screenAttribute(37, row), 0x07);
    EXPECT_EQ(screenAttribute(45, row), 0x07);
  }
  EXPECT_EQ(cells(73, 16, 5), "    1");
  EXPECT_EQ(screenAttribute(77, 16), 0x0C | kAttributeMarks);

  report(4, LOG_READ_FAILED);
  EXPECT_EQ(screenText(20).substr(0, 20), "! ERROR  : file4.txt");
  EXPECT_EQ(cells(45, 9, 27), "Error reading file         ");
  EXPECT_EQ(cells(73, 16, 5), "    2");
}

TEST_F(ErrorLogTest, OnlyTheFirstSevenReachTheWindowAndTheFirst1000AreKept) {
  for (int file = 1; file <= 1001; ++file) report(file, file % 6);
  EXPECT_EQ(cells(38, 14, 1), "7");
  EXPECT_EQ(cells(45, 14, 27), "Unable to open/create file ");
  EXPECT_EQ(cells(73, 16, 5), " 1001");
  EXPECT_EQ(panel->log.count(), 1001);
  ASSERT_NE(panel->log.entry(1000), nullptr);
  EXPECT_EQ(panel->log.entry(1000)->fileName, "file1000.txt");
  EXPECT_EQ(panel->log.entry(1001), nullptr);
  // The status line of a report beyond the table still shows.
  EXPECT_EQ(screenText(24).substr(0, 23), "! ERROR  : file1001.txt");
}

TEST_F(ErrorLogTest, FileNumbersKeepTheirLowBitsAndFourDigits) {
  report(12345, LOG_WRITE_FAILED);
  report(65536 + 7, LOG_CLOSE_FAILED);
  EXPECT_EQ(cells(37, 8, 5), " 1234");
  EXPECT_EQ(cells(37, 9, 5), " 7   ");
  EXPECT_EQ(panel->log.entry(1)->fileNumber, 12345);
  EXPECT_EQ(panel->log.entry(2)->fileNumber, 7);
  EXPECT_EQ(panel->log.entry(2)->code, LOG_CLOSE_FAILED);
}

struct Snapshot {
  std::vector<std::string> window;       // rows 8-14, columns 37-71
  std::vector<uint8_t> numberAttribute;  // column 37 of rows 8-14
  std::vector<uint8_t> messageAttribute;
  std::string detail;  // row 19
  std::string prompt;  // row 24
};

Snapshot snapshot() {
  Snapshot shot;
  for (int row = 8; row <= 14; ++row) {
    shot.window.push_back(cells(37, row, 35));
    shot.numberAttribute.push_back(screenAttribute(37, row));
    shot.messageAttribute.push_back(screenAttribute(45, row));
  }
  shot.detail = screenText(19);
  shot.prompt = screenText(24);
  return shot;
}

// Runs the viewer, pressing the keys one at a time; returns the screen each time it waits.
std::vector<Snapshot> browse(const std::vector<std::string>& keys) {
  std::vector<Snapshot> shots;
  std::size_t next = 0;
  setKeyWaitHook([&] {
    shots.push_back(snapshot());
    feedKeyBytes(next < keys.size() ? keys[next++] : kEnter);
  });
  panel->log.view(panel->screen);
  setKeyWaitHook(nullptr);
  return shots;
}

// What the viewer must show with entries top..top+6 and the highlight on window row `row`.
void expectView(const Snapshot& shot, int entries, int top, int row, const std::string& where) {
  for (int r = 1; r <= 7; ++r) {
    const int index = top + r - 1;
    SCOPED_TRACE(where + ", window row " + std::to_string(r));
    if (index > entries) {
      EXPECT_EQ(shot.window[r - 1].substr(0, 5), "     ");
      EXPECT_EQ(shot.numberAttribute[r - 1], 0x07);
      EXPECT_EQ(shot.messageAttribute[r - 1], 0x07);
      continue;
    }
    EXPECT_EQ(shot.window[r - 1].substr(0, 5), padRight(" " + std::to_string(index), 5));
    EXPECT_EQ(shot.numberAttribute[r - 1], r == row ? 0x78 | kAttributeMarks : 0x0F);
    EXPECT_EQ(shot.messageAttribute[r - 1], r == row ? 0x78 | kAttributeMarks : 0x0C);
  }
  const int selected = top + row - 1;
  EXPECT_EQ(shot.detail, padRight("! ERROR  : " + nameOf(selected), 78) + "  ") << where;
  EXPECT_EQ(shot.prompt,
            "      ...Errors have occured.  Use [ARROWS] to View, or [ENTER] to Quit...      ")
      << where;
}

class ViewerTest : public ErrorLogTest {
 protected:
  void fill(int entries) {
    for (int file = 1; file <= entries; ++file) report(file, LOG_WRITE_FAILED);
  }
};

TEST_F(ViewerTest, OneEntryCannotMove) {
  fill(1);
  const auto shots = browse({kDown, kUp, kDown});
  ASSERT_EQ(shots.size(), 4u);
  for (const Snapshot& shot : shots) expectView(shot, 1, 1, 1, "one entry");
}

TEST_F(ViewerTest, ThreeEntriesStopAtTheLast) {
  fill(3);
  const auto shots = browse({kDown, kDown, kDown, kUp});
  const int rows[] = {1, 2, 3, 3, 2};
  ASSERT_EQ(shots.size(), 5u);
  for (int i = 0; i < 5; ++i) expectView(shots[i], 3, 1, rows[i], "step " + std::to_string(i));
}

TEST_F(ViewerTest, SevenEntriesNeverScroll) {
  fill(7);
  const auto shots = browse(std::vector<std::string>(8, kDown));
  for (int i = 0; i <= 8; ++i) {
    expectView(shots[i], 7, 1, std::min(i + 1, 7), "step " + std::to_string(i));
  }
}

TEST_F(ViewerTest, NineEntriesScrollAtTheWindowsEdges) {
  fill(9);
  std::vector<std::string> keys(9, kDown);
  keys.insert(keys.end(), 9, kUp);
  const auto shots = browse(keys);
  ASSERT_EQ(shots.size(), 19u);
  // Down: rows 1..7 at top 1, then top 2 and 3 on row 7, then stuck.
  const int downTop[] = {1, 1, 1, 1, 1, 1, 1, 2, 3, 3};
  const int downRow[] = {1, 2, 3, 4, 5, 6, 7, 7, 7, 7};
  for (int i = 0; i <= 9; ++i) {
    expectView(shots[i], 9, downTop[i], downRow[i], "down " + std::to_string(i));
  }
  const int upTop[] = {3, 3, 3, 3, 3, 3, 2, 1, 1};
  const int upRow[] = {6, 5, 4, 3, 2, 1, 1, 1, 1};
  for (int i = 0; i < 9; ++i) {
    expectView(shots[10 + i], 9, upTop[i], upRow[i], "up " + std::to_string(i));
  }
}

TEST_F(ViewerTest, HundredsOfEntriesScrollToTheLast) {
  const int entries = 300;
  fill(entries);
  const auto shots = browse(std::vector<std::string>(entries + 2, kDown));
  for (int i = 0; i <= entries + 2; ++i) {
    const int selected = std::min(i + 1, entries);
    const int row = std::min(selected, 7);
    expectView(shots[i], entries, selected - row + 1, row, "step " + std::to_string(i));
  }
}

TEST_F(ViewerTest, OtherKeysChangeNothingAndEscapeLeaves) {
  fill(3);
  // Left, right, F1, a letter, and a lone arrow code byte as a pending key might leave it.
  const auto shots = browse({"\x1b[D", "\x1b[C", "\x1bOP", "x", "H", kDown});
  ASSERT_EQ(shots.size(), 7u);
  for (int i = 0; i < 6; ++i) expectView(shots[i], 3, 1, 1, "step " + std::to_string(i));
  expectView(shots[6], 3, 1, 2, "after down");

  // ESC ends the viewer as ENTER does.
  std::size_t waits = 0;
  setKeyWaitHook([&] {
    if (++waits == 1) feedKeyBytes(kEscape);
  });
  panel->log.view(panel->screen);
  EXPECT_EQ(waits, 1u);
}

TEST_F(ViewerTest, LeavingBlanksTheStatusWindowInTheTerminalsColoursAndKeepsTheSelection) {
  fill(9);
  browse({kDown, kDown});
  for (int row = 19; row <= 25; ++row) {
    EXPECT_EQ(screenText(row), std::string(80, ' '));
    EXPECT_TRUE(screenInTerminalColours(1, row)) << row;
    EXPECT_TRUE(screenInTerminalColours(80, row)) << row;
  }
  EXPECT_EQ(outputRow(), 19);
  EXPECT_EQ(outputColumn(), 1);
  EXPECT_EQ(screenAttribute(37, 10), 0x78 | kAttributeMarks);
  EXPECT_EQ(cells(73, 16, 5), "    9");
}

}  // namespace
