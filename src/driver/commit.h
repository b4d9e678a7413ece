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

// Commits temp, a complete archive of the entry's source holding `expected`, to archiveName,
// replacing what stood there only when that is still `existing`; then with -D deletes the
// entry's name. Everything that happens goes into outcome.
void commitArchive(BatchRun& run, const Folders& folders, TempArchive& temp,
                   const std::string& archiveName, const SearchEntry& entry, Source& source,
                   const ExistingArchive& existing, const ExpectedEntry& expected,
                   FileOutcome& outcome);
