#include "driver/dir_search.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "test_folder.h"

namespace {

std::vector<std::string> namesFound(const std::string& mask) {
  DirectorySearch search;
  startSearch(search, AT_FDCWD, mask);
  std::vector<std::string> names;
  SearchEntry entry;
  while (nextSearchEntry(search, entry)) names.push_back(entry.name);
  return names;
}

using Names = std::vector<std::string>;

// Local time is UTC for the duration of one test, so DOS times can be written down.
class UtcTime {
 public:
  UtcTime() {
    if (const char* tz = std::getenv("TZ")) saved_ = tz, hadTz_ = true;
    setenv("TZ", "UTC0", 1);
    tzset();
  }
  ~UtcTime() {
    if (hadTz_) {
      setenv("TZ", saved_.c_str(), 1);
    } else {
      unsetenv("TZ");
    }
    tzset();
  }

 private:
  std::string saved_;
  bool hadTz_ = false;
};

constexpr std::uint32_t dos(int year, int month, int day, int hour, int minute, int second) {
  return static_cast<std::uint32_t>(((year - 1980) << 25) | (month << 21) | (day << 16) |
                                    (hour << 11) | (minute << 5) | (second / 2));
}

TEST(DosTime, LocalTimeHalvedSecondsAndTheFormsLimits) {
  UtcTime utc;
  EXPECT_EQ(dosDateTime(315532800), dos(1980, 1, 1, 0, 0, 0));
  EXPECT_EQ(dosDateTime(315532800), 0x00210000u);
  // 2024-02-29 13:45:59: the odd second is truncated to 58.
  EXPECT_EQ(dosDateTime(1709214359), dos(2024, 2, 29, 13, 45, 58));
  // 2107-12-31 23:59:59 is the last second the form holds (as :58).
  EXPECT_EQ(dosDateTime(4354819199), dos(2107, 12, 31, 23, 59, 58));

  const std::uint32_t first = dos(1980, 1, 1, 0, 0, 0);
  const std::uint32_t last = dos(2107, 12, 31, 23, 59, 58);
  EXPECT_EQ(dosDateTime(315532799), first);  // 1979-12-31 23:59:59
  EXPECT_EQ(dosDateTime(0), first);
  EXPECT_EQ(dosDateTime(-1000000000000), first);
  EXPECT_EQ(dosDateTime(4354819200), last);  // 2108-01-01 00:00:00
  // Beyond what localtime can express at all.
  EXPECT_EQ(dosDateTime(1000000000000000000), last);
  EXPECT_EQ(dosDateTime(-1000000000000000000), first);
}

TEST(DosTime, FollowsTheLocalTimeZone) {
  setenv("TZ", "UTC-2", 1);  // two hours east of UTC
  tzset();
  const std::uint32_t east = dosDateTime(1709214359);
  unsetenv("TZ");
  tzset();
  UtcTime utc;
  EXPECT_EQ(east, dos(2024, 2, 29, 15, 45, 58));
}

// Where nothing stood at a file's archive name when the archive folder was read, the decision
// takes the listing's word for it; anything else is looked at.
TEST(DirectorySearch, TellsWhichArchiveNamesTheListingShowsTaken) {
  TestFolder folder;
  ASSERT_EQ(mkdir("logs", 0755), 0);
  for (const char* name : {"a.txt", "b.txt", "c.txt", "c.log", "logs/a.txt", "logs/d.txt"}) {
    writeFile(name, "x");
  }
  writeFile("A.ZIP", "");       // a.txt's archive, but for letter case
  writeFile("logs/d.zip", "");  // not where d's archive goes without -R
  const auto mayExist = [](const std::string& mask, bool recursive) {
    DirectorySearch search;
    startSearch(search, AT_FDCWD, mask, recursive);
    std::vector<std::string> taken;
    SearchEntry entry;
    while (nextSearchEntry(search, entry)) {
      if (entry.archiveMayExist) taken.push_back(entry.prefix + entry.name);
    }
    return taken;
  };
  // c.txt and c.log share c.zip, which the first of them may have made by the second's turn.
  EXPECT_EQ(mayExist("*.*", false), (Names{"A.ZIP", "a.txt", "c.log", "c.txt"}));
  // A mask in another folder: its archives go to the working folder, read for them.
  EXPECT_EQ(mayExist("logs/*.txt", false), (Names{"a.txt"}));
  // With -R each archive goes beside its file.
  EXPECT_EQ(mayExist("*.txt", true), (Names{"a.txt", "logs/d.txt"}));
}

TEST(DirectorySearch, YieldsMatchesInByteOrderOfTheirNames) {
  TestFolder folder;
  for (const char* name : {"b.txt", "a.txt", "C.txt", "\xC3\xA9.txt", "a.txt.bak", "A.TXT", "~"}) {
    writeFile(name, "x");
  }
  EXPECT_EQ(namesFound("*.txt"), (Names{"C.txt", "a.txt", "b.txt", "\xC3\xA9.txt"}));
  EXPECT_EQ(namesFound("*"),
            (Names{"A.TXT", "C.txt", "a.txt", "a.txt.bak", "b.txt", "~", "\xC3\xA9.txt"}));
}

TEST(DirectorySearch, MatchesWithTheShellsWildcardsAndHiddenFilesAreIncluded) {
  TestFolder folder;
  for (const char* name : {".profile", "a1.log", "b2.log", "c3.log", "ab.log", "a.LOG", "*.log"}) {
    writeFile(name, "x");
  }
  EXPECT_EQ(namesFound("*"),
            (Names{"*.log", ".profile", "a.LOG", "a1.log", "ab.log", "b2.log", "c3.log"}));
  EXPECT_EQ(namesFound(".*"), (Names{".profile"}));
  EXPECT_EQ(namesFound("[ab]?.log"), (Names{"a1.log", "ab.log", "b2.log"}));
  EXPECT_EQ(namesFound("[!a]*.log"), (Names{"*.log", "b2.log", "c3.log"}));
  EXPECT_EQ(namesFound("?[[:digit:]].log"), (Names{"a1.log", "b2.log", "c3.log"}));
  EXPECT_EQ(namesFound("*.LOG"), (Names{"a.LOG"}));  // case-sensitive
  EXPECT_EQ(namesFound("\\*.log"), (Names{"*.log"}));
  EXPECT_EQ(namesFound("c3.log"), (Names{"c3.log"}));
  EXPECT_EQ(namesFound("nothing*"), Names{});
  EXPECT_EQ(namesFound(""), Names{});
}

TEST(DirectorySearch, YieldsOnlyRegularFilesAndLinksToThem) {
  TestFolder folder;
  writeFile("file.txt", "12345");
  ASSERT_EQ(mkdir("dir.txt", 0755), 0);
  ASSERT_EQ(mkfifo("fifo.txt", 0644), 0);
  const int unixSocket = socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::snprintf(address.sun_path, sizeof address.sun_path, "socket.txt");
  ASSERT_EQ(bind(unixSocket, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(symlink("file.txt", "link-file.txt"), 0);
  ASSERT_EQ(symlink("dir.txt", "link-dir.txt"), 0);
  ASSERT_EQ(symlink("missing", "link-dangling.txt"), 0);
  ASSERT_EQ(symlink("/dev/null", "link-device.txt"), 0);

  DirectorySearch search;
  startSearch(search, AT_FDCWD, "*.txt");
  SearchEntry entry;
  ASSERT_TRUE(nextSearchEntry(search, entry));
  EXPECT_EQ(entry.name, "file.txt");
  EXPECT_EQ(entry.size, 5u);
  ASSERT_TRUE(nextSearchEntry(search, entry));
  EXPECT_EQ(entry.name, "link-file.txt");
  EXPECT_EQ(entry.name, "link-file.txt");
  EXPECT_EQ(entry.size, 5u);  // the target's size
  EXPECT_FALSE(nextSearchEntry(search, entry));
  close(unixSocket);
}

TEST(DirectorySearch, ReadsTheFolderOnceAndChecksEachFileWhenItsTurnComes) {
  TestFolder folder;
  writeFile("a.txt", "a");
  writeFile("b.txt", "b");
  writeFile("c.txt", "c");
  DirectorySearch search;
  startSearch(search, AT_FDCWD, "*.txt");
  writeFile("aa.txt", "made during the run");  // e.g. an archive of this run: never met
  ASSERT_EQ(unlink("b.txt"), 0);
  ASSERT_EQ(unlink("c.txt"), 0);
  ASSERT_EQ(mkdir("c.txt", 0755), 0);
  SearchEntry entry;
  ASSERT_TRUE(nextSearchEntry(search, entry));
  EXPECT_EQ(entry.name, "a.txt");
  EXPECT_FALSE(nextSearchEntry(search, entry));
  EXPECT_FALSE(nextSearchEntry(search, entry));
}

TEST(DirectorySearch, MarksNamesThatShareAnArchiveName) {
  TestFolder folder;
  for (const char* name : {"a", "a.doc", "a.b.txt", "a.txt", "ab.txt", "b.txt", ".x", ".y"}) {
    writeFile(name, "x");
  }
  DirectorySearch search;
  startSearch(search, AT_FDCWD, "*");
  std::vector<std::string> sharing;
  SearchEntry entry;
  while (nextSearchEntry(search, entry)) {
    if (entry.sharesArchive) sharing.push_back(entry.name);
  }
  EXPECT_EQ(sharing, (Names{".x", ".y", "a", "a.doc", "a.txt"}));
}

TEST(DirectorySearch, AMaskWithAFolderPartReadsThatFolder) {
  TestFolder folder;
  ASSERT_EQ(mkdir("sub", 0755), 0);
  ASSERT_EQ(mkdir("sub/deeper", 0755), 0);
  writeFile("sub/one.txt", "1");
  writeFile("sub/deeper/two.txt", "22");
  writeFile("three.txt", "333");

  DirectorySearch search;
  startSearch(search, AT_FDCWD, "sub/*.txt");
  SearchEntry entry;
  ASSERT_TRUE(nextSearchEntry(search, entry));
  EXPECT_EQ(entry.name, "one.txt");
  EXPECT_FALSE(nextSearchEntry(search, entry));
  // The folder is held open: renamed during the run, it is still the one searched.
  startSearch(search, AT_FDCWD, "sub/*.txt");
  ASSERT_EQ(rename("sub", "moved"), 0);
  ASSERT_TRUE(nextSearchEntry(search, entry));
  EXPECT_EQ(entry.name, "one.txt");
  ASSERT_EQ(rename("moved", "sub"), 0);

  EXPECT_EQ(namesFound("sub/deeper/*"), (Names{"two.txt"}));
  EXPECT_EQ(namesFound("./sub//*"), (Names{"one.txt"}));
  const std::string absolute = folder.slashed() + "sub/deeper/t*";
  startSearch(search, AT_FDCWD, absolute);
  ASSERT_TRUE(nextSearchEntry(search, entry));
  EXPECT_EQ(entry.name, "two.txt");
  // The wildcards of the last component only: a folder part is taken literally.
  EXPECT_EQ(namesFound("s*/*.txt"), Names{});
  EXPECT_EQ(namesFound("sub/"), Names{});
}

TEST(DirectorySearch, AFolderThatCannotBeReadYieldsNothing) {
  TestFolder folder;
  writeFile("plain", "x");
  EXPECT_EQ(namesFound("missing/*"), Names{});
  EXPECT_EQ(namesFound("plain/*"), Names{});
  EXPECT_EQ(namesFound("/proc/self/fd/999999/*"), Names{});
  DirectorySearch search;
  startSearch(search, AT_FDCWD, "missing/*");
  EXPECT_EQ(search.error, ENOENT);
  startSearch(search, AT_FDCWD, "plain/*");
  EXPECT_EQ(search.error, ENOTDIR);
  startSearch(search, AT_FDCWD, "*");
  EXPECT_EQ(search.error, 0);
}

TEST(DirectorySearch, EachEntryCarriesItsSizeAndModificationTime) {
  UtcTime utc;
  TestFolder folder;
  writeFile("dated.txt", std::string(70000, 'x'));
  const timespec times[2] = {{1709214359, 0}, {1709214359, 0}};
  ASSERT_EQ(utimensat(AT_FDCWD, "dated.txt", times, 0), 0);
  writeFile("old.txt", "");
  const timespec old[2] = {{100, 0}, {100, 0}};
  ASSERT_EQ(utimensat(AT_FDCWD, "old.txt", old, 0), 0);

  DirectorySearch search;
  startSearch(search, AT_FDCWD, "*.txt");
  SearchEntry entry;
  ASSERT_TRUE(nextSearchEntry(search, entry));
  EXPECT_EQ(entry.size, 70000u);
  EXPECT_EQ(entry.time, dos(2024, 2, 29, 13, 45, 58));
  ASSERT_TRUE(nextSearchEntry(search, entry));
  EXPECT_EQ(entry.size, 0u);
  EXPECT_EQ(entry.time, dos(1980, 1, 1, 0, 0, 0));
}

}  // namespace

namespace {

std::vector<std::string> walk(const std::string& mask) {
  DirectorySearch search;
  startSearch(search, AT_FDCWD, mask, true);
  std::vector<std::string> paths;
  SearchEntry entry;
  int error = 0;
  for (SearchStep step; (step = nextSearchStep(search, entry, &error)) != SearchStep::End;) {
    paths.push_back(step == SearchStep::File ? entry.prefix + entry.name
                                             : "failed " + entry.prefix);
  }
  return paths;
}

TEST(DirectorySearch, AWalkTakesEachFoldersFilesBeforeItsSubfoldersDepthFirst) {
  TestFolder folder;
  for (const char* dir : {"b", "b/c", "a", ".h", "m.txt", "a/z"}) ASSERT_EQ(mkdir(dir, 0755), 0);
  for (const char* file : {"z.txt", "b/1.txt", "b/c/2.txt", "a/3.txt", "a/z/4.txt", ".h/5.txt",
                           "m.txt/6.txt", "a/x.log"}) {
    writeFile(file, file);
  }
  ASSERT_EQ(symlink("b", "link"), 0);  // never followed
  EXPECT_EQ(walk("*.txt"), (std::vector<std::string>{"z.txt", ".h/5.txt", "a/3.txt", "a/z/4.txt",
                                                     "b/1.txt", "b/c/2.txt", "m.txt/6.txt"}));
  // The mask's folder is the start, and what is shown is below it.
  EXPECT_EQ(walk("b/*"), (std::vector<std::string>{"1.txt", "c/2.txt"}));
  // Without -R the folder alone, as ever.
  EXPECT_EQ(namesFound("*.txt"), (Names{"z.txt"}));
}

}  // namespace
