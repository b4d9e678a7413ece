#pragma once
// What a text looks like on the screen: how its bytes group into characters and how many
// columns each takes.

#include <cstddef>
#include <string>
#include <string_view>

struct Glyph {
  char32_t codePoint;  // the character shown
  int length;          // bytes of the text it takes, 1-4
  int width;           // screen columns: 0 (combining), 1 or 2
};

// The character starting at text[pos]: a valid UTF-8 sequence (no overlong forms, no
// surrogates), or else one byte shown as its code page 437 glyph. Control bytes (0-31, 127)
// give their code page 437 glyphs too, width 1.
Glyph decodeGlyph(std::string_view text, std::size_t pos);

// The text with every control byte and every byte that is not valid UTF-8 replaced by the UTF-8
// of its code page 437 glyph: safe to send through the output stream, which acts on CR, LF,
// backspace and bell.
std::string visibleText(std::string_view text);

// The UTF-8 of a code page 437 byte's glyph (0x01 is "☺", 0xB0 is "░", 0x20 and 0x00 blanks).
std::string_view cp437Glyph(unsigned char byte);
