#include <gtest/gtest.h>

#include "common/paths.h"
#include "common/text.h"

namespace tarnel {
namespace {

TEST(Text, TrimRemovesCWhiteSpaceOnly) {
  EXPECT_EQ(Trim(" \t\r\n\v\fabc \t"), "abc");
  EXPECT_EQ(Trim("   "), "");
  EXPECT_EQ(Trim("a b"), "a b");
}

TEST(Text, CaseFoldingIsAsciiOnly) {
  EXPECT_TRUE(EqualsNoCase("NAND_128M", "nand_128m"));
  EXPECT_FALSE(EqualsNoCase("\xC3\xA9", "\xC3\x89"));  // é / É differ beyond ASCII
  EXPECT_TRUE(StartsWithNoCase("Yes", "y"));
}

TEST(Text, LeadingNumbersStopAtFirstNonDigit) {
  EXPECT_EQ(LeadingInteger("  -4K"), -4);
  EXPECT_EQ(LeadingInteger("0x800"), 0);
  EXPECT_EQ(LeadingInteger("abc"), 0);
  EXPECT_EQ(LeadingInteger("99999999999999999999999"), std::numeric_limits<long long>::max());
  EXPECT_EQ(LeadingHex("0002"), 2u);
  EXPECT_EQ(LeadingHex("fZ"), 15u);
  EXPECT_EQ(LeadingHex("zz"), 0u);
}

TEST(Paths, FolderAndNameParts) {
  EXPECT_EQ(FolderPart("/a/b/c.img"), "/a/b/");
  EXPECT_EQ(FolderPart("c.img"), "");
  EXPECT_EQ(AfterLastSep("/a/b/c.img"), "c.img");
  EXPECT_EQ(BareFileName("D:\\img\\system.img"), "system.img");
  EXPECT_EQ(BareFileName("/x/y.img"), "y.img");
  EXPECT_EQ(WithTrailingSep("/out"), "/out/");
  EXPECT_EQ(WithTrailingSep("/"), "/");
}

}  // namespace
}  // namespace tarnel
