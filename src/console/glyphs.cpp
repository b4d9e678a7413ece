#include "console/glyphs.h"

#include "core/text.h"

#include <algorithm>
#include <array>
#include <iterator>

#include "console/glyph_table.h"

namespace {

struct GlyphRange {
  char32_t first;
  char32_t last;
};

#include "console/glyph_widths.inc"

// Code page 437 as shown on a PC screen: the control bytes have pictures of their own.
constexpr char32_t kCp437[256] = {
    0x0020, 0x263A, 0x263B, 0x2665, 0x2666, 0x2663, 0x2660, 0x2022, 0x25D8, 0x25CB, 0x25D9, 0x2642,
    0x2640, 0x266A, 0x266B, 0x263C, 0x25BA, 0x25C4, 0x2195, 0x203C, 0x00B6, 0x00A7, 0x25AC, 0x21A8,
    0x2191, 0x2193, 0x2192, 0x2190, 0x221F, 0x2194, 0x25B2, 0x25BC, 0x0020, 0x0021, 0x0022, 0x0023,
    0x0024, 0x0025, 0x0026, 0x0027, 0x0028, 0x0029, 0x002A, 0x002B, 0x002C, 0x002D, 0x002E, 0x002F,
    0x0030, 0x0031, 0x0032, 0x0033, 0x0034, 0x0035, 0x0036, 0x0037, 0x0038, 0x0039, 0x003A, 0x003B,
    0x003C, 0x003D, 0x003E, 0x003F, 0x0040, 0x0041, 0x0042, 0x0043, 0x0044, 0x0045, 0x0046, 0x0047,
    0x0048, 0x0049, 0x004A, 0x004B, 0x004C, 0x004D, 0x004E, 0x004F, 0x0050, 0x0051, 0x0052, 0x0053,
    0x0054, 0x0055, 0x0056, 0x0057, 0x0058, 0x0059, 0x005A, 0x005B, 0x005C, 0x005D, 0x005E, 0x005F,
    0x0060, 0x0061, 0x0062, 0x0063, 0x0064, 0x0065, 0x0066, 0x0067, 0x0068, 0x0069, 0x006A, 0x006B,
    0x006C, 0x006D, 0x006E, 0x006F, 0x0070, 0x0071, 0x0072, 0x0073, 0x0074, 0x0075, 0x0076, 0x0077,
    0x0078, 0x0079, 0x007A, 0x007B, 0x007C, 0x007D, 0x007E, 0x2302, 0x00C7, 0x00FC, 0x00E9, 0x00E2,
    0x00E4, 0x00E0, 0x00E5, 0x00E7, 0x00EA, 0x00EB, 0x00E8, 0x00EF, 0x00EE, 0x00EC, 0x00C4, 0x00C5,
    0x00C9, 0x00E6, 0x00C6, 0x00F4, 0x00F6, 0x00F2, 0x00FB, 0x00F9, 0x00FF, 0x00D6, 0x00DC, 0x00A2,
    0x00A3, 0x00A5, 0x20A7, 0x0192, 0x00E1, 0x00ED, 0x00F3, 0x00FA, 0x00F1, 0x00D1, 0x00AA, 0x00BA,
    0x00BF, 0x2310, 0x00AC, 0x00BD, 0x00BC, 0x00A1, 0x00AB, 0x00BB, 0x2591, 0x2592, 0x2593, 0x2502,
    0x2524, 0x2561, 0x2562, 0x2556, 0x2555, 0x2563, 0x2551, 0x2557, 0x255D, 0x255C, 0x255B, 0x2510,
    0x2514, 0x2534, 0x252C, 0x251C, 0x2500, 0x253C, 0x255E, 0x255F, 0x255A, 0x2554, 0x2569, 0x2566,
    0x2560, 0x2550, 0x256C, 0x2567, 0x2568, 0x2564, 0x2565, 0x2559, 0x2558, 0x2552, 0x2553, 0x256B,
    0x256A, 0x2518, 0x250C, 0x2588, 0x2584, 0x258C, 0x2590, 0x2580, 0x03B1, 0x00DF, 0x0393, 0x03C0,
    0x03A3, 0x03C3, 0x00B5, 0x03C4, 0x03A6, 0x0398, 0x03A9, 0x03B4, 0x221E, 0x03C6, 0x03B5, 0x2229,
    0x2261, 0x00B1, 0x2265, 0x2264, 0x2320, 0x2321, 0x00F7, 0x2248, 0x00B0, 0x2219, 0x00B7, 0x221A,
    0x207F, 0x00B2, 0x25A0, 0x00A0,
};

constexpr int utf8Length(char32_t cp) {
  return cp < 0x80 ? 1 : cp < 0x800 ? 2 : cp < 0x10000 ? 3 : 4;
}

// The UTF-8 of every code page 437 glyph, built once at compile time so that cp437Glyph can hand
// out views without allocating.
struct Cp437Utf8 {
  char bytes[256][4] = {};
  unsigned char lengths[256] = {};
  constexpr Cp437Utf8() {
    for (int i = 0; i < 256; ++i) {
      const char32_t cp = kCp437[i];
      const int length = utf8Length(cp);
      lengths[i] = static_cast<unsigned char>(length);
      if (length == 1) {
        bytes[i][0] = static_cast<char>(cp);
      } else if (length == 2) {
        bytes[i][0] = static_cast<char>(0xC0 | (cp >> 6));
        bytes[i][1] = static_cast<char>(0x80 | (cp & 0x3F));
      } else {
        bytes[i][0] = static_cast<char>(0xE0 | (cp >> 12));
        bytes[i][1] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        bytes[i][2] = static_cast<char>(0x80 | (cp & 0x3F));
      }
    }
  }
};
constexpr Cp437Utf8 kCp437Utf8;

template <std::size_t N>
bool inRanges(const GlyphRange (&ranges)[N], char32_t cp) {
  const auto it =
      std::upper_bound(std::begin(ranges), std::end(ranges), cp,
                       [](char32_t value, const GlyphRange& r) { return value < r.first; });
  return it != std::begin(ranges) && cp <= std::prev(it)->last;
}

Glyph byteGlyph(unsigned char byte) {
  return {kCp437[byte], 1, 1};
}

}  // namespace

int glyphWidth(char32_t codePoint) {
  if (codePoint < 0x300) return 1;
  // Box drawing and block elements, the panel's own glyphs: no table needed.
  if (codePoint >= 0x2500 && codePoint <= 0x259F) return 1;
  if (inRanges(kZeroWidthRanges, codePoint)) return 0;
  return inRanges(kWideRanges, codePoint) ? 2 : 1;
}

int cp437UpperByte(char32_t codePoint) {
  for (int byte = 128; byte < 256; ++byte) {
    if (kCp437[byte] == codePoint) return byte;
  }
  return -1;
}

void appendUtf8(std::string& out, char32_t cp) {
  switch (utf8Length(cp)) {
    case 1:
      out += static_cast<char>(cp);
      break;
    case 2:
      out += static_cast<char>(0xC0 | (cp >> 6));
      out += static_cast<char>(0x80 | (cp & 0x3F));
      break;
    case 3:
      out += static_cast<char>(0xE0 | (cp >> 12));
      out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (cp & 0x3F));
      break;
    default:
      out += static_cast<char>(0xF0 | (cp >> 18));
      out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

Glyph decodeGlyph(std::string_view text, std::size_t pos) {
  const auto byte = static_cast<unsigned char>(text[pos]);
  if (byte < 0x80) return byteGlyph(byte);
  char32_t cp = 0;
  const int length = utf8SequenceLength(text, pos, &cp);
  if (length == 0) return byteGlyph(byte);
  // C1 controls are valid UTF-8, but a terminal may act on them (U+009B starts a sequence).
  if (cp < 0xA0) return byteGlyph(byte);
  return {cp, length, glyphWidth(cp)};
}

std::string visibleText(std::string_view text) {
  std::string result;
  result.reserve(text.size());
  for (std::size_t pos = 0; pos < text.size();) {
    const Glyph glyph = decodeGlyph(text, pos);
    const auto byte = static_cast<unsigned char>(text[pos]);
    if (glyph.length == 1 && (byte < 0x20 || byte >= 0x7F)) {
      result += cp437Glyph(byte);
    } else {
      result += text.substr(pos, glyph.length);
    }
    pos += glyph.length;
  }
  return result;
}

std::string_view cp437Glyph(unsigned char byte) {
  return {kCp437Utf8.bytes[byte], kCp437Utf8.lengths[byte]};
}
