#include "console/key_decoder.h"

#include <array>

#include "console/glyph_table.h"
#include "console/glyphs.h"

namespace {

constexpr char kEsc = '\x1b';
// Longest sequence waited for; anything longer is garbage and goes as a whole.
constexpr std::size_t kMaxSequence = 32;

enum Modifier { kShift = 1, kAlt = 2, kCtrl = 4, kMeta = 8 };

enum Key {
  kNone,
  kUp,
  kDown,
  kLeft,
  kRight,
  kHome,
  kEnd,
  kPageUp,
  kPageDown,
  kInsert,
  kDelete,
  kBegin,  // the keypad's middle key
  kF1,
  kF2,
  kF3,
  kF4,
  kF5,
  kF6,
  kF7,
  kF8,
  kF9,
  kF10,
  kF11,
  kF12,
};

// BIOS codes of each key alone, with Shift, with Ctrl and with Alt; 0 where the BIOS has none.
struct KeyCodes {
  uint8_t plain, shift, ctrl, alt;
};
constexpr KeyCodes kKeyCodes[] = {
    {0, 0, 0, 0},          // none
    {72, 72, 141, 152},    // up
    {80, 80, 145, 160},    // down
    {75, 75, 115, 155},    // left
    {77, 77, 116, 157},    // right
    {71, 71, 119, 151},    // home
    {79, 79, 117, 159},    // end
    {73, 73, 132, 153},    // page up
    {81, 81, 118, 161},    // page down
    {82, 82, 146, 162},    // insert
    {83, 83, 147, 163},    // delete
    {0, 0, 143, 0},        // keypad 5
    {59, 84, 94, 104},     // F1
    {60, 85, 95, 105},     // F2
    {61, 86, 96, 106},     // F3
    {62, 87, 97, 107},     // F4
    {63, 88, 98, 108},     // F5
    {64, 89, 99, 109},     // F6
    {65, 90, 100, 110},    // F7
    {66, 91, 101, 111},    // F8
    {67, 92, 102, 112},    // F9
    {68, 93, 103, 113},    // F10
    {133, 135, 137, 139},  // F11
    {134, 136, 138, 140},  // F12
};

// Scan codes of the US keyboard for the printable ASCII characters, from the space on.
constexpr std::array<uint8_t, 95> kScanCodes = {
    0x39, 0x02, 0x28, 0x04, 0x05, 0x06, 0x08, 0x28, 0x0A, 0x0B, 0x09, 0x0D, 0x33, 0x0C, 0x34, 0x35,
    0x0B, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0x09, 0x0A, 0x27, 0x27, 0x33, 0x0D, 0x34, 0x35,
    0x03, 0x1E, 0x30, 0x2E, 0x20, 0x12, 0x21, 0x22, 0x23, 0x17, 0x24, 0x25, 0x26, 0x32, 0x31, 0x18,
    0x19, 0x10, 0x13, 0x1F, 0x14, 0x16, 0x2F, 0x11, 0x2D, 0x15, 0x2C, 0x1A, 0x2B, 0x1B, 0x07, 0x0C,
    0x29, 0x1E, 0x30, 0x2E, 0x20, 0x12, 0x21, 0x22, 0x23, 0x17, 0x24, 0x25, 0x26, 0x32, 0x31, 0x18,
    0x19, 0x10, 0x13, 0x1F, 0x14, 0x16, 0x2F, 0x11, 0x2D, 0x15, 0x2C, 0x1A, 0x2B, 0x1B, 0x29,
};

uint8_t scanCode(unsigned char c) {
  return c >= 0x20 && c < 0x7F ? kScanCodes[c - 0x20] : 0;
}

KeyPress extendedKey(Key key, int modifiers) {
  const KeyCodes& codes = kKeyCodes[key];
  uint8_t code = codes.plain;
  if (modifiers & (kAlt | kMeta)) {
    code = codes.alt;
  } else if (modifiers & kCtrl) {
    code = codes.ctrl;
  } else if (modifiers & kShift) {
    code = codes.shift;
  }
  return {0, code};
}

// What one look at the front of the unfinished bytes found.
struct Parsed {
  bool needMore = false;
  std::size_t length = 0;  // bytes used up
  KeyPress key{0, 0};      // a code of 0 with character 0 means no key
  bool isKey = false;
};

Parsed needMore() {
  return {true, 0, {0, 0}, false};
}
Parsed dropped(std::size_t length) {
  return {false, length, {0, 0}, false};
}
Parsed key(std::size_t length, KeyPress press) {
  // A key whose combination the BIOS has no code for does not exist for the program.
  return {false, length, press, press.character != 0 || press.code != 0};
}

// The modifier bits of an xterm modifier parameter ("1;5A": 5 is Ctrl).
int modifierBits(int parameter) {
  return parameter >= 2 ? (parameter - 1) & 0x0F : 0;
}

struct Parameters {
  int values[2] = {-1, -1};
  int count = 0;
  bool privateMarker = false;  // "<", "=", ">" or "?": mouse reports and replies, never keys
  bool tooMany = false;
};

Parameters readParameters(std::string_view text) {
  Parameters p;
  bool haveDigit = false;
  int value = 0;
  for (char c : text) {
    if (c >= '0' && c <= '9') {
      value = value > 9999 ? value : value * 10 + (c - '0');
      haveDigit = true;
    } else if (c == ';' || c == ':') {
      if (p.count < 2) p.values[p.count] = haveDigit ? value : -1;
      ++p.count;
      value = 0;
      haveDigit = false;
    } else {
      p.privateMarker = true;
    }
  }
  if (p.count < 2) p.values[p.count] = haveDigit ? value : -1;
  ++p.count;
  p.tooMany = p.count > 2;
  return p;
}

Key tildeKey(int number) {
  switch (number) {
    case 1:
    case 7:
      return kHome;
    case 2:
      return kInsert;
    case 3:
      return kDelete;
    case 4:
    case 8:
      return kEnd;
    case 5:
      return kPageUp;
    case 6:
      return kPageDown;
    case 11:
    case 12:
    case 13:
    case 14:
    case 15:
      return static_cast<Key>(kF1 + number - 11);
    case 17:
    case 18:
    case 19:
    case 20:
    case 21:
      return static_cast<Key>(kF6 + number - 17);
    case 23:
      return kF11;
    case 24:
      return kF12;
    default:
      return kNone;
  }
}

// rxvt sends Shift+F3 to Shift+F10 as the function keys past F12.
Key rxvtShiftedKey(int number) {
  switch (number) {
    case 25:
      return kF3;
    case 26:
      return kF4;
    case 28:
      return kF5;
    case 29:
      return kF6;
    case 31:
      return kF7;
    case 32:
      return kF8;
    case 33:
      return kF9;
    case 34:
      return kF10;
    default:
      return kNone;
  }
}

Key letterKey(char final) {
  switch (final) {
    case 'A':
      return kUp;
    case 'B':
      return kDown;
    case 'C':
      return kRight;
    case 'D':
      return kLeft;
    case 'H':
      return kHome;
    case 'F':
      return kEnd;
    case 'E':
      return kBegin;
    case 'P':
      return kF1;
    case 'Q':
      return kF2;
    case 'R':
      return kF3;
    case 'S':
      return kF4;
    default:
      return kNone;
  }
}

KeyPress altKey(unsigned char c) {
  if (c >= '1' && c <= '9') return {0, static_cast<uint8_t>(120 + c - '1')};
  if (c == '0') return {0, 129};
  if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z')) return {0, scanCode(c)};
  return {0, 0};
}

// A key that starts with a byte other than ESC.
Parsed parsePlain(std::string_view s, bool settling) {
  const auto c = static_cast<unsigned char>(s[0]);
  switch (c) {
    case 0:
      return key(1, {0, 3});
    case '\r':
    case '\n':
      return key(1, {13, 28});
    case '\t':
      return key(1, {9, 15});
    case '\b':
    case 0x7F:
      return key(1, {8, 14});
    default:
      break;
  }
  if (c < 0x20) {
    // Ctrl+letters and the four control bytes past them (Ctrl+\, Ctrl+], Ctrl+^, Ctrl+_).
    constexpr uint8_t kCtrlPunctuation[] = {0x2B, 0x1B, 0x07, 0x0C};
    return key(1, {c, c <= 26 ? scanCode(static_cast<unsigned char>('a' + c - 1))
                              : kCtrlPunctuation[c - 28]});
  }
  if (c < 0x80) return key(1, {c, scanCode(c)});
  // UTF-8: keep the character only when code page 437 can show it.
  const std::size_t expected = c >= 0xF5 ? 1 : c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC2 ? 2 : 1;
  for (std::size_t i = 1; i < expected && i < s.size(); ++i) {
    if ((static_cast<unsigned char>(s[i]) & 0xC0) != 0x80) return dropped(i);
  }
  if (s.size() < expected && !settling) return needMore();
  const Glyph glyph = decodeGlyph(s, 0);
  if (glyph.length == 1) return dropped(1);
  const int byte = cp437UpperByte(glyph.codePoint);
  if (byte < 0) return dropped(glyph.length);
  return key(glyph.length, {static_cast<uint8_t>(byte), 0});
}

// After ESC [ (or ESC ESC [ with Alt). start is the index after the '['.
Parsed parseCsi(std::string_view s, std::size_t start, int extraModifiers, bool settling,
                bool* expectingReport, int* reportRow, int* reportColumn, bool* haveReport) {
  if (s.size() <= start) return settling ? dropped(s.size()) : needMore();
  // The Linux console's F1 to F5: ESC [ [ A to ESC [ [ E.
  if (s[start] == '[') {
    if (s.size() <= start + 1) return settling ? dropped(s.size()) : needMore();
    const char final = s[start + 1];
    if (final >= 'A' && final <= 'E') {
      return key(start + 2, extendedKey(static_cast<Key>(kF1 + final - 'A'), extraModifiers));
    }
    return dropped(start + 2);
  }
  // X10 mouse report: ESC [ M and three raw bytes, any of which may look like anything.
  if (s[start] == 'M') {
    if (s.size() < start + 4) return settling ? dropped(s.size()) : needMore();
    return dropped(start + 4);
  }
  std::size_t end = start;
  while (end < s.size()) {
    const auto c = static_cast<unsigned char>(s[end]);
    if (c < 0x20 || c > 0x7E) return dropped(end);  // broken off: what follows is read anew
    if (c >= 0x40 || c == '$') break;
    ++end;
    if (end - start > kMaxSequence) return dropped(end);
  }
  if (end == s.size()) return settling ? dropped(s.size()) : needMore();
  const char final = s[end];
  const std::size_t length = end + 1;
  const Parameters p = readParameters(s.substr(start, end - start));
  if (p.privateMarker || p.tooMany) return dropped(length);

  if (final == 'R' && *expectingReport && p.count == 2 && p.values[0] > 0 && p.values[1] > 0) {
    *expectingReport = false;
    *haveReport = true;
    *reportRow = p.values[0];
    *reportColumn = p.values[1];
    return dropped(length);
  }
  if (final == 'Z') return key(length, {0, 15});
  if (final == '~' || final == '$' || final == '^' || final == '@') {
    int modifiers = extraModifiers;
    if (final == '~') modifiers |= modifierBits(p.values[1]);
    if (final == '$') modifiers |= kShift;
    if (final == '^') modifiers |= kCtrl;
    if (final == '@') modifiers |= kCtrl | kShift;
    Key k = tildeKey(p.values[0]);
    if (k == kNone) {
      k = rxvtShiftedKey(p.values[0]);
      modifiers |= kShift;
    }
    if (k == kNone) return dropped(length);
    return key(length, extendedKey(k, modifiers));
  }
  const Key k = letterKey(final);
  if (k == kNone) return dropped(length);  // focus events, mouse reports and the unknown
  // Keys say "1;m"; anything else (a late cursor report: "row;column R") is not a key.
  if (p.values[0] > 1 || p.values[1] > 16) return dropped(length);
  return key(length, extendedKey(k, extraModifiers | modifierBits(p.values[1])));
}

// After ESC O (or ESC ESC O). start is the index after the 'O'.
Parsed parseSs3(std::string_view s, std::size_t start, int extraModifiers, bool settling) {
  std::size_t end = start;
  while (end < s.size()) {
    const auto c = static_cast<unsigned char>(s[end]);
    if (c < 0x20 || c > 0x7E) {
      // ESC O with nothing usable after it was Alt+O.
      if (end == start && extraModifiers == 0) return key(start, altKey('O'));
      return dropped(end);
    }
    if (c >= 0x40 || c == ' ') break;
    ++end;
    if (end - start > kMaxSequence) return dropped(end);
  }
  if (end == s.size()) {
    if (!settling) return needMore();
    if (end == start && extraModifiers == 0) return key(start, altKey('O'));
    return dropped(s.size());
  }
  const char final = s[end];
  const std::size_t length = end + 1;
  const Parameters p = readParameters(s.substr(start, end - start));
  if (p.privateMarker || p.tooMany) return dropped(length);
  if (final == 'M') return key(length, {13, 28});  // the keypad's ENTER
  // Keypad keys in application mode give their characters.
  if (final >= 'j' && final <= 'y') {
    const char c = "*+,-./0123456789"[final - 'j'];
    return key(length, {static_cast<uint8_t>(c), scanCode(static_cast<unsigned char>(c))});
  }
  if (final == 'X') return key(length, {'=', scanCode('=')});
  const Key k = letterKey(final);
  if (k == kNone) return dropped(length);
  // Old xterms put the modifier first: ESC O 5 P.
  const int modifier = p.count == 2 ? p.values[1] : p.values[0];
  return key(length, extendedKey(k, extraModifiers | modifierBits(modifier)));
}

}  // namespace

void KeyDecoder::feed(std::string_view bytes, int64_t nowMs, std::vector<KeyPress>& keys) {
  if (bytes.empty()) return;
  expire(nowMs, keys);
  for (char c : bytes) {
    pending_ += c;
    process(false, keys);
  }
  lastByteMs_ = nowMs;
}

void KeyDecoder::expire(int64_t nowMs, std::vector<KeyPress>& keys) {
  if (!pending_.empty() && nowMs - lastByteMs_ >= timeoutMs_) settle(keys);
}

void KeyDecoder::settle(std::vector<KeyPress>& keys) {
  process(true, keys);
}

int64_t KeyDecoder::msUntilExpiry(int64_t nowMs) const {
  if (pending_.empty()) return -1;
  const int64_t left = lastByteMs_ + timeoutMs_ - nowMs;
  return left > 0 ? left : 0;
}

bool KeyDecoder::takeCursorReport(int* row, int* column) {
  if (!haveReport_) return false;
  haveReport_ = false;
  *row = reportRow_;
  *column = reportColumn_;
  return true;
}

void KeyDecoder::process(bool settling, std::vector<KeyPress>& keys) {
  while (!pending_.empty()) {
    const std::string_view s = pending_;
    Parsed parsed;
    if (s[0] != kEsc) {
      parsed = parsePlain(s, settling);
    } else if (s.size() == 1) {
      parsed = settling ? key(1, {27, 1}) : needMore();
    } else if (s[1] == '[') {
      parsed =
          parseCsi(s, 2, 0, settling, &expectingReport_, &reportRow_, &reportColumn_, &haveReport_);
    } else if (s[1] == 'O') {
      parsed = parseSs3(s, 2, 0, settling);
    } else if (s[1] == kEsc) {
      // Some terminals send Alt with a cursor or function key as ESC before its sequence.
      if (s.size() == 2) {
        parsed = settling ? key(1, {27, 1}) : needMore();
      } else if (s[2] == '[') {
        parsed = parseCsi(s, 3, kAlt, settling, &expectingReport_, &reportRow_, &reportColumn_,
                          &haveReport_);
      } else if (s[2] == 'O') {
        parsed = parseSs3(s, 3, kAlt, settling);
      } else {
        parsed = key(1, {27, 1});  // ESC pressed twice
      }
    } else {
      // ESC and a key within the timeout: that key with Alt.
      const auto c = static_cast<unsigned char>(s[1]);
      if (c >= 0x20 && c < 0x7F) {
        parsed = key(2, altKey(c));
      } else {
        const Parsed rest = parsePlain(s.substr(1), settling);
        parsed = rest.needMore ? rest : dropped(rest.length + 1);
      }
    }
    if (parsed.needMore) return;
    if (parsed.isKey) keys.push_back(parsed.key);
    pending_.erase(0, parsed.length);
  }
}
