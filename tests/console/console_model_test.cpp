// The console's screen rules, seen through the in-memory console the way the interface sees
// them, plus the few things only the model itself can show (plain cells).

#include <gtest/gtest.h>

#include <string>

#include "console/console.h"
#include "console/console_model.h"
#include "console/glyphs.h"
#include "support/memory_console.h"

namespace {

std::string repeat(char c, int n) {
  return std::string(n, c);
}

// The row's text with trailing blanks removed.
std::string trimmed(int row) {
  std::string text = screenText(row);
  text.erase(text.find_last_not_of(' ') + 1);
  return text;
}

class ConsoleTest : public ::testing::Test {
 protected:
  void SetUp() override { openMemoryConsole(); }
};

TEST_F(ConsoleTest, LinesOf79And80CharactersWithLineBreaks) {
  testConsole().writeText(repeat('a', 79) + "\r\n");
  EXPECT_EQ(outputColumn(), 1);
  EXPECT_EQ(outputRow(), 2);
  testConsole().writeText(repeat('b', 80) + "\r\n");
  EXPECT_EQ(trimmed(2), repeat('b', 80));
  EXPECT_EQ(trimmed(3), "");
  EXPECT_EQ(outputRow(), 4) << "the 80th character wrapped, then the line feed moved once more";
}

TEST_F(ConsoleTest, TheLastCellOfTheBottomRowScrollsAtOnce) {
  testConsole().writeText("top");
  testConsole().moveCursor(1, 25);
  testConsole().writeText(repeat('z', 80));
  EXPECT_EQ(trimmed(1), "") << "the first row scrolled away";
  EXPECT_EQ(trimmed(24), repeat('z', 80));
  EXPECT_EQ(trimmed(25), "");
  EXPECT_EQ(outputColumn(), 1);
  EXPECT_EQ(outputRow(), 25);
}

TEST_F(ConsoleTest, ControlCharactersMoveWithoutWriting) {
  testConsole().setWindow(10, 5, 40, 10);
  testConsole().writeText("abc\ndef");
  EXPECT_EQ(screenText(5).substr(9, 3), "abc");
  EXPECT_EQ(screenText(6).substr(12, 3), "def") << "a line feed alone keeps the column";
  testConsole().writeText("\rX");
  EXPECT_EQ(screenGlyph(10, 6), "X") << "a carriage return goes to the window's left column";
  testConsole().writeText("\b\b\bY");
  EXPECT_EQ(screenGlyph(10, 6), "Y") << "backspace stops at the window's left column";
  testConsole().writeText("\b");
  EXPECT_EQ(screenGlyph(11, 6), " ");
  EXPECT_EQ(outputColumn(), 10) << "backspace moves back without erasing";
  EXPECT_EQ(screenGlyph(10, 6), "Y");
  testConsole().writeText("\a");
  EXPECT_EQ(screenGlyph(10, 6), "Y");
  EXPECT_EQ(outputColumn(), 10) << "the bell neither writes nor moves";
  testConsole().writeText("\t");
  EXPECT_EQ(screenGlyph(10, 6), "○") << "a tab is a glyph like any other";
  EXPECT_EQ(outputColumn(), 11);
}

TEST_F(ConsoleTest, ScrollingMovesOnlyTheWindow) {
  for (int row = 1; row <= 25; ++row) testConsole().writeCells(1, row, repeat('.', 80), 7);
  testConsole().setAttribute(0x1E);
  testConsole().setWindow(11, 21, 20, 23);
  testConsole().clearScreen();
  testConsole().writeText("one\r\ntwo\r\nthree\r\nfour");
  EXPECT_EQ(trimmed(21), repeat('.', 10) + "two       " + repeat('.', 60));
  EXPECT_EQ(trimmed(22), repeat('.', 10) + "three     " + repeat('.', 60));
  EXPECT_EQ(trimmed(23), repeat('.', 10) + "four      " + repeat('.', 60));
  EXPECT_EQ(trimmed(20), repeat('.', 80));
  EXPECT_EQ(trimmed(24), repeat('.', 80));
  EXPECT_EQ(screenAttribute(20, 23), 0x1E) << "the freed row is blank in the current attribute";
  EXPECT_EQ(screenAttribute(21, 23), 7);
}

TEST_F(ConsoleTest, WindowRules) {
  testConsole().writeText("hello");
  testConsole().setWindow(1, 19, 81, 25);
  testConsole().setWindow(0, 19, 80, 25);
  testConsole().setWindow(5, 19, 4, 25);
  testConsole().setWindow(1, 20, 80, 19);
  EXPECT_EQ(outputColumn(), 6) << "a window out of bounds changes nothing";
  EXPECT_EQ(testConsole().cursorRow(), 1);

  testConsole().setWindow(1, 19, 80, 25);
  EXPECT_EQ(outputColumn(), 1);
  EXPECT_EQ(outputRow(), 19);
  testConsole().setBackground(1);
  testConsole().clearScreen();
  EXPECT_EQ(trimmed(1), "hello") << "clearing leaves the rows outside the window";
  EXPECT_EQ(screenAttribute(1, 18), 7);
  EXPECT_EQ(screenAttribute(1, 19), 0x17);
  EXPECT_EQ(screenAttribute(80, 25), 0x17);

  testConsole().moveCursor(7, 6);
  EXPECT_EQ(outputColumn(), 7);
  EXPECT_EQ(outputRow(), 24);
  EXPECT_EQ(testConsole().cursorRow(), 6);
  testConsole().moveCursor(0, 1);
  testConsole().moveCursor(1, 0);
  testConsole().moveCursor(81, 1);
  testConsole().moveCursor(1, 8);
  EXPECT_EQ(outputColumn(), 7) << "moves outside the window are ignored";
  EXPECT_EQ(outputRow(), 24);
}

TEST_F(ConsoleTest, WindowOfTheLayoutOnASmallScreen) {
  openMemoryConsole(79, 24, 3, 4);
  testConsole().setWindow(1, 19, 80, 25);
  testConsole().setWindow(1, 19, 79, 25);
  testConsole().setWindow(1, 19, 80, 24);
  EXPECT_EQ(outputColumn(), 3);
  EXPECT_EQ(outputRow(), 4);
  testConsole().clearScreen();
  EXPECT_EQ(outputRow(), 1) << "the window is still the whole screen";
}

TEST_F(ConsoleTest, Attributes) {
  EXPECT_EQ(currentAttribute(), 7);
  testConsole().setBackground(4);
  testConsole().setForeground(12);
  EXPECT_EQ(currentAttribute(), 76);
  testConsole().setBackground(0);
  EXPECT_EQ(currentAttribute(), 12);
  testConsole().setAttribute(0xF1);
  testConsole().setBackground(2);
  EXPECT_EQ(currentAttribute(), 0xA1) << "setBackground keeps bit 7";
  testConsole().setForeground(3);
  EXPECT_EQ(currentAttribute(), 0x23) << "setForeground clears bit 7";
  testConsole().writeText("x");
  EXPECT_EQ(screenAttribute(1, 1), 0x23);
}

TEST_F(ConsoleTest, WriteCellsIsCutAtTheRightEdgeAndLeavesThePosition) {
  testConsole().writeText("ab");
  testConsole().writeCells(78, 3, "12345", 0x4C);
  EXPECT_EQ(screenText(3).substr(77), "123");
  EXPECT_EQ(screenAttribute(78, 3), 0x4C);
  EXPECT_EQ(currentAttribute(), 7);
  testConsole().writeText("c");
  EXPECT_EQ(trimmed(1), "abc");
  testConsole().writeCells(1, 4, "", 0x4C);
  testConsole().writeCells(81, 4, "x", 0x4C);
  EXPECT_EQ(screenAttribute(1, 4), 7);
}

TEST_F(ConsoleTest, BytesThatAreNotTextShowAsCodePage437) {
  testConsole().writeCells(1, 1, std::string("\x01\x02\r\n\x1b\x7f\xb0\xdb", 8), 7);
  EXPECT_EQ(trimmed(1), "☺☻♪◙←⌂░█");
  testConsole().moveCursor(1, 2);
  testConsole().writeText(std::string("\x00\x03\xc3", 3));
  EXPECT_EQ(screenGlyph(1, 2), " ");
  EXPECT_EQ(screenGlyph(2, 2), "♥");
  EXPECT_EQ(screenGlyph(3, 2), "├") << "a byte that starts no valid UTF-8";
}

TEST_F(ConsoleTest, WideGlyphs) {
  testConsole().writeText("漢字");
  EXPECT_EQ(outputColumn(), 5);
  EXPECT_EQ(screenGlyph(1, 1), "漢");
  EXPECT_EQ(screenGlyph(2, 1), "") << "the right half shows nothing of its own";
  EXPECT_EQ(screenText(1).substr(0, 7), "漢字 ");

  testConsole().writeCells(2, 1, "x", 7);
  EXPECT_EQ(screenGlyph(1, 1), " ") << "overwriting a right half blanks the left";
  testConsole().writeCells(3, 1, "y", 7);
  EXPECT_EQ(screenGlyph(4, 1), " ") << "overwriting a left half blanks the right";

  testConsole().moveCursor(80, 2);
  testConsole().writeText("漢");
  EXPECT_EQ(screenGlyph(80, 2), " ") << "a wide glyph does not fit in the last column";
  EXPECT_EQ(screenGlyph(1, 3), "漢");
  EXPECT_EQ(outputColumn(), 3);

  testConsole().writeCells(79, 4, "a漢", 7);
  EXPECT_EQ(screenText(4).substr(78), "a ");
}

TEST_F(ConsoleTest, ZeroWidthCharactersJoinTheCellBeforeThem) {
  testConsole().writeText("e\u0301x");
  EXPECT_EQ(screenGlyph(1, 1), "e\u0301");
  EXPECT_EQ(outputColumn(), 3);
  testConsole().writeText("\u0300a\u0300\u0301\u0302");
  EXPECT_EQ(screenGlyph(2, 1), "x") << "a mark joins only a cell of the same write";
  EXPECT_EQ(screenGlyph(3, 1), "a\u0300\u0301") << "two marks at most";
  testConsole().writeCells(1, 2, "\u0301b\u20dd", 0x1F);
  EXPECT_EQ(screenGlyph(1, 2), "b\u20dd");
}

TEST(ConsoleModelTest, CellsArePlainUntilTheProgramChoosesAColour) {
  ConsoleModel model;
  model.reset(80, 25, 1, 1);
  EXPECT_FALSE(model.cell(5, 5).known) << "the model knows nothing of the screen it started on";
  model.writeText("usage\r\n");
  model.writeCells(1, 3, "x", 7);
  EXPECT_TRUE(model.cell(1, 1).plain);
  EXPECT_FALSE(model.cell(1, 3).plain) << "cells written directly always name their colours";
  model.clearScreen();
  EXPECT_TRUE(model.cell(40, 20).plain);
  model.setForeground(7);
  model.writeText("y");
  EXPECT_FALSE(model.cell(1, 1).plain);
  EXPECT_EQ(model.cell(1, 1).attribute, 7);
}

TEST(GlyphsTest, DecodingAndWidths) {
  EXPECT_EQ(decodeGlyph("A", 0).codePoint, U'A');
  const Glyph box = decodeGlyph("│", 0);
  EXPECT_EQ(box.codePoint, U'│');
  EXPECT_EQ(box.length, 3);
  EXPECT_EQ(box.width, 1);
  EXPECT_EQ(decodeGlyph("😀", 0).width, 2);
  EXPECT_EQ(decodeGlyph("\uFF21", 0).width, 2);
  EXPECT_EQ(decodeGlyph("\u0301", 0).width, 0);
  EXPECT_EQ(decodeGlyph("\u200d", 0).width, 0);
  EXPECT_EQ(decodeGlyph("\ufe0f", 0).width, 0);
  // Overlong forms, surrogates, C1 controls and a cut-off sequence are single bytes.
  for (const char* bad :
       {"\xc0\x80", "\xe0\x80\xaf", "\xed\xa0\x80", "\xc2\x9b", "\xe2\x94", "\xf4\x90\x80\x80"}) {
    const Glyph glyph = decodeGlyph(bad, 0);
    EXPECT_EQ(glyph.length, 1) << bad;
    EXPECT_EQ(glyph.width, 1);
  }
  EXPECT_EQ(decodeGlyph("\xc2\x9b", 0).codePoint, U'┬');
}

TEST(GlyphsTest, VisibleTextKeepsNoControlByte) {
  EXPECT_EQ(visibleText(std::string("a\rb\x1b[2J\x9b\xc3\xa9", 10)), "a♪b←[2J¢é");
  EXPECT_EQ(cp437Glyph(0x00), " ");
  EXPECT_EQ(cp437Glyph(0x0A), "◙");
  EXPECT_EQ(cp437Glyph(0xB3), "│");
  EXPECT_EQ(cp437Glyph(0xF9), "∙");
  EXPECT_EQ(cp437Glyph(0xFB), "√");
}

TEST_F(ConsoleTest, KeysFromTerminalBytes) {
  feedKeyBytes("\x1b[A");
  EXPECT_TRUE(testConsole().keyAvailable());
  EXPECT_EQ(testConsole().readKey(), 0);
  EXPECT_TRUE(testConsole().keyAvailable()) << "the second half of the key is still waiting";
  EXPECT_EQ(testConsole().readKey(), 72);
  EXPECT_FALSE(testConsole().keyAvailable());

  feedKeyBytes("\r\x1bOM\x1b");
  EXPECT_EQ(testConsole().readKey(), 13);
  EXPECT_EQ(testConsole().readKey(), 13);
  EXPECT_EQ(testConsole().readKey(), 27) << "a lone ESC at the end of the input is the ESC key";
  EXPECT_FALSE(testConsole().keyAvailable());
  EXPECT_EQ(testConsole().readKey(), 27) << "with nothing left to read, ESC";
}

TEST_F(ConsoleTest, TheWaitHookPressesKeysOneAtATime) {
  int waits = 0;
  setKeyWaitHook([&] {
    ++waits;
    if (waits == 1) feedKeyBytes("\x1b[B");
    if (waits == 2) feedKeyBytes("\x1b[<0;5;5M");  // a mouse report is no key: wait again
    if (waits == 3) feedKeyBytes("q");
  });
  EXPECT_FALSE(testConsole().keyAvailable()) << "only readKey waits";
  EXPECT_EQ(testConsole().readKey(), 0);
  EXPECT_EQ(testConsole().readKey(), 80);
  EXPECT_EQ(testConsole().readKey(), 'q');
  EXPECT_EQ(testConsole().readKey(), 27);
  EXPECT_EQ(waits, 4);
  setKeyWaitHook(nullptr);
}

TEST_F(ConsoleTest, TheSeventeenthPressIsLost) {
  feedKeyBytes("abcdefghijklmnopq");
  std::string read;
  while (testConsole().keyAvailable()) read += static_cast<char>(testConsole().readKey());
  EXPECT_EQ(read, "abcdefghijklmnop");
}

TEST_F(ConsoleTest, ReopeningResetsEverything) {
  testConsole().setAttribute(0x4C);
  testConsole().setWindow(1, 19, 80, 25);
  feedKeyBytes("\x1b[B");
  EXPECT_EQ(testConsole().readKey(), 0);
  {
    ScreenUpdate update(testConsole());
    openMemoryConsole(80, 25, 5, 6);
  }
  EXPECT_EQ(currentAttribute(), 7);
  EXPECT_FALSE(testConsole().keyAvailable()) << "neither queue nor pending byte survive";
  testConsole().clearScreen();
  EXPECT_EQ(outputRow(), 1);
  EXPECT_EQ(screenAttribute(1, 1), 7);
}

}  // namespace
