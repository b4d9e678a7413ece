#pragma once
// Turns the bytes a terminal sends for key presses into (character, code) pairs with the PC
// keyboard BIOS codes. No I/O: bytes and the time they arrived go in, keys come out, so every
// sequence can be tested byte by byte.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

struct KeyPress {
  uint8_t character;  // 0 for a key that has no character
  uint8_t code;       // the BIOS scan code, or the extended key code when character is 0

  bool operator==(const KeyPress&) const = default;
};

// How long a sequence may stay unfinished before it is taken for what has arrived: an ESC with
// nothing after it is the ESC key. Long enough for a terminal's sequence to arrive in pieces over
// a slow link, short enough that nobody notices the wait after pressing ESC.
inline constexpr int64_t kEscapeTimeoutMs = 50;

class KeyDecoder {
 public:
  explicit KeyDecoder(int64_t escapeTimeoutMs = kEscapeTimeoutMs) : timeoutMs_(escapeTimeoutMs) {}

  // Bytes that arrived at nowMs (any monotonic clock, in milliseconds). Keys they complete are
  // appended to keys, oldest first.
  void feed(std::string_view bytes, int64_t nowMs, std::vector<KeyPress>& keys);
  // Lets time pass: a sequence that has waited the whole timeout is settled.
  void expire(int64_t nowMs, std::vector<KeyPress>& keys);
  // Settles an unfinished sequence at once, as if its timeout had passed.
  void settle(std::vector<KeyPress>& keys);

  bool unfinished() const { return !pending_.empty(); }
  // Milliseconds left before expire settles the unfinished sequence: 0 when due, -1 when there
  // is none.
  int64_t msUntilExpiry(int64_t nowMs) const;

  // A cursor-position report is on its way: the next one is kept for takeCursorReport instead
  // of being read as a key (its bytes look like Shift+F3 with a modifier).
  void expectCursorReport() { expectingReport_ = true; }
  bool takeCursorReport(int* row, int* column);

 private:
  void process(bool settling, std::vector<KeyPress>& keys);

  int64_t timeoutMs_;
  std::string pending_;
  int64_t lastByteMs_ = 0;
  bool expectingReport_ = false;
  bool haveReport_ = false;
  int reportRow_ = 0;
  int reportColumn_ = 0;
};
