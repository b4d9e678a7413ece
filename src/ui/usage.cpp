#include "ui/usage.h"

#include "console/console.h"

void showUsage() {
  ScreenUpdate update;
  writeLine();
  writeLine("Usage: VORDEX [file mask] [options]");
  writeLine();
  writeLine("[file mask] contains the file mask which will be processed");
  writeLine("[options]   any number of the following optional commands:");
  writeLine();
  writeLine("-O  Overwrite existing .ZIP files");
  writeLine("-D  Delete original file after zipping");
  writeLine("-X  Sets compression level (where X is 0 through 9)");
}
