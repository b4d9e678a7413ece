#pragma once
// Whether a file is packed at all: the skip rules, decided from one look at the archive name
// before the source is opened.

#include <sys/stat.h>

#include <string>

#include "core/run_data.h"
#include "driver/batch_run.h"
#include "driver/dir_search.h"

// What stood at the archive name when the file was decided: with -O, an archive of this same
// file, which the commit replaces only while it is still the one that was read.
struct ExistingArchive {
  bool present = false;
  struct stat status {};
};

// True when the entry is to be packed into archiveName. A file that is a ZIP archive itself is
// skipped; so is one whose archive name is taken (by an archive from before, without -O; by one
// this run made; with -O, by anything but an archive of this same file alone, or by the run's
// own output). A folder or a special file at the name is a failure. Otherwise the report is
// made and false returned.
bool decide(BatchRun& run, const Folders& folders, const SearchEntry& entry,
            const std::string& archiveName, ExistingArchive& existing, FileOutcome& outcome);
