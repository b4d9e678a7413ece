#include "driver/verify.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>
#include <zlib.h>

#include <cerrno>
#include <functional>
#include <string>

#include "core/naming.h"
#include "driver/archive.h"
#include "driver/dir_search.h"
#include "test_folder.h"

namespace {

std::string logText(std::size_t size) {
  std::string text;
  for (int line = 0; text.size() < size; ++line) {
    text += "2026-12-07 10:00:" + std::to_string(line % 60) + " request " + std::to_string(line) +
            " served\n";
  }
  text.resize(size);
  return text;
}

std::uint32_t little32(const std::string& bytes, std::size_t at) {
  return static_cast<std::uint8_t>(bytes[at]) | (static_cast<std::uint8_t>(bytes[at + 1]) << 8) |
         (static_cast<std::uint8_t>(bytes[at + 2]) << 16) |
         (static_cast<std::uint32_t>(static_cast<std::uint8_t>(bytes[at + 3])) << 24);
}

class Verify : public ::testing::Test {
 protected:
  // Packs data as name with the program's own code; the archive's bytes.
  std::string pack(const std::string& name, const std::string& data, int level) {
    writeFile(name, data);
    unlink(archiveNameOf(name).c_str());
    BatchRun run;
    openWorkDir(run);
    run.options.compressionLevel = level;
    Packer packer;
    DirectorySearch search;
    startSearch(search, run.workDir.get(), name);
    SearchEntry entry;
    EXPECT_TRUE(nextSearchEntry(search, entry));
    EXPECT_TRUE(archiveOneFile(run, packer, entry).zipped());
    return readFile(archiveNameOf(name));
  }

  // The archive written as `archive`, and read back as one of writtenSize bytes.
  int verify(const std::string& archive, std::size_t writtenSize, const std::string& name,
             const std::string& data, int method) {
    writeFile("check.zip", archive);
    const ExpectedEntry expected{
        name, method, data.size(),
        crc32(0, reinterpret_cast<const Bytef*>(data.data()), static_cast<uInt>(data.size()))};
    return reader_.verify(AT_FDCWD, "check.zip", writtenSize, expected);
  }

  ArchiveReader reader_;
  TestFolder folder_;
};

TEST_F(Verify, ASoundArchiveReadsBackAndEveryKindOfDamageIsCaught) {
  // Stored, it is larger than what is read back in one go; deflated, smaller.
  const std::string data = logText(300000);
  for (const int level : {0, 1, 6}) {
    SCOPED_TRACE(level);
    const std::string good = pack("app.log", data, level);
    const int method = level == 0 ? 0 : 8;
    const auto verify = [&](const std::string& archive, const std::string& name,
                            const std::string& content, int how) {
      return this->verify(archive, good.size(), name, content, how);
    };
    ASSERT_EQ(verify(good, "app.log", data, method), 0);
    const std::size_t central = little32(good, good.size() - 6);
    const std::size_t dataEnd = central;
    const std::vector<std::pair<const char*, std::function<std::string(std::string)>>> damages = {
        {"a flipped byte in the data",
         [](std::string bytes) { return (bytes[bytes.size() / 3] ^= 0x10, bytes); }},
        {"the deflate stream cut before its end (the last chunk left unfinished)",
         [&](std::string bytes) { return bytes.erase(dataEnd - 3, 3), bytes; }},
        {"a byte after the archive", [](std::string bytes) { return bytes + '\0'; }},
        {"a wrong CRC in the central directory",
         [&](std::string bytes) { return (bytes[central + 16] ^= 1, bytes); }},
        {"a local header that differs", [](std::string bytes) { return (bytes[6] ^= 1, bytes); }},
        {"no end record", [](std::string bytes) { return bytes.substr(0, bytes.size() - 22); }},
    };
    for (const auto& [what, damage] : damages) {
      SCOPED_TRACE(what);
      EXPECT_EQ(verify(damage(good), "app.log", data, method), EBADMSG);
    }
    // The archive of other data, another name or another method is no archive of this file.
    EXPECT_EQ(verify(good, "app.log", data + "x", method), EBADMSG);
    EXPECT_EQ(verify(good, "other.log", data, method), EBADMSG);
    EXPECT_EQ(verify(good, "app.log", data, 8 - method), EBADMSG);
  }
}

TEST_F(Verify, OverwriteSeesWhatStandsAtTheArchiveName) {
  const std::string archive = pack("a.txt", "the data of a.txt", 6);
  const auto holds = [](const std::string& bytes, std::string_view name) {
    writeFile("there.zip", bytes);
    const int fd = open("there.zip", O_RDONLY);
    int error = 0;
    const ArchiveHolds result = archiveHolds(fd, name, &error);
    close(fd);
    EXPECT_EQ(error, 0);
    return result;
  };
  EXPECT_EQ(holds(archive, "a.txt"), ArchiveHolds::OnlyThisFile);
  EXPECT_EQ(holds(archive, "a.log"), ArchiveHolds::OtherEntries);
  EXPECT_EQ(holds(archive, "A.txt"), ArchiveHolds::OtherEntries);
  // A comment after the end record, as other writers leave one, is still this file's archive.
  std::string commented = archive;
  commented[commented.size() - 2] = 5;
  EXPECT_EQ(holds(commented + "hello", "a.txt"), ArchiveHolds::OnlyThisFile);
  EXPECT_EQ(holds("plain text, no archive", "a.txt"), ArchiveHolds::NotAZip);
  EXPECT_EQ(holds("", "a.txt"), ArchiveHolds::NotAZip);
  // An empty archive: an end record alone.
  EXPECT_EQ(holds(std::string("PK\x05\x06", 4) + std::string(18, '\0'), "a.txt"),
            ArchiveHolds::OtherEntries);
}

}  // namespace
