#pragma once
// The one table of the interface's glyphs. On a terminal that shows only ASCII faithfully (a
// locale that is not UTF-8, box glyphs drawn two columns wide) every text the interface writes
// goes through it: the panel keeps its shape in ASCII stand-ins, names show their other bytes as
// "?". Elsewhere texts pass unchanged.

#include <string>
#include <string_view>

class GlyphSet {
 public:
  explicit GlyphSet(bool ascii = false) : ascii_(ascii) {}

  bool ascii() const { return ascii_; }
  // A text of the program's own (panel rows, tags, the bar): in ASCII each glyph of the table
  // becomes its stand-in (frames "+ - |", full blocks "#", shades ". : #", "v" for the check
  // mark, "." for the bullet) and any other non-ASCII character "?".
  std::string text(std::string_view text) const;
  // A file name as the screen shows it: control bytes and bytes that are not UTF-8 as their code
  // page 437 glyphs, or in ASCII every byte outside printable ASCII as "?".
  std::string name(std::string_view name) const;

 private:
  bool ascii_;
};
