#pragma once
// Pipe-coded colour text and the field helpers around it.
//
// In pipe-coded text "|00".."|15" set the foreground and "|16".."|23" the background (code minus
// 16) for everything written after them, by any writer: colour is the console's state. Any other
// "|" is text. Short strings hold at most 255 characters; longer results are cut at a character
// boundary. Widths count screen columns: a character a terminal shows two columns wide counts two.

#include <cstdint>
#include <string>
#include <string_view>

#include "console/console.h"
#include "ui/glyph_set.h"

inline constexpr int kShortStringMax = 255;

// The text cut to 255 characters (never inside a character).
std::string shortString(std::string_view text);

// Exactly width columns: fill in front (padLeft) or behind (padRight), or the text cut to width.
std::string padLeft(std::string_view text, int width, char fill = ' ');
std::string padRight(std::string_view text, int width, char fill = ' ');

// The text without its colour codes, as plain text shows it.
std::string withoutPipeCodes(std::string_view text);

// Writes pipe-coded text and fields on one console, in the glyphs its terminal can show.
class ColourWriter {
 public:
  ColourWriter(Console& console, GlyphSet glyphs) : console_(console), glyphs_(glyphs) {}

  Console& console() const { return console_; }
  const GlyphSet& glyphs() const { return glyphs_; }

  // At the output position; on a terminal that shows only ASCII the text's glyphs are written
  // as their stand-ins.
  void writePipe(std::string_view text);
  // writePipe of the text followed by CR and LF, cut to 255 characters first: a text of 254
  // characters keeps only the CR, one of 255 no line break at all.
  void writePipeLine(std::string_view text);
  // Cells at an absolute screen position in one attribute; the output position and the current
  // attribute stay as they are; nothing is interpreted, nothing wraps.
  void writeAt(int column, int row, std::string_view text, uint8_t attribute);

 private:
  Console& console_;
  GlyphSet glyphs_;
};
