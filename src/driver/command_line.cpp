#include "driver/command_line.h"

RunOptions parseCommandLine(const std::vector<std::string>& parameters) {
  RunOptions options;
  if (parameters.empty()) return options;
  // No cut at 255 characters: a Linux path may be longer, and a cut mask would find other files.
  options.fileMask = parameters[0];
  for (std::size_t i = 1; i < parameters.size(); ++i) {
    const std::string& parameter = parameters[i];
    if (parameter.size() < 2 || parameter[0] != '-') continue;
    char option = parameter[1];
    if (option >= 'a' && option <= 'z') option = static_cast<char>(option - 'a' + 'A');
    if (option == 'D') {
      options.deleteAfterZipping = true;
    } else if (option == 'O') {
      options.overwriteArchives = true;
    } else if (option >= '0' && option <= '9') {
      options.compressionLevel = option - '0';
    }
  }
  return options;
}
