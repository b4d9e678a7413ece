#include "core/naming.h"

#include <gtest/gtest.h>
#include <limits.h>

#include <string>
#include <string_view>

namespace {

TEST(ArchiveName, TakesTheNameUpToItsLastDotOnly) {
  EXPECT_EQ(archiveNameOf("report.txt"), "report.zip");
  EXPECT_EQ(archiveNameOf("a.tar.gz"), "a.tar.zip");
  EXPECT_EQ(archiveNameOf("README"), "README.zip");
  EXPECT_EQ(archiveNameOf(".profile"), ".zip");
  EXPECT_EQ(archiveNameOf("name."), "name.zip");
  // ':' and '\' are ordinary characters in a Linux name.
  EXPECT_EQ(archiveNameOf("c:dir\\x.y"), "c:dir\\x.zip");
  EXPECT_EQ(archiveNameOf("v1.2\\notes"), "v1.zip");
}

TEST(TempArchiveName, HiddenBesideTheArchiveWithinNameMaxAndRecognised) {
  const std::string name = tempArchiveName("report.zip", 123456789);
  EXPECT_EQ(name.rfind(".report.zip.", 0), 0u);
  EXPECT_EQ(name.size(), 20u);
  EXPECT_NE(name, tempArchiveName("report.zip", 987654321));
  EXPECT_TRUE(isTempArchiveName(name));
  const std::string longName = tempArchiveName(std::string(251, 'x') + ".zip", 1);
  EXPECT_EQ(longName.size(), static_cast<std::size_t>(NAME_MAX));
  EXPECT_EQ(longName[0], '.');
  EXPECT_TRUE(isTempArchiveName(longName));
  // Names a user may well have are packed as ever.
  for (const char* other :
       {".report.zip", ".report.zip.bak", "report.zip.AbCd1234", ".report.txt.AbCd1234",
        ".report.zip.AbCd-234", ".zip.AbCd1234", ".a.ZIP.AbCd1234"}) {
    EXPECT_FALSE(isTempArchiveName(other)) << other;
  }
}

TEST(Namesakes, ArchiveNamesThatDifferOnlyInCaseShareAKey) {
  EXPECT_EQ(namesakeKey(archiveNameOf("Report.txt")), namesakeKey(archiveNameOf("report.log")));
  EXPECT_NE(namesakeKey(archiveNameOf("report.txt")), namesakeKey(archiveNameOf("reports.txt")));
  EXPECT_EQ(archiveNameOf("a.tar.gz"), "a.tar.zip");
  EXPECT_EQ(archiveNameOf("README"), "README.zip");
  EXPECT_EQ(archiveNameOf(".profile"), ".zip");
  EXPECT_TRUE(isZipName("DATA.Zip"));
  EXPECT_FALSE(isZipName("data.zip.txt"));
}

}  // namespace
