// The plainest loop of minizip calls that packs files one archive each, each entry written as a
// Unix host writes it (version made by 3, the mode in the external attributes, the times in UTC
// and the owner in extra fields): the yardstick for the batch run's own cost in bench/run, and
// the reference whose archives the whole-program tests compare byte for byte.
//
//   plain_minizip LEVEL PATH...
//
// LEVEL is -1 (zlib's default), 0 (stored) or 1-9. A PATH that names a folder stands for every
// regular file in it. Each file goes into <its base name>.zip in the current folder.

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zip.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

namespace {

unsigned long dosTime(time_t time) {
  tm local{};
  localtime_r(&time, &local);
  return (static_cast<unsigned long>(local.tm_year - 80) << 25) |
         (static_cast<unsigned long>(local.tm_mon + 1) << 21) |
         (static_cast<unsigned long>(local.tm_mday) << 16) |
         (static_cast<unsigned long>(local.tm_hour) << 11) |
         (static_cast<unsigned long>(local.tm_min) << 5) | (local.tm_sec / 2);
}

bool pack(const std::string& path, int level, unsigned char* buffer) {
  struct stat status;
  const int source = open(path.c_str(), O_RDONLY);
  if (source < 0 || fstat(source, &status) != 0) return false;
  const std::size_t slash = path.rfind('/');
  const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  const std::size_t dot = name.rfind('.');
  const std::string archivePath = (dot == std::string::npos ? name : name.substr(0, dot)) + ".zip";

  zipFile archive = zipOpen(archivePath.c_str(), APPEND_STATUS_CREATE);
  if (archive == nullptr) {
    close(source);
    return false;
  }
  zip_fileinfo info{};
  info.dosDate = dosTime(status.st_mtime);
  info.external_fa = (static_cast<uLong>(status.st_mode) << 16) | ((status.st_mode & 0200) ? 0 : 1);
  const auto mtime = static_cast<std::uint32_t>(status.st_mtime);
  const auto atime = static_cast<std::uint32_t>(status.st_atime);
  const auto uid = static_cast<std::uint32_t>(status.st_uid);
  const auto gid = static_cast<std::uint32_t>(status.st_gid);
  std::vector<unsigned char> local, central;
  const auto put = [](std::vector<unsigned char>& out, std::uint32_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) out.push_back(static_cast<unsigned char>(value >> (8 * i)));
  };
  put(local, 0x5455, 2), put(local, 9, 2), put(local, 3, 1), put(local, mtime, 4);
  put(local, atime, 4);
  put(central, 0x5455, 2), put(central, 5, 2), put(central, 3, 1), put(central, mtime, 4);
  for (auto* extra : {&local, &central}) {
    put(*extra, 0x7875, 2), put(*extra, 11, 2), put(*extra, 1, 1), put(*extra, 4, 1);
    put(*extra, uid, 4), put(*extra, 4, 1), put(*extra, gid, 4);
  }
  // Non-ASCII names are assumed to be UTF-8 here.
  const bool ascii = std::all_of(name.begin(), name.end(), [](char c) { return c >= 0; });
  int result = zipOpenNewFileInZip4_64(
      archive, name.c_str(), &info, local.data(), static_cast<uInt>(local.size()), central.data(),
      static_cast<uInt>(central.size()), nullptr, level == 0 ? 0 : Z_DEFLATED, level, 0, -MAX_WBITS,
      DEF_MEM_LEVEL, Z_DEFAULT_STRATEGY, nullptr, 0, 3 << 8, ascii ? 0 : 0x800, 0);
  ssize_t got;
  while (result == ZIP_OK && (got = read(source, buffer, 16384)) > 0) {
    result = zipWriteInFileInZip(archive, buffer, static_cast<unsigned>(got));
  }
  if (result == ZIP_OK) result = zipCloseFileInZip(archive);
  const int closed = zipClose(archive, nullptr);
  close(source);
  return result == ZIP_OK && closed == ZIP_OK;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: plain_minizip LEVEL PATH...\n");
    return 1;
  }
  const int level = std::atoi(argv[1]);
  std::vector<std::string> files;
  for (int i = 2; i < argc; ++i) {
    const std::string path = argv[i];
    DIR* folder = opendir(path.c_str());
    if (folder == nullptr) {
      files.push_back(path);
      continue;
    }
    const std::size_t first = files.size();
    while (const dirent* item = readdir(folder)) {
      if (item->d_type == DT_REG) files.push_back(path + "/" + item->d_name);
    }
    closedir(folder);
    std::sort(files.begin() + static_cast<std::ptrdiff_t>(first), files.end());
  }
  unsigned char buffer[16384];
  int failures = 0;
  for (const std::string& file : files) {
    if (!pack(file, level, buffer)) ++failures;
  }
  return failures == 0 ? 0 : 2;
}
