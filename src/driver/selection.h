#pragma once
// What a run packs and where each archive goes: the mask's matches (dir_search.h) or the names
// of a list (--files-from, --files0-from), less the names --exclude matches and the files
// --older-than finds too young, each entry told its archive's folder when the run names one
// (--output-dir; for a list, beside the source).

#include <cstdint>
#include <memory>
#include <string>
#include <unordered_set>

#include "driver/batch_run.h"
#include "driver/descriptor.h"
#include "driver/dir_search.h"

class Selection {
 public:
  // Starts the mask's search, or opens the list; makes the output folder, but not in a dry run.
  explicit Selection(const BatchRun& run);

  // As nextSearchStep: the next entry to pack, a folder of the walk that failed, a temporary
  // archive's name, or the end. A listed name that cannot be looked at (missing included) comes
  // with lookError set; one that is no regular file is passed over, as the search passes over
  // such names.
  SearchStep next(SearchEntry& entry, int* error);

  // Lets the thread that packs the mask's matches look at them (DirectorySearch::lookLater), or
  // learn it from opening them (byOpening: DirectorySearch::openToLook), where no filter needs
  // the look here.
  void lookLater(bool byOpening);

  // The mask's folder exists but could not be read: its errno, else 0.
  int folderError() const;
  // The list could not be opened or read to its end: its errno, else 0; and its name as shown.
  int listError() const { return listError_; }
  const std::string& listName() const { return options_.fileList; }

 private:
  SearchStep nextListed(SearchEntry& entry);
  bool readListName(std::string& name);
  bool excluded(const SearchEntry& entry) const;
  // The archive folder of an entry of the mirrored tree or of the list.
  std::shared_ptr<const ArchiveFolder> mirrored(const SearchEntry& entry);
  std::shared_ptr<const ArchiveFolder> folderFor(std::shared_ptr<const Descriptor> folder,
                                                 int error, std::string shown) const;

  const RunOptions& options_;
  int workDir_;
  DirectorySearch search_;
  std::int64_t newest_ = 0;  // --older-than: files modified since are passed over

  Descriptor list_;
  std::string listBuffer_;
  std::size_t listUsed_ = 0;
  bool listEnded_ = false;
  int listError_ = 0;
  // The archive keys of the names listed so far: a later name with one of them waits for the
  // earlier, as two names of one folder do.
  std::unordered_set<std::string> listedArchives_;

  std::shared_ptr<const ArchiveFolder> output_;  // --output-dir, or null
  // The folder of the last entry and its archive folder: entries come folder by folder.
  std::string lastFolder_;
  std::shared_ptr<const Descriptor> lastSource_;
  int lastSourceError_ = 0;
  std::shared_ptr<const ArchiveFolder> lastArchive_;
};

// Two entries whose archives may be one file have one key: the archive's folder and its name
// but for case.
std::string namesakeOf(const SearchEntry& entry);
