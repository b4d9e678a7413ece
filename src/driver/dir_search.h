#pragma once
// The directory search behind a file mask: the folder is read once, the matching names are kept
// in byte order and yielded one by one, each checked to be a regular file when its turn comes.

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <string>
#include <string_view>
#include <vector>

#include "driver/descriptor.h"

struct SearchEntry {
  std::string name;  // the bare name, no folder part: the entry's name in the archive
  std::uint64_t size = 0;
  std::uint32_t time = 0;  // last modification, local time, packed DOS date (high) and time (low)
  // Another match has the same base name and so the same archive name.
  bool sharesArchive = false;
};

struct DirectorySearch {
  // The mask's folder, opened once: every later look at its files goes through it, so a folder
  // renamed during the run changes nothing.
  Descriptor folder;
  int error = 0;  // errno when the folder could not be opened or read
  // Every matching name followed by a zero byte, in one buffer: the search's memory grows with
  // the number of files only by the names themselves (and one offset each).
  std::string names;
  // Offsets into names, sorted by the names' bytes; the top bit marks a name whose base name
  // another match shares.
  std::vector<std::uint32_t> order;
  std::size_t next = 0;
};

// Reads the mask's folder (the current one when the mask has no '/'; a relative folder is taken
// from workDir) and keeps the names that the mask's last component matches with fnmatch:
// case-sensitive, and "*" matches a leading dot. A folder that is missing or cannot be read
// gives an empty search and sets error.
void startSearch(DirectorySearch& search, int workDir, std::string_view mask);

// The next match that is a regular file, or a symbolic link to one, at the moment of the call;
// false when there is none. Fills entry in place, so a run reuses its strings' storage.
bool nextSearchEntry(DirectorySearch& search, SearchEntry& entry);

// A time in the packed DOS form, local time, seconds halved. Times before 1980 give
// 1980-01-01 00:00:00 and times after 2107 give 2107-12-31 23:59:58, the form's limits.
std::uint32_t dosDateTime(std::time_t time);
