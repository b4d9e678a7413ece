#include "ui/colour_text.h"

#include <algorithm>

#include "console/glyphs.h"

namespace {

// Characters of the text, a character being a UTF-8 sequence or a byte that is not one.
int characterCount(std::string_view text) {
  int count = 0;
  for (std::size_t pos = 0; pos < text.size(); pos += decodeGlyph(text, pos).length) ++count;
  return count;
}

// Bytes of the longest prefix that shows in at most `width` columns.
std::size_t prefixFitting(std::string_view text, int width, int* columns) {
  std::size_t pos = 0;
  int used = 0;
  while (pos < text.size()) {
    const Glyph glyph = decodeGlyph(text, pos);
    if (used + glyph.width > width) break;
    used += glyph.width;
    pos += glyph.length;
  }
  *columns = used;
  return pos;
}

bool isDigit(char c) {
  return c >= '0' && c <= '9';
}

}  // namespace

std::string shortString(std::string_view text) {
  std::size_t pos = 0;
  for (int count = 0; pos < text.size() && count < kShortStringMax; ++count) {
    pos += decodeGlyph(text, pos).length;
  }
  return std::string(text.substr(0, pos));
}

namespace {

// Walks pipe-coded text: plain runs to onText, codes (0-23) to onCode.
template <typename Text, typename Code>
void forEachPipePart(std::string_view text, Text onText, Code onCode) {
  std::size_t runStart = 0;
  std::size_t i = 0;
  const auto flushRun = [&](std::size_t end) {
    if (end > runStart) onText(text.substr(runStart, end - runStart));
  };
  while (i < text.size()) {
    if (text[i] != '|' || i + 2 >= text.size()) {
      ++i;
      continue;
    }
    const char first = text[i + 1];
    const char second = text[i + 2];
    if (isDigit(first) && isDigit(second)) {
      const int code = (first - '0') * 10 + (second - '0');
      if (code <= 23) {
        flushRun(i);
        onCode(code);
        runStart = i + 3;
      }
    }
    // The two characters after a bar are never looked at again, so "||07" is text.
    i += 3;
  }
  flushRun(text.size());
}

}  // namespace

void ColourWriter::writePipe(std::string_view text) {
  ScreenUpdate update(console_);
  // Plain text between two codes goes out as one write: nothing changes the colour inside it.
  forEachPipePart(
      text,
      [this](std::string_view run) {
        if (glyphs_.ascii()) {
          console_.writeText(glyphs_.text(run));
        } else {
          console_.writeText(run);
        }
      },
      [this](int code) {
        if (code < 16) {
          console_.setForeground(code);
        } else {
          console_.setBackground(code - 16);
        }
      });
}

std::string withoutPipeCodes(std::string_view text) {
  std::string plain;
  forEachPipePart(
      text, [&](std::string_view run) { plain += run; }, [](int) {});
  return plain;
}

void ColourWriter::writePipeLine(std::string_view text) {
  std::string line = shortString(text);
  const int room = kShortStringMax - characterCount(line);
  if (room >= 1) line += '\r';
  if (room >= 2) line += '\n';
  writePipe(line);
}

std::string padLeft(std::string_view text, int width, char fill) {
  int columns = 0;
  const std::size_t kept = prefixFitting(text, std::max(width, 0), &columns);
  if (kept < text.size())
    return std::string(text.substr(0, kept)) + std::string(width - columns, fill);
  return std::string(std::max(width, 0) - columns, fill) + std::string(text);
}

std::string padRight(std::string_view text, int width, char fill) {
  int columns = 0;
  const std::size_t kept = prefixFitting(text, std::max(width, 0), &columns);
  return std::string(text.substr(0, kept)) + std::string(std::max(width, 0) - columns, fill);
}

void ColourWriter::writeAt(int column, int row, std::string_view text, uint8_t attribute) {
  console_.writeCells(column, row, text, attribute);
}
