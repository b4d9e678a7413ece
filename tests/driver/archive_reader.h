#pragma once
// Archives read back with minizip's reader side, for checks inside one test process. The
// archives as outside readers see them are checked by the whole-program tests.

#include <unzip.h>

#include <optional>
#include <string>
#include <vector>

struct ReadEntry {
  std::string name;
  std::string data;
  int method = 0;  // 0 stored, 8 deflated
};

// Every entry with its data (CRC checked), or nothing when the file is no readable archive.
inline std::optional<std::vector<ReadEntry>> readArchive(const std::string& path) {
  unzFile archive = unzOpen64(path.c_str());
  if (archive == nullptr) return std::nullopt;
  std::vector<ReadEntry> entries;
  bool good = true;
  for (int step = unzGoToFirstFile(archive); step == UNZ_OK && good;
       step = unzGoToNextFile(archive)) {
    unz_file_info64 info;
    char name[1024];
    if (unzGetCurrentFileInfo64(archive, &info, name, sizeof name, nullptr, 0, nullptr, 0) !=
            UNZ_OK ||
        unzOpenCurrentFile(archive) != UNZ_OK) {
      good = false;
      break;
    }
    ReadEntry entry{name, {}, static_cast<int>(info.compression_method)};
    char block[8192];
    int got;
    while ((got = unzReadCurrentFile(archive, block, sizeof block)) > 0)
      entry.data.append(block, got);
    if (got < 0 || unzCloseCurrentFile(archive) != UNZ_OK) good = false;
    entries.push_back(std::move(entry));
  }
  unzClose(archive);
  if (!good) return std::nullopt;
  return entries;
}
