#include "driver/command_line.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <algorithm>
#include <string_view>

namespace {

// "-T" alone, or followed by anything but a number, asks for every core; "-T<n>" for n workers,
// held to 1-64.
int workerCount(std::string_view digits) {
  int count = 0;
  std::size_t used = 0;
  while (used < digits.size() && digits[used] >= '0' && digits[used] <= '9' &&
         count <= kMaxWorkers) {
    count = count * 10 + (digits[used] - '0');
    ++used;
  }
  if (used == 0) return kAllCores;
  return std::clamp(count, 1, kMaxWorkers);
}

}  // namespace

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
    } else if (option == 'R') {
      options.recursive = true;
    } else if (option == 'T') {
      options.workers = workerCount(std::string_view(parameter).substr(2));
    }
  }
  return options;
}

std::optional<std::string> expandedMaskParameter(const std::vector<std::string>& parameters) {
  if (parameters.size() < 2) return std::nullopt;
  const std::string& mask = parameters[0];
  const std::size_t slash = mask.rfind('/');
  const std::string maskFolder = slash == std::string::npos ? "" : mask.substr(0, slash + 1);
  struct stat status;
  for (std::size_t i = 1; i < parameters.size(); ++i) {
    const std::string& parameter = parameters[i];
    if (parameter.empty()) continue;
    if (fstatat(AT_FDCWD, parameter.c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0 ||
        (!maskFolder.empty() &&
         fstatat(AT_FDCWD, (maskFolder + parameter).c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0)) {
      return parameter;
    }
  }
  return std::nullopt;
}
