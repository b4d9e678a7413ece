#pragma once
// Character facts the console needs beyond glyphs.h: widths, the code page 437 table both ways
// and UTF-8 encoding.

#include <string>

// Columns a terminal gives a printable code point: 0 for marks that join the character before
// them, 2 for East Asian wide and fullwidth characters, else 1.
int glyphWidth(char32_t codePoint);

// The code page 437 byte (128-255) that shows this character, or -1 when the upper half has none.
int cp437UpperByte(char32_t codePoint);

void appendUtf8(std::string& out, char32_t codePoint);
