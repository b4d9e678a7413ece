// Drives the real console for the end-to-end tests: draws a fixed screen (colours, wide glyphs,
// control bytes, a scrolled full-width window), sets the title, then reads keys until "q" (or
// two ESCs in a row, which is all a run without a keyboard ever gets) and ends through
// closeConsole.
//
//   console_probe [--keys FILE] [--pid FILE]
//
// --keys appends every key pair read to FILE, one "character,code" line each, as it is read.
// --pid writes the process id to FILE once the screen is drawn.

#include <unistd.h>
#include <cstdio>
#include <cstring>
#include <string>

#include "console/console.h"

namespace {

void appendLine(const char* path, const std::string& line) {
  if (path == nullptr) return;
  if (FILE* file = std::fopen(path, "a")) {
    std::fputs(line.c_str(), file);
    std::fclose(file);
  }
}

void drawScreen() {
  ScreenUpdate update;
  clearScreen();
  writeText("plain text in the terminal's colours\r\n");
  setAttribute(0x1E);
  writeText("yellow on blue");
  setAttribute(0x4C);
  writeText(" light red on red");
  setAttribute(0x07);
  writeLine(" grey on black");
  writeCells(1, 4, "wide: 漢字 e\u0301 ", 0x2F);
  writeCells(1, 5, "controls: \x01\x02\x1b\x7f\t\r\n", 0x07);
  writeCells(1, 6, "box: ░▒▓│┤─┼√∙", 0x3F);
  writeCells(77, 7, "cut off", 0x5E);
  moveCursor(1, 8);
  writeText("stream controls: \x01\x02\x03 tab\tbell\a end");

  // A full-width window that scrolls: lines 1 and 2 scroll out of it.
  setWindow(1, 10, 80, 13);
  setAttribute(0x07);
  clearScreen();
  for (int line = 1; line <= 5; ++line) writeLine("window line " + std::to_string(line));
  setWindow(1, 15, 80, 25);
  setAttribute(0x0A);
  writeLine("keys:");
}

}  // namespace

int main(int argc, char** argv) {
  const char* keysPath = nullptr;
  const char* pidPath = nullptr;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (std::strcmp(argv[i], "--keys") == 0) keysPath = argv[i + 1];
    if (std::strcmp(argv[i], "--pid") == 0) pidPath = argv[i + 1];
  }

  openConsole();
  disableMouseInput();
  setTitle("console probe");
  drawScreen();
  appendLine(pidPath, std::to_string(getpid()) + "\n");

  bool lastWasEsc = false;
  for (;;) {
    int character = readKey();
    int code = 0;
    if (character == 0) code = readKey();
    const std::string pair = std::to_string(character) + "," + std::to_string(code);
    appendLine(keysPath, pair + "\n");
    writeText(pair + " ");
    if (character == 'q' || (character == 27 && lastWasEsc)) break;
    lastWasEsc = character == 27;
  }
  setAttribute(0x07);
  writeLine();
  writeLine("probe done");
  closeConsole();
  return 0;
}
