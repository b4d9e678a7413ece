#include "ui/plain_text.h"

#include "console/glyphs.h"

namespace {

void appendHex(std::string& out, unsigned char byte) {
  static constexpr char kDigits[] = "0123456789abcdef";
  out += "\\x";
  out += kDigits[byte >> 4];
  out += kDigits[byte & 15];
}

}  // namespace

std::string escapedName(std::string_view name) {
  std::string out;
  out.reserve(name.size());
  std::size_t i = 0;
  while (i < name.size()) {
    const auto byte = static_cast<unsigned char>(name[i]);
    if (byte >= 0x80) {
      char32_t codePoint;
      const int length = utf8SequenceLength(name, i, &codePoint);
      if (length > 0 && codePoint >= 0xA0) {
        out.append(name.substr(i, static_cast<std::size_t>(length)));
        i += static_cast<std::size_t>(length);
        continue;
      }
      const std::size_t end = i + static_cast<std::size_t>(length > 0 ? length : 1);
      for (; i < end; ++i) appendHex(out, static_cast<unsigned char>(name[i]));
      continue;
    }
    ++i;
    switch (byte) {
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\t':
        out += "\\t";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\a':
        out += "\\a";
        break;
      case '\b':
        out += "\\b";
        break;
      case '\f':
        out += "\\f";
        break;
      case '\v':
        out += "\\v";
        break;
      default:
        if (byte < 0x20 || byte == 0x7F) {
          appendHex(out, byte);
        } else {
          out += static_cast<char>(byte);
        }
    }
  }
  return out;
}
