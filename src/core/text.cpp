#include "core/text.h"

namespace {

bool isContinuation(unsigned char byte) {
  return (byte & 0xC0) == 0x80;
}

void appendHex(std::string& out, unsigned char byte) {
  static constexpr char kDigits[] = "0123456789abcdef";
  out += "\\x";
  out += kDigits[byte >> 4];
  out += kDigits[byte & 15];
}

// Walks the name one character at a time: `character(text, codePoint)` for each valid UTF-8
// sequence and each ASCII byte, `invalid(byte)` for each byte that begins no valid sequence.
template <typename Character, typename Invalid>
void walkUtf8(std::string_view name, Character character, Invalid invalid) {
  std::size_t i = 0;
  while (i < name.size()) {
    const auto byte = static_cast<unsigned char>(name[i]);
    if (byte < 0x80) {
      character(name.substr(i, 1), static_cast<char32_t>(byte));
      ++i;
      continue;
    }
    char32_t codePoint;
    const int length = utf8SequenceLength(name, i, &codePoint);
    if (length > 0) {
      character(name.substr(i, static_cast<std::size_t>(length)), codePoint);
      i += static_cast<std::size_t>(length);
      continue;
    }
    invalid(byte);
    ++i;
  }
}

// The C escape of an ASCII control byte or backslash, or nothing.
const char* cEscape(char32_t c) {
  switch (c) {
    case '\\':
      return "\\\\";
    case '\n':
      return "\\n";
    case '\t':
      return "\\t";
    case '\r':
      return "\\r";
    case '\a':
      return "\\a";
    case '\b':
      return "\\b";
    case '\f':
      return "\\f";
    case '\v':
      return "\\v";
    default:
      return nullptr;
  }
}

bool isControl(char32_t c) {
  return c < 0x20 || (c >= 0x7F && c < 0xA0);
}

}  // namespace

std::string escapedName(std::string_view name) {
  std::string out;
  out.reserve(name.size());
  walkUtf8(
      name,
      [&](std::string_view text, char32_t c) {
        if (const char* escape = cEscape(c)) {
          out += escape;
        } else if (isControl(c)) {
          for (char byte : text) appendHex(out, static_cast<unsigned char>(byte));
        } else {
          out += text;
        }
      },
      [&](unsigned char byte) { appendHex(out, byte); });
  return out;
}

std::string reportName(std::string_view name) {
  std::string out = escapedName(name);
  const bool quote = out.find(" -> ") != std::string::npos || out.find(": ") != std::string::npos ||
                     out.empty() || out.front() == '"' || out.front() == ' ' || out.back() == ' ';
  if (!quote) return out;
  std::string quoted = "\"";
  for (char c : out) {
    if (c == '"') quoted += '\\';
    quoted += c;
  }
  return quoted + '"';
}

std::string jsonString(std::string_view name) {
  std::string out = "\"";
  walkUtf8(
      name,
      [&](std::string_view text, char32_t c) {
        if (c == '"' || c == '\\') {
          (out += '\\') += static_cast<char>(c);
        } else if (c == '\n') {
          out += "\\n";
        } else if (c == '\t') {
          out += "\\t";
        } else if (c == '\r') {
          out += "\\r";
        } else if (isControl(c) || c == 0x2028 || c == 0x2029) {
          // Controls, and the two separators JavaScript takes for line ends, as \uXXXX.
          static constexpr char kDigits[] = "0123456789abcdef";
          out += "\\u";
          for (int shift = 12; shift >= 0; shift -= 4) out += kDigits[(c >> shift) & 15];
        } else {
          out += text;
        }
      },
      [&](unsigned char byte) {
        out += '\\';  // the escaped name's backslash, itself escaped for JSON
        appendHex(out, byte);
      });
  return out + '"';
}

int utf8SequenceLength(std::string_view text, std::size_t pos, char32_t* codePoint) {
  const auto byte = static_cast<unsigned char>(text[pos]);
  int length = 0;
  char32_t cp = 0;
  if (byte >= 0xC2 && byte <= 0xDF) {
    length = 2;
    cp = byte & 0x1F;
  } else if (byte >= 0xE0 && byte <= 0xEF) {
    length = 3;
    cp = byte & 0x0F;
  } else if (byte >= 0xF0 && byte <= 0xF4) {
    length = 4;
    cp = byte & 0x07;
  } else {
    return 0;  // ASCII, a continuation byte, an overlong lead (C0, C1) or F5-FF
  }
  if (pos + length > text.size()) return 0;
  for (int i = 1; i < length; ++i) {
    const auto next = static_cast<unsigned char>(text[pos + i]);
    if (!isContinuation(next)) return 0;
    cp = (cp << 6) | (next & 0x3F);
  }
  constexpr char32_t kSmallest[] = {0, 0, 0x80, 0x800, 0x10000};
  if (cp < kSmallest[length] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
  *codePoint = cp;
  return length;
}

bool needsUtf8Flag(std::string_view name) {
  bool nonAscii = false;
  std::size_t i = 0;
  while (i < name.size()) {
    if (static_cast<unsigned char>(name[i]) < 0x80) {
      ++i;
      continue;
    }
    char32_t codePoint;
    const int length = utf8SequenceLength(name, i, &codePoint);
    if (length == 0) return false;
    nonAscii = true;
    i += static_cast<std::size_t>(length);
  }
  return nonAscii;
}
