#include "core/run_data.h"

#include <iterator>

namespace {

constexpr std::string_view kLogMessages[] = {
    "Skipped: ZIP already exists", "Unable to open/create file",  "Error adding file to ZIP",
    "Error reading file",          "Error writing to file",       "Error closing file",
    "File changed while zipping",  "Skipped: file in use",        "Skipped: another file's ZIP",
    "Skipped: link of other user", "Archive failed verification", "Error deleting file",
};
static_assert(std::size(kLogMessages) == kLogCodes);

}  // namespace

std::string_view logMessageText(std::uint8_t code) {
  return kLogMessages[code];
}
