#pragma once
// The last steps of one file: the temporary archive dressed as its source, synced and read back
// whenever something is about to be destroyed, renamed to its final name, and with -D the
// source deleted.

#include <string>

#include "driver/batch_run.h"
#include "driver/decision.h"
#include "driver/source.h"
#include "driver/temp_archive.h"
#include "driver/verify.h"

// The archive as it was written: its size and what its one entry holds.
struct WrittenArchive {
  std::uint64_t size;
  ExpectedEntry entry;
};

// Commits temp, a complete archive of the entry's source as `written`, to archiveName,
// replacing what stood there only when that is still `existing`; then with -D deletes the
// entry's name. Everything that happens goes into outcome.
void commitArchive(BatchRun& run, const Folders& folders, TempArchive& temp,
                   const std::string& archiveName, const SearchEntry& entry, Source& source,
                   const ExistingArchive& existing, const WrittenArchive& written,
                   ArchiveReader& reader, FileOutcome& outcome);
