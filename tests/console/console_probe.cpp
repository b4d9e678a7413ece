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

void drawScreen(Console& console) {
  ScreenUpdate update(console);
  console.clearScreen();
  console.writeText("plain text in the terminal's colours\r\n");
  console.setAttribute(0x1E);
  console.writeText("yellow on blue");
  console.setAttribute(0x4C);
  console.writeText(" light red on red");
  console.setAttribute(0x07);
  console.writeLine(" grey on black");
  console.writeCells(1, 4, "wide: 漢字 e\u0301 ", 0x2F);
  console.writeCells(1, 5, "controls: \x01\x02\x1b\x7f\t\r\n", 0x07);
  console.writeCells(1, 6, "box: ░▒▓│┤─┼√∙", 0x3F);
  console.writeCells(77, 7, "cut off", 0x5E);
  console.moveCursor(1, 8);
  console.writeText("stream controls: \x01\x02\x03 tab\tbell\a end");

  // A full-width window that scrolls: lines 1 and 2 scroll out of it.
  console.setWindow(1, 10, 80, 13);
  console.setAttribute(0x07);
  console.clearScreen();
  for (int line = 1; line <= 5; ++line) console.writeLine("window line " + std::to_string(line));
  console.setWindow(1, 15, 80, 25);
  console.setAttribute(0x0A);
  console.writeLine("keys:");
}

}  // namespace

int main(int argc, char** argv) {
  const char* keysPath = nullptr;
  const char* pidPath = nullptr;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (std::strcmp(argv[i], "--keys") == 0) keysPath = argv[i + 1];
    if (std::strcmp(argv[i], "--pid") == 0) pidPath = argv[i + 1];
  }

  Console console;
  console.open();
  console.disableMouseInput();
  console.setTitle("console probe");
  drawScreen(console);
  appendLine(pidPath, std::to_string(getpid()) + "\n");

  bool lastWasEsc = false;
  for (;;) {
    int character = console.readKey();
    int code = 0;
    if (character == 0) code = console.readKey();
    const std::string pair = std::to_string(character) + "," + std::to_string(code);
    appendLine(keysPath, pair + "\n");
    console.writeText(pair + " ");
    if (character == 'q' || (character == 27 && lastWasEsc)) break;
    lastWasEsc = character == 27;
  }
  console.setAttribute(0x07);
  console.writeLine();
  console.writeLine("probe done");
  console.close();
  return 0;
}
