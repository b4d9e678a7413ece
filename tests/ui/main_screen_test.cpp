#include "ui/main_screen.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "console/console.h"
#include "support/memory_console.h"
#include "ui/colour_text.h"

namespace {

// What the panel shows, row by row (the logo's design may change; its frame and fields may not).
const char* const kFrameRows[] = {
    "∙──────────────────────────────────────────┐",
    "Vordex     - Single File Mass ZIP Utility │",
    nullptr,
    nullptr,
    "∙──────┬───────────────────────────────────┤",
    "ERROR │ STATUS                            │",
    " ∙──────┼───────────────────────────────────┤",
    "       │                                   │",
    ".       │                                   │",
    " : MASK:            FILES:        :       │                                   │",
    " │ OVER:           DELETE:        │       │                                   │",
    " │                                │       │                                   │",
    " │  ...PRESS [ESC] TO ABORT...    │       │                                   │",
    " │                                │       │                                   │",
    " ├────────────────────────────────┼───────┴───────────────────────────────────┤",
    " │   CURRENT:            (   %)   │            TOTAL ERRORS / WARNINGS:       │",
    " └────────────────────────────────┴───────────────────────────────────────────┘",
};
const int kFrameColumn[] = {36, 37, 37, 36, 36, 37, 35, 36, 35, 1, 1, 1, 1, 1, 1, 1, 1};

std::string cells(int column, int row, int count) {
  std::string text;
  for (int i = 0; i < count; ++i) text += screenGlyph(column + i, row);
  return text;
}

// Cells of the bar drawn for the file in hand: those no longer in the empty bar's colours.
int drawnCells() {
  int drawn = 0;
  for (int column = 15; column < 25; ++column) drawn += screenAttribute(column, 16) != 0x08;
  return drawn;
}

class MainScreenTest : public ::testing::Test {
 protected:
  void SetUp() override {
    openMemoryConsole(80, 25, 1, 7);
    screen_.draw();
  }

  ColourWriter out_{testConsole(), GlyphSet()};
  MainScreen screen_{out_};
};

TEST_F(MainScreenTest, PanelShowsItsFrameLabelsAndColours) {
  for (int row = 1; row <= 17; ++row) {
    const char* expected = kFrameRows[row - 1];
    if (expected == nullptr) continue;
    const int column = kFrameColumn[row - 1];
    const std::string want = expected;
    int count = 0;
    for (std::size_t i = 0; i < want.size(); ++i) count += (want[i] & 0xC0) != 0x80;
    EXPECT_EQ(cells(column, row, count), want) << "row " << row;
  }
  // Column 80 and row 18 are blank, in the panel's own black as every other cell of it.
  for (int row = 1; row <= 18; ++row) {
    EXPECT_EQ(screenGlyph(80, row), " ");
    EXPECT_FALSE(screenInTerminalColours(80, row)) << row;
  }
  EXPECT_EQ(screenText(18), std::string(80, ' '));
  for (int column = 1; column <= 80; ++column) {
    EXPECT_EQ(screenAttribute(column, 18), 0x07);
    EXPECT_FALSE(screenInTerminalColours(column, 18)) << column;
  }
  EXPECT_FALSE(screenInTerminalColours(1, 1));

  EXPECT_EQ(screenAttribute(37, 2), 0x0E);  // title
  EXPECT_EQ(screenAttribute(79, 2), 0x08);  // border
  EXPECT_EQ(screenAttribute(37, 3), 0x0C);  // first credit line
  EXPECT_EQ(screenAttribute(36, 4), 0x04);  // second credit line
  EXPECT_EQ(screenAttribute(37, 6), 0x0F);  // ERROR
  EXPECT_EQ(screenAttribute(43, 6), 0x08);
  EXPECT_EQ(screenAttribute(45, 6), 0x0F);  // STATUS
  EXPECT_EQ(screenAttribute(2, 9), 0x08);
  EXPECT_EQ(screenAttribute(35, 9), 0x08);
  EXPECT_EQ(screenAttribute(4, 10), 0x0F);   // MASK
  EXPECT_EQ(screenAttribute(8, 10), 0x08);   // its colon
  EXPECT_EQ(screenAttribute(22, 11), 0x0F);  // DELETE
  EXPECT_EQ(screenAttribute(8, 13), 0x07);   // PRESS
  EXPECT_EQ(screenAttribute(15, 13), 0x0F);  // ESC
  EXPECT_EQ(screenAttribute(6, 16), 0x07);   // CURRENT
  EXPECT_EQ(screenAttribute(30, 16), 0x07);  // %
  EXPECT_EQ(screenAttribute(50, 16), 0x07);  // TOTAL ERRORS
  EXPECT_EQ(screenAttribute(71, 16), 0x08);
  for (int row = 1; row <= 9; ++row) {
    // Every logo row leaves a black background for the frame beside it.
    const int column = kFrameColumn[row - 1] > 35 ? kFrameColumn[row - 1] : 36;
    EXPECT_EQ(screenAttribute(column, row) & 0x70, 0) << "row " << row;
  }
}

TEST_F(MainScreenTest, StreamOutputGoesToTheStatusWindow) {
  EXPECT_EQ(currentAttribute(), 0x07);
  EXPECT_EQ(outputColumn(), 1);
  EXPECT_EQ(outputRow(), 19);
  EXPECT_EQ(testConsole().cursorRow(), 1);
  for (int i = 1; i <= 8; ++i) {
    screen_.writeStatusLine("|07- |15ZIPPING|07: |15 ", "file" + std::to_string(i), false);
    testConsole().moveCursor(1, testConsole().cursorRow());
    screen_.writeStatusLine("|08√ |07ZIPPED |08: |07 ", "file" + std::to_string(i), true);
  }
  // Files 3 to 8 in rows 19-24, row 25 blank with the position at its start, the panel intact.
  for (int i = 3; i <= 8; ++i) {
    EXPECT_EQ(screenText(16 + i), padRight("√ ZIPPED :  file" + std::to_string(i), 79) + " ");
  }
  EXPECT_EQ(screenText(25), std::string(80, ' '));
  EXPECT_EQ(outputRow(), 25);
  EXPECT_EQ(outputColumn(), 1);
  EXPECT_EQ(screenGlyph(4, 10), "M");
  EXPECT_EQ(screenAttribute(1, 24), 0x08);
  EXPECT_EQ(screenAttribute(3, 24), 0x07);
}

TEST_F(MainScreenTest, AtTheEndTheStatusWindowFromTheOutputPositionDownIsTheTerminals) {
  screen_.writeStatusLine("|08√ |07ZIPPED |08: |07 ", "a.txt", true);
  screen_.releaseStatusWindow();
  EXPECT_FALSE(screenInTerminalColours(1, 19));
  for (int row = 20; row <= 25; ++row) {
    EXPECT_EQ(screenText(row), std::string(80, ' '));
    EXPECT_TRUE(screenInTerminalColours(1, row) && screenInTerminalColours(80, row)) << row;
  }
  EXPECT_EQ(outputRow(), 20);
  EXPECT_EQ(outputColumn(), 1);
}

TEST_F(MainScreenTest, StatusLinesShowNamesLiterallyAndEndAtColumn79) {
  screen_.writeStatusLine("|07- |15ZIPPING|07: |15 ", "a|12b\nc\x1b[2Jd", false);
  EXPECT_EQ(outputColumn(), 80);
  EXPECT_EQ(outputRow(), 19);
  EXPECT_EQ(cells(13, 19, 12), "a|12b◙c←[2Jd");
  EXPECT_EQ(screenAttribute(14, 19), 0x0F);  // "|12" in a name is no colour code

  testConsole().moveCursor(1, testConsole().cursorRow());
  screen_.writeStatusLine("|08√ |07ZIPPED |08: |07 ", std::string(70, 'n'), true);
  EXPECT_EQ(screenText(19), "√ ZIPPED :  " + std::string(67, 'n') + " ");
  EXPECT_EQ(outputRow(), 20);

  screen_.writeStatusLine("|08√ |07ZIPPED |08: |07 ", "日本語の名前.txt", true);
  EXPECT_EQ(outputRow(), 21);
  EXPECT_EQ(screenGlyph(80, 20), " ");
}

TEST_F(MainScreenTest, ProgressBarAdvancesInTenths) {
  screen_.clearProgress();
  EXPECT_EQ(cells(15, 16, 10), kEmptyBar);
  EXPECT_EQ(screenAttribute(15, 16), 0x08);

  // 65536 bytes read in blocks of 16384: 2.5 rounds to 3 cells, 7.5 to 8.
  const int expectedCells[] = {3, 5, 8, 10};
  const char* expectedPercent[] = {" 30", " 50", " 80", "100"};
  for (int block = 1; block <= 4; ++block) {
    screen_.drawProgress(16384u * block, 65536);
    EXPECT_EQ(drawnCells(), expectedCells[block - 1]);
    EXPECT_EQ(cells(27, 16, 3), expectedPercent[block - 1]);
    EXPECT_EQ(screenAttribute(27, 16), 0x0F);
  }
  EXPECT_EQ(cells(15, 16, 10), "░▒▓█░▒▓███");
  const uint8_t attributes[] = {0x04, 0x04, 0x04, 0x04, 0x4C, 0x4C, 0x4C, 0x0C, 0x0E, 0x0F};
  for (int i = 0; i < 10; ++i) EXPECT_EQ(screenAttribute(15 + i, 16), attributes[i]) << i;
  EXPECT_EQ(screenGlyph(14, 16), " ");
  EXPECT_EQ(screenGlyph(25, 16), " ");

  // A new file: empty bar, the old percent kept until its first cell.
  screen_.clearProgress();
  EXPECT_EQ(cells(15, 16, 10), kEmptyBar);
  EXPECT_EQ(cells(27, 16, 3), "100");
  screen_.drawProgress(16384, 400000);  // under a twentieth: nothing drawn
  EXPECT_EQ(drawnCells(), 0);
  EXPECT_EQ(cells(27, 16, 3), "100");
  EXPECT_EQ(cells(15, 16, 10), kEmptyBar);
}

TEST_F(MainScreenTest, ProgressSurvivesOddSizes) {
  screen_.clearProgress();
  screen_.drawProgress(100, 0);  // a file that reports no size
  EXPECT_EQ(drawnCells(), 10);
  screen_.clearProgress();
  screen_.drawProgress(900, 1000);
  screen_.drawProgress(950, 4000);  // grew while read: the bar does not run backwards
  EXPECT_EQ(drawnCells(), 9);
  EXPECT_EQ(cells(27, 16, 3), " 90");
  screen_.drawProgress(5000, 4000);
  EXPECT_EQ(drawnCells(), 10);
}

TEST(MainScreenSmallTest, TooSmallAScreenKeepsTheWholeScreenAsWindow) {
  openMemoryConsole(60, 20, 1, 1);
  ColourWriter out(testConsole(), GlyphSet());
  MainScreen screen_(out);
  screen_.draw();
  // The panel's lines wrap on a narrow screen and stream output continues below them.
  EXPECT_EQ(currentAttribute(), 0x07);
  screen_.writeStatusLine("|07- |15ZIPPING|07: |15 ", "x", true);
  EXPECT_GE(outputRow(), 1);
  EXPECT_LE(outputRow(), 20);
}

}  // namespace
