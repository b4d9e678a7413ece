#include "ui/usage.h"

#include <string>
#include <string_view>

#include "console/console.h"

namespace {

constexpr std::string_view kUsage[] = {
    "",
    "Usage: VORDEX [file mask] [options]",
    "",
    "[file mask] contains the file mask which will be processed",
    "[options]   any number of the following optional commands:",
    "",
    "-O  Overwrite existing .ZIP files",
    "-D  Delete original file after zipping",
    "-X  Sets compression level (where X is 0 through 9)",
    "-T  Packs with every core (-Tn: with n threads, 1 through 64)",
    "-R  Also packs matching files in every subfolder, beside each file",
};

}  // namespace

void showUsage() {
  if (consoleKind() == ConsoleKind::Screen && !consoleHidesRows()) {
    ScreenUpdate update;
    for (std::string_view line : kUsage) writeLine(line);
    return;
  }
  // A dumb or small terminal takes the text as plain lines where its cursor stands.
  writePlain(usageText());
}

std::string usageText() {
  std::string text;
  for (std::string_view line : kUsage) (text += line) += '\n';
  return text;
}
