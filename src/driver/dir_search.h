#pragma once
// The directory search behind a file mask: the folder is read once, the matching names are kept
// in byte order and yielded one by one, each checked to be a regular file when its turn comes.

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include <sys/types.h>

#include "driver/descriptor.h"

// Where the archives of some entries go when the run says where (--output-dir, a list of
// names), shared by the entries of one folder.
struct ArchiveFolder {
  std::shared_ptr<const Descriptor> folder;  // not valid: missing in a dry run, or error
  int error = 0;                             // errno: the folder could not be made or opened
  std::string shown;  // its path as the report shows it, with its slash ("out/sub/")
  std::string key;    // one for every path of one folder: its device and inode
};

struct SearchEntry {
  std::string name;    // the bare name, no folder part: the entry's name in the archive
  std::string prefix;  // its folder below the starting one ("sub/deeper/"), or empty
  // The folder it lies in, where it is read and deleted; held as long as the entry is.
  std::shared_ptr<const Descriptor> folder;
  std::uint64_t size = 0;
  std::uint32_t time = 0;  // last modification, local time, packed DOS date (high) and time (low)
  std::int64_t modified = 0;  // last modification, seconds since the epoch
  // Another match of its folder has the same base name and so the same archive name.
  bool sharesArchive = false;
  // Something stood at its archive name (letter case aside) when the archive folder was read,
  // or may stand there by the time it is packed (sharesArchive). Where not, the decision needs
  // no look at the name: anything that comes to stand there meanwhile is met by the commit,
  // which never replaces what it did not decide to replace.
  bool archiveMayExist = true;
  // Size and time are known: the search looked at the file (see DirectorySearch::lookLater).
  bool looked = true;
  // The file could not be looked at (errno): a failure to report in its place.
  int lookError = 0;
  // The file it names, once looked at: two names of one file are never packed side by side.
  std::uint64_t device = 0;
  std::uint64_t inode = 0;
  // Where its archive goes; null: the working folder (with -R beside the source).
  std::shared_ptr<const ArchiveFolder> archiveFolder;
};

// One folder, read once: its matching names (and, when walking a tree, its subfolders' names)
// kept in byte order in one buffer each, so memory grows with the names alone.
struct FolderListing {
  std::shared_ptr<const Descriptor> folder;
  std::string prefix;
  std::string names;                 // every matching name followed by a zero byte
  std::vector<std::uint32_t> order;  // offsets into names in byte order; the top bit marks a
                                     // name whose base name another match shares
  std::size_t next = 0;
  // The folder's names that end in ".zip", letters folded, sorted: its archives as it was read.
  std::vector<std::string> archives;
  std::string subfolderNames;
  std::vector<std::uint32_t> subfolders;
  std::size_t nextSubfolder = 0;
};

struct DirectorySearch {
  // The mask's folder, opened once: every later look at its files goes through it, so a folder
  // renamed during the run changes nothing.
  std::shared_ptr<const Descriptor> start;
  int error = 0;  // errno when the mask's folder could not be opened or read
  std::string pattern;
  bool recursive = false;
  dev_t device = 0;  // the starting folder's file system: others below it are not entered
  // A folder the walk never enters: the one the archives go to (device and inode; 0: none).
  dev_t passOverDevice = 0;
  ino_t passOverInode = 0;
  // The walk: the folders from the starting one down to the one in hand.
  std::vector<FolderListing> stack;
  // Names are yielded unlooked at, for lookAtEntry to do later on another thread.
  bool lookLater = false;
  // Names the listing shows as regular files, with nothing at their archive name, are yielded
  // unlooked at: the thread that packs them at once learns from opening them (Source::open)
  // what a look would tell, with one call fewer.
  bool openToLook = false;
  // Where archives go when that is not the listed folder (a mask in another folder, without
  // -R): the working folder's archives as it was read at the start.
  bool archivesElsewhere = false;
  std::vector<std::string> workArchives;
  bool archivesKnown = true;  // false: the working folder could not be read
};

// Reads the mask's folder (the current one when the mask has no '/'; a relative folder is taken
// from workDir) and keeps the names that the mask's last component matches with fnmatch:
// case-sensitive, and "*" matches a leading dot. A folder that is missing or cannot be read
// gives an empty search and sets error. With recursive, the walk then goes down every
// subfolder in turn (depth first, each folder's own files before its subfolders, both in byte
// order), passing over links to folders and other file systems. The archives standing in the
// folder where each match's archive goes are noted from the listings (SearchEntry's
// archiveMayExist).
void startSearch(DirectorySearch& search, int workDir, std::string_view mask,
                 bool recursive = false);

// What the next step of a search found.
enum class SearchStep { File, FolderFailed, TempArchive, End };

// The next match that is a regular file, or a symbolic link to one, at the moment of the call,
// or one that could not be looked at (entry.lookError set); or a folder below the starting one
// that could not be read (its path in entry.prefix, the errno in *error; the walk goes on past
// it); or a match named as a temporary archive is named, which is never packed; or the end.
// Fills entry in place, so a run reuses its strings' storage.
SearchStep nextSearchStep(DirectorySearch& search, SearchEntry& entry, int* error);

// Looks at an entry yielded unlooked at: true, with its size, time and identity filled in, when
// it is a regular file or a link to one, and true with lookError set when it cannot be looked
// at; false when it is gone or no file (a folder, a FIFO, a dangling link).
bool lookAtEntry(SearchEntry& entry);

// A time in the packed DOS form, local time, seconds halved. Times before 1980 give
// 1980-01-01 00:00:00 and times after 2107 give 2107-12-31 23:59:58, the form's limits.
std::uint32_t dosDateTime(std::time_t time);
