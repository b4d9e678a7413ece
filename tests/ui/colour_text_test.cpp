#include "ui/colour_text.h"

#include <gtest/gtest.h>

#include <string>

#include "console/console.h"
#include "support/memory_console.h"

namespace {

ColourWriter& out() {
  static ColourWriter writer(testConsole(), GlyphSet());
  return writer;
}

class ColourTextTest : public ::testing::Test {
 protected:
  void SetUp() override { openMemoryConsole(); }
};

TEST_F(ColourTextTest, CodesSetColoursForWhatFollowsOnly) {
  testConsole().setAttribute(0x4E);
  out().writePipe("a|12b|16c|07d");
  EXPECT_EQ(screenText(1).substr(0, 4), "abcd");
  EXPECT_EQ(screenAttribute(1, 1), 0x4E);  // a code never recolours what came before it
  EXPECT_EQ(screenAttribute(2, 1), 0x4C);
  EXPECT_EQ(screenAttribute(3, 1), 0x0C);
  EXPECT_EQ(screenAttribute(4, 1), 0x07);
  EXPECT_EQ(currentAttribute(), 0x07);
  EXPECT_EQ(outputColumn(), 5);
}

TEST_F(ColourTextTest, TextThatIsNoCodeIsPrintedAsItStands) {
  testConsole().setAttribute(0x1E);
  struct Case {
    const char* text;
    const char* shown;
    uint8_t attributeAfter;
  } cases[] = {
      {"", "", 0x1E},            // nothing written, colours kept
      {"|07", "", 0x17},         // a code alone
      {"x|1", "x|1", 0x1E},      // a bar with one digit at the end
      {"x|", "x|", 0x1E},        // a bar at the very end
      {"|24a", "|24a", 0x1E},    // beyond the 24 codes
      {"|1a|", "|1a|", 0x1E},    // a digit and a letter
      {"| 7", "| 7", 0x1E},      // a blank
      {"|-1", "|-1", 0x1E},      // a minus sign
      {"||07x", "||07x", 0x1E},  // the first bar takes "|0": no code, scanning goes on at "7"
      {"|07|", "|", 0x17},       // a code, then a lone bar
      {"|16|07w", "w", 0x07},    // background then foreground
  };
  for (const Case& c : cases) {
    openMemoryConsole();
    testConsole().setAttribute(0x1E);
    out().writePipe(c.text);
    const std::string shown = c.shown;
    EXPECT_EQ(screenText(1).substr(0, shown.size()), shown) << c.text;
    EXPECT_EQ(outputColumn(), 1 + static_cast<int>(shown.size())) << c.text;
    EXPECT_EQ(currentAttribute(), c.attributeAfter) << c.text;
  }
}

TEST_F(ColourTextTest, WritePipeLineEndsTheLineAfterAFinalCode) {
  out().writePipeLine("ab|12");
  EXPECT_EQ(currentAttribute(), 0x0C);
  EXPECT_EQ(outputColumn(), 1);
  EXPECT_EQ(outputRow(), 2);
  EXPECT_EQ(screenText(1).substr(0, 3), "ab ");
}

TEST_F(ColourTextTest, WritePipeLineCutsTheLineBreakOfLongTexts) {
  // 254 characters keep only the carriage return: the position is back at the left edge of the
  // same row the text wrapped to.
  openMemoryConsole(80, 25, 1, 1);
  out().writePipeLine(std::string(254, 'x'));
  EXPECT_EQ(outputRow(), 4);
  EXPECT_EQ(outputColumn(), 1);
  EXPECT_EQ(screenText(4).substr(0, 14), std::string(14, 'x'));

  openMemoryConsole(80, 25, 1, 1);
  out().writePipeLine(std::string(255, 'y'));
  EXPECT_EQ(outputRow(), 4);
  EXPECT_EQ(outputColumn(), 16);

  openMemoryConsole(80, 25, 1, 1);
  out().writePipeLine(std::string(300, 'z'));  // cut to 255 first
  EXPECT_EQ(outputRow(), 4);
  EXPECT_EQ(outputColumn(), 16);

  openMemoryConsole(80, 25, 1, 1);
  out().writePipeLine(std::string(253, 'w'));
  EXPECT_EQ(outputRow(), 5);
  EXPECT_EQ(outputColumn(), 1);
}

TEST(ShortStringTest, CutsAtACharacterBoundary) {
  std::string text = std::string(254, 'a') + "éé";
  EXPECT_EQ(shortString(text), std::string(254, 'a') + "é");
  EXPECT_EQ(shortString("abc"), "abc");
}

TEST(PadTest, FitsTextIntoAField) {
  EXPECT_EQ(padLeft("7", 3), "  7");
  EXPECT_EQ(padLeft("1000", 3), "100");
  EXPECT_EQ(padRight("abcdefghijkl", 10), "abcdefghij");
  EXPECT_EQ(padRight("abc", 5, '.'), "abc..");
  EXPECT_EQ(padRight("abc", 0), "");
  EXPECT_EQ(padLeft("abc", 0), "");
}

TEST(PadTest, CountsColumnsNotBytes) {
  EXPECT_EQ(padRight("café", 6), "café  ");
  EXPECT_EQ(padRight("日本", 5), "日本 ");
  // A two-column character never straddles the field's edge: the field is filled instead.
  EXPECT_EQ(padRight("日本", 3), "日 ");
  EXPECT_EQ(padLeft("日本語", 5), "日本 ");
  EXPECT_EQ(padLeft("é", 3), "  é");
  // A byte that is not UTF-8 takes one column, as its glyph does.
  EXPECT_EQ(padRight("a\xff", 3), "a\xff ");
}

TEST_F(ColourTextTest, WriteAtLeavesPositionAndColoursAlone) {
  testConsole().setWindow(1, 19, 80, 25);
  testConsole().setAttribute(0x0C);
  testConsole().writeText("ab");
  out().writeAt(78, 3, "|07xyz\n", 0x1F);  // neither codes nor control bytes are acted on
  EXPECT_EQ(screenGlyph(78, 3), "|");
  EXPECT_EQ(screenGlyph(80, 3), "7");
  EXPECT_EQ(screenAttribute(79, 3), 0x1F);
  EXPECT_EQ(outputColumn(), 3);
  EXPECT_EQ(outputRow(), 19);
  EXPECT_EQ(currentAttribute(), 0x0C);
}

}  // namespace
