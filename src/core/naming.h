#pragma once
// The naming rule: which archive a file goes into, and which names are this program's own
// temporary files. Pure functions of names.

#include <cstdint>
#include <string>
#include <string_view>

// A mask cut at its last '/': the folder its names are searched in ("dir/", or "." for the
// current one) and the pattern they must match ("*.log").
struct MaskParts {
  std::string folder;
  std::string pattern;
};
MaskParts splitMask(std::string_view mask);

// "<base name>.zip": the archive a file of this name goes into.
std::string archiveNameOf(std::string_view name);

// True for a name that ends in ".zip" in any case: such a file is an archive already.
bool isZipName(std::string_view name);

// ".<archiveName>.<8 random letters and digits>", the archive name cut so the whole stays
// within NAME_MAX.
std::string tempArchiveName(std::string_view archiveName, std::uint64_t random);
// True for a name tempArchiveName can give: never packed, whoever wrote it.
bool isTempArchiveName(std::string_view name);

// The archive name with ASCII letters folded: two names with one key may be one file on a file
// system that ignores case, so they are never written side by side.
std::string namesakeKey(std::string_view archiveName);
