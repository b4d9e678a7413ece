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
    "-n  Shows what would be done and does nothing",
    "-q  Writes no report to standard output",
    "",
    "Long forms: --overwrite --delete --level=X --fast --best --threads[=n]",
    "  --recursive --dry-run --quiet --help --version; -- ends the options",
    "--files-from=FILE  Packs the names FILE lists, one a line (- reads input)",
    "--files0-from=FILE The same with names ended by NUL, as find -print0 gives",
    "--output-dir=DIR   Writes every archive into DIR (with -R, a tree below it)",
    "--exclude=PATTERN  Passes over names (with a /, paths) that match PATTERN",
    "--older-than=AGE   Packs only files last changed AGE ago or more: 30m 12h 7d",
    "--json             Writes the report as JSON Lines",
};

}  // namespace

void showUsage(Console& console) {
  if (console.kind() == ConsoleKind::Screen && !console.hidesRows()) {
    ScreenUpdate update(console);
    for (std::string_view line : kUsage) console.writeLine(line);
    return;
  }
  // A dumb or small terminal takes the text as plain lines where its cursor stands.
  console.writePlain(usageText());
}

std::string usageText() {
  std::string text;
  for (std::string_view line : kUsage) (text += line) += '\n';
  return text;
}
