// Terminal byte sequences to key pairs, fed whole and byte by byte, with the ESC timeout played
// out on a made-up clock.

#include "console/key_decoder.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using Keys = std::vector<KeyPress>;

// Everything arrives at once, then the input falls silent.
Keys decode(const std::string& bytes) {
  KeyDecoder decoder;
  Keys keys;
  decoder.feed(bytes, 0, keys);
  decoder.settle(keys);
  return keys;
}

// One byte per feed, 1 ms apart: well within the timeout.
Keys decodeByteByByte(const std::string& bytes) {
  KeyDecoder decoder;
  Keys keys;
  int64_t now = 0;
  for (char c : bytes) decoder.feed(std::string(1, c), now++, keys);
  decoder.expire(now + kEscapeTimeoutMs, keys);
  return keys;
}

struct Case {
  const char* bytes;
  KeyPress key;
};

void expectEach(const std::vector<Case>& cases) {
  for (const Case& c : cases) {
    const Keys expected{c.key};
    EXPECT_EQ(decode(c.bytes), expected) << "whole: " << c.bytes + 1;
    EXPECT_EQ(decodeByteByByte(c.bytes), expected) << "byte by byte: " << c.bytes + 1;
  }
}

TEST(KeyDecoderTest, CursorAndEditingKeysInEveryForm) {
  expectEach({
      {"\x1b[A", {0, 72}},
      {"\x1bOA", {0, 72}},
      {"\x1b[B", {0, 80}},
      {"\x1bOB", {0, 80}},
      {"\x1b[D", {0, 75}},
      {"\x1b[C", {0, 77}},
      {"\x1b[H", {0, 71}},
      {"\x1bOH", {0, 71}},
      {"\x1b[1~", {0, 71}},
      {"\x1b[7~", {0, 71}},
      {"\x1b[F", {0, 79}},
      {"\x1bOF", {0, 79}},
      {"\x1b[4~", {0, 79}},
      {"\x1b[8~", {0, 79}},
      {"\x1b[5~", {0, 73}},
      {"\x1b[6~", {0, 81}},
      {"\x1b[2~", {0, 82}},
      {"\x1b[3~", {0, 83}},
  });
}

TEST(KeyDecoderTest, FunctionKeys) {
  expectEach({
      {"\x1bOP", {0, 59}},
      {"\x1bOQ", {0, 60}},
      {"\x1bOR", {0, 61}},
      {"\x1bOS", {0, 62}},
      {"\x1b[11~", {0, 59}},
      {"\x1b[14~", {0, 62}},
      {"\x1b[15~", {0, 63}},
      {"\x1b[17~", {0, 64}},
      {"\x1b[21~", {0, 68}},
      {"\x1b[23~", {0, 133}},
      {"\x1b[24~", {0, 134}},
      {"\x1b[[A", {0, 59}},
      {"\x1b[[E", {0, 63}},  // the Linux console
  });
}

TEST(KeyDecoderTest, ModifiersGiveTheBiosCodesOfTheCombination) {
  expectEach({
      {"\x1b[1;5A", {0, 141}},   // Ctrl+Up
      {"\x1b[1;3A", {0, 152}},   // Alt+Up
      {"\x1b[1;2A", {0, 72}},    // Shift+Up is Up
      {"\x1b[1;7A", {0, 152}},   // Ctrl+Alt: Alt wins
      {"\x1b[1;6D", {0, 115}},   // Ctrl+Shift+Left: Ctrl wins
      {"\x1b[1;5C", {0, 116}},   // Ctrl+Right
      {"\x1b[1;2P", {0, 84}},    // Shift+F1
      {"\x1b[1;5P", {0, 94}},    // Ctrl+F1
      {"\x1b[1;3P", {0, 104}},   // Alt+F1
      {"\x1bO5P", {0, 94}},      // Ctrl+F1, old xterm
      {"\x1b[15;2~", {0, 88}},   // Shift+F5
      {"\x1b[23;2~", {0, 135}},  // Shift+F11
      {"\x1b[24;5~", {0, 138}},  // Ctrl+F12
      {"\x1b[5;5~", {0, 132}},   // Ctrl+PgUp
      {"\x1b[3;3~", {0, 163}},   // Alt+Delete
      {"\x1b[2^", {0, 146}},     // Ctrl+Insert, rxvt
      {"\x1b[25~", {0, 86}},     // Shift+F3, rxvt
      {"\x1b\x1b[A", {0, 152}},  // Alt+Up as ESC before the sequence
      {"\x1b[1;5E", {0, 143}},   // Ctrl+keypad 5
      {"\x1b[Z", {0, 15}},       // Shift+Tab
  });
}

TEST(KeyDecoderTest, CharactersAndEnter) {
  expectEach({
      {"\r", {13, 28}},
      {"\n", {13, 28}},
      {"\x1bOM", {13, 28}},
      {"a", {'a', 0x1E}},
      {"Z", {'Z', 0x2C}},
      {"7", {'7', 0x08}},
      {" ", {' ', 0x39}},
      {"\t", {9, 15}},
      {"\x7f", {8, 14}},
      {"\b", {8, 14}},
      {"\x01", {1, 0x1E}},
      {"\x1a", {26, 0x2C}},
      {"\x1bOp", {'0', 0x0B}},
      {"\x1bOy", {'9', 0x0A}},
      {"\x1bOk", {'+', 0x0D}},
      {"é", {0x82, 0}},
      {"░", {0xB0, 0}},
  });
  EXPECT_EQ(decode(std::string(1, '\0')), (Keys{{0, 3}})) << "Ctrl+Space";
  EXPECT_EQ(decode("€ß"), (Keys{{0xE1, 0}})) << "no code page 437 byte, no key";
}

TEST(KeyDecoderTest, EscapeThenAKeyIsAlt) {
  expectEach({
      {"\x1b"
       "a",
       {0, 30}},
      {"\x1b"
       "A",
       {0, 30}},
      {"\x1b"
       "1",
       {0, 120}},
      {"\x1b"
       "0",
       {0, 129}},
  });
  EXPECT_EQ(decode("\x1b!\x1b\rx"), (Keys{{'x', 0x2D}})) << "Alt combinations without a code";
  EXPECT_EQ(decode("\x1bO"), (Keys{{0, 24}})) << "ESC O that stays alone is Alt+O";
}

TEST(KeyDecoderTest, WhatIsNoKeyIsDroppedWhole) {
  const std::vector<std::string> noise = {
      "\x1b[99~",      "\x1b[1;5X",     "\x1b[?1;2c",    "\x1b[200~", "\x1b[M !!", "\x1b[M\x1b[A",
      "\x1b[<0;12;5M", "\x1b[<0;12;5m", "\x1b[32;12;5M", "\x1b[I",    "\x1b[O",    "\x1b[1;2;3;4A",
      "\x1bOz",        "\x1b[[Z",       "\x1b[12;40R",   "\x1b[E",
  };
  for (const std::string& bytes : noise) {
    EXPECT_EQ(decode(bytes + "k"), (Keys{{'k', 0x25}})) << bytes.substr(1);
    EXPECT_EQ(decodeByteByByte(bytes + "k"), (Keys{{'k', 0x25}})) << bytes.substr(1);
  }
  EXPECT_EQ(decode("\x1b[1;"), Keys{}) << "cut short and never finished";
  EXPECT_EQ(decode("\x1b[1\x1b[B"), (Keys{{0, 80}})) << "a sequence broken off by another";
}

TEST(KeyDecoderTest, TheEscapeTimeout) {
  KeyDecoder decoder(50);
  Keys keys;
  decoder.feed("\x1b", 1000, keys);
  EXPECT_TRUE(decoder.unfinished());
  EXPECT_EQ(decoder.msUntilExpiry(1010), 40);
  decoder.expire(1049, keys);
  EXPECT_EQ(keys, Keys{});
  decoder.expire(1050, keys);
  EXPECT_EQ(keys, (Keys{{27, 1}}));
  EXPECT_FALSE(decoder.unfinished());
  EXPECT_EQ(decoder.msUntilExpiry(1050), -1);

  keys.clear();
  decoder.feed("\x1b", 2000, keys);
  decoder.feed("a", 2030, keys);
  EXPECT_EQ(keys, (Keys{{0, 30}})) << "within the timeout: Alt+A";

  keys.clear();
  decoder.feed("\x1b", 3000, keys);
  decoder.feed("a", 3060, keys);
  EXPECT_EQ(keys, (Keys{{27, 1}, {'a', 0x1E}})) << "after the timeout: ESC, then A";

  keys.clear();
  decoder.feed("\x1b[", 4000, keys);
  decoder.feed("1;5", 4040, keys);
  decoder.feed("A", 4080, keys);
  EXPECT_EQ(keys, (Keys{{0, 141}})) << "each byte restarts the wait";

  keys.clear();
  decoder.feed("\x1b\x1b", 5000, keys);
  decoder.expire(5050, keys);
  EXPECT_EQ(keys, (Keys{{27, 1}, {27, 1}})) << "ESC pressed twice";
}

TEST(KeyDecoderTest, CursorReportsAreKeptApartFromKeys) {
  KeyDecoder decoder;
  Keys keys;
  decoder.expectCursorReport();
  decoder.feed("x\x1b[12;4", 0, keys);
  decoder.feed("0R\x1b[1;2R", 1, keys);
  int row = 0;
  int column = 0;
  ASSERT_TRUE(decoder.takeCursorReport(&row, &column));
  EXPECT_EQ(row, 12);
  EXPECT_EQ(column, 40);
  EXPECT_FALSE(decoder.takeCursorReport(&row, &column));
  EXPECT_EQ(keys, (Keys{{'x', 0x2D}, {0, 86}})) << "keys around the report, then Shift+F3";
}

}  // namespace
