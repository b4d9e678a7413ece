#include "ui/glyph_set.h"

#include "console/glyphs.h"

namespace {

struct StandIn {
  char32_t glyph;
  char ascii;
};

constexpr StandIn kStandIns[] = {
    {U'░', '.'}, {U'▒', ':'}, {U'▓', '#'}, {U'█', '#'}, {U'▄', '_'}, {U'▀', '"'}, {U'▌', '|'},
    {U'▐', '|'}, {U'│', '|'}, {U'─', '-'}, {U'┌', '+'}, {U'┐', '+'}, {U'└', '+'}, {U'┘', '+'},
    {U'├', '+'}, {U'┤', '+'}, {U'┬', '+'}, {U'┴', '+'}, {U'┼', '+'}, {U'∙', '.'}, {U'√', 'v'},
};

char standIn(char32_t glyph) {
  for (const StandIn& entry : kStandIns) {
    if (entry.glyph == glyph) return entry.ascii;
  }
  return '?';
}

}  // namespace

std::string GlyphSet::text(std::string_view text) const {
  if (!ascii_) return std::string(text);
  std::string out;
  out.reserve(text.size());
  for (std::size_t pos = 0; pos < text.size();) {
    const auto byte = static_cast<unsigned char>(text[pos]);
    if (byte < 0x80) {
      out += static_cast<char>(byte);
      ++pos;
      continue;
    }
    const Glyph glyph = decodeGlyph(text, pos);
    out += standIn(glyph.codePoint);
    pos += static_cast<std::size_t>(glyph.length);
  }
  return out;
}

std::string GlyphSet::name(std::string_view name) const {
  if (!ascii_) return visibleText(name);
  std::string out(name);
  for (char& c : out) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte >= 0x7F) c = '?';
  }
  return out;
}
