#include "core/naming.h"

#include <limits.h>

namespace {

constexpr std::size_t kTempSuffix = 8;

bool isLetterOrDigit(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}

char foldCase(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

}  // namespace

MaskParts splitMask(std::string_view mask) {
  const std::size_t slash = mask.rfind('/');
  if (slash == std::string_view::npos) return {".", std::string(mask)};
  return {std::string(mask.substr(0, slash + 1)), std::string(mask.substr(slash + 1))};
}

std::string archiveNameOf(std::string_view name) {
  std::string archive(name.substr(0, name.rfind('.')));
  archive += ".zip";
  return archive;
}

bool isZipName(std::string_view name) {
  const std::size_t dot = name.rfind('.');
  return dot != std::string_view::npos && namesakeKey(name.substr(dot)) == ".zip";
}

std::string tempArchiveName(std::string_view archiveName, std::uint64_t random) {
  static constexpr char kLetters[] =
      "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
  const std::size_t room = NAME_MAX - 2 - kTempSuffix;
  std::string name = ".";
  name.append(archiveName.substr(0, room));
  name += '.';
  for (std::size_t i = 0; i < kTempSuffix; ++i) {
    name += kLetters[random % 62];
    random /= 62;
  }
  return name;
}

bool isTempArchiveName(std::string_view name) {
  // "." + at least one byte of the archive name + "." + the suffix.
  if (name.size() < kTempSuffix + 3 || name.size() > NAME_MAX || name[0] != '.') return false;
  const std::size_t dot = name.size() - kTempSuffix - 1;
  if (name[dot] != '.') return false;
  for (std::size_t i = dot + 1; i < name.size(); ++i) {
    if (!isLetterOrDigit(name[i])) return false;
  }
  // An archive name always ends in ".zip", unless it was cut to fit.
  const std::string_view archive = name.substr(1, dot - 1);
  return name.size() == NAME_MAX ||
         (archive.size() > 4 && archive.substr(archive.size() - 4) == ".zip");
}

std::string namesakeKey(std::string_view archiveName) {
  std::string key(archiveName);
  for (char& c : key) c = foldCase(c);
  return key;
}
