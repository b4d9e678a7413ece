#include "core/text.h"

#include <gtest/gtest.h>

namespace {

TEST(Utf8Flag, OnlyForNonAsciiNamesThatAreStrictlyValidUtf8) {
  EXPECT_FALSE(needsUtf8Flag("report.txt"));
  EXPECT_FALSE(needsUtf8Flag(""));
  EXPECT_TRUE(needsUtf8Flag("caf\xC3\xA9.txt"));       // é
  EXPECT_TRUE(needsUtf8Flag("\xE2\x82\xAC"));          // €
  EXPECT_TRUE(needsUtf8Flag("\xF0\x9F\x98\x80.png"));  // U+1F600
  EXPECT_TRUE(needsUtf8Flag("\xF4\x8F\xBF\xBF"));      // U+10FFFF
  EXPECT_FALSE(needsUtf8Flag("caf\xE9.txt"));          // Latin-1
  EXPECT_FALSE(needsUtf8Flag("\xC0\xAF"));             // overlong '/'
  EXPECT_FALSE(needsUtf8Flag("\xE0\x80\xAF"));         // overlong, three bytes
  EXPECT_FALSE(needsUtf8Flag("\xF0\x82\x82\xAC"));     // overlong, four bytes
  EXPECT_FALSE(needsUtf8Flag("\xED\xA0\x80"));         // surrogate D800
  EXPECT_FALSE(needsUtf8Flag("\xF4\x90\x80\x80"));     // above U+10FFFF
  EXPECT_FALSE(needsUtf8Flag("\xC3"));                 // cut short
  EXPECT_FALSE(needsUtf8Flag("\xE2\x82"));
  EXPECT_FALSE(needsUtf8Flag("\xA9"));          // a lone continuation byte
  EXPECT_FALSE(needsUtf8Flag("\xC3\xA9\xFF"));  // good, then a bad byte
}

TEST(EscapedName, OneNameIsOneLineWhateverBytesItHolds) {
  EXPECT_EQ(escapedName("report.txt"), "report.txt");
  EXPECT_EQ(escapedName("caf\xC3\xA9 \xE2\x82\xAC.txt"), "caf\xC3\xA9 \xE2\x82\xAC.txt");
  EXPECT_EQ(escapedName("new\nline\ttab\r"), "new\\nline\\ttab\\r");
  EXPECT_EQ(escapedName("back\\slash"), "back\\\\slash");
  EXPECT_EQ(escapedName(std::string("nul\0esc\x1b del\x7f", 13)), "nul\\x00esc\\x1b del\\x7f");
  EXPECT_EQ(escapedName("latin1 \xE9"), "latin1 \\xe9");
  EXPECT_EQ(escapedName("\xC3"), "\\xc3");           // cut short
  EXPECT_EQ(escapedName("\xC0\xAF"), "\\xc0\\xaf");  // overlong
  EXPECT_EQ(escapedName("\xC2\x9B"
                        "2J"),
            "\\xc2\\x9b2J");  // a C1 control, CSI
}

TEST(ReportName, EveryLineReadsOneWay) {
  EXPECT_EQ(reportName("plain name.txt"), "plain name.txt");
  EXPECT_EQ(reportName("a -> b.log"), "\"a -> b.log\"");
  EXPECT_EQ(reportName("time: 10.log"), "\"time: 10.log\"");
  EXPECT_EQ(reportName(" lead.log"), "\" lead.log\"");
  EXPECT_EQ(reportName("trail.log "), "\"trail.log \"");
  EXPECT_EQ(reportName("\"q\".log"), "\"\\\"q\\\".log\"");
  EXPECT_EQ(reportName("say \"hi\".log"), "say \"hi\".log");  // a quote inside needs none
  EXPECT_EQ(reportName("new\nline: x"), "\"new\\nline: x\"");
}

TEST(JsonString, ValidUtf8AsJsonOtherBytesAsTheReportWritesThem) {
  EXPECT_EQ(jsonString("caf\xC3\xA9.txt"), "\"caf\xC3\xA9.txt\"");
  EXPECT_EQ(jsonString("q\"b\\n\nt\t"), "\"q\\\"b\\\\n\\nt\\t\"");
  EXPECT_EQ(jsonString(std::string("nul\0\x1b\x7f", 6)), "\"nul\\u0000\\u001b\\u007f\"");
  EXPECT_EQ(jsonString("latin1 \xE9"), "\"latin1 \\\\xe9\"");
  EXPECT_EQ(jsonString("\xE2\x80\xA8"), "\"\\u2028\"");
}

}  // namespace
