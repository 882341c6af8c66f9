#include "config/burn_config.h"

#include <gtest/gtest.h>

#include "support/test_support.h"

namespace tarnel {
namespace {

using test::TempFolder;
using test::WriteText;

TEST(BurnConfig, MemoryIsReadFromItsSection) {
  const struct {
    const char* name;
    const char* text;
    int32_t expected;
  } cases[] = {
      {"plain", "[BurnConfig]\nMemory=512\n", 512},
      {"CRLF and blanks", "\xEF\xBB\xBF ; heap for signapk\r\n  [ burnconfig ]  \r\n\r\n  memory  =  768  \r\n", 768},
      {"other keys and sections first", "[Other]\nMemory=64\n[BurnConfig]\nJava=1\n# note\nMemory=1024\n", 1024},
      {"quoted", "[BurnConfig]\nMemory=\"256\"\n", 256},
      {"unit after the number", "[BurnConfig]\nMemory=384MB\n", 384},
      {"no final line end", "[BurnConfig]\nMemory=128", 128},
      {"not a number", "[BurnConfig]\nMemory=lots\n", 0},
      {"too large", "[BurnConfig]\nMemory=99999999999\n", 2147483647},
      {"first of two keys", "[BurnConfig]\nMemory=100\nMemory=200\n", 100},
      {"only the first section of that name", "[BurnConfig]\nOther=1\n[BurnConfig]\nMemory=300\n", 1},
      {"key in another section", "[Settings]\nMemory=512\n", 1},
      {"no section", "Memory=512\n", 1},
      {"no key", "[BurnConfig]\nHeap=512\n", 1},
      {"empty file", "", 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TempFolder home;
    WriteText(home / kBurnConfigName, c.text);
    EXPECT_EQ(ReadJavaMemory(home.Path()), c.expected);
  }
}

TEST(BurnConfig, MissingFileGivesOne) {
  TempFolder home;
  EXPECT_EQ(ReadJavaMemory(home.Path()), 1);
  // A folder of that name is no file either.
  ASSERT_EQ(test::RunShell("mkdir " + test::ShellQuote(home / kBurnConfigName)), 0);
  EXPECT_EQ(ReadJavaMemory(home.Path()), 1);
}

TEST(BurnConfig, ProgramFolderWithoutTrailingSeparator) {
  TempFolder home;
  WriteText(home / kBurnConfigName, "[BurnConfig]\nMemory=640\n");
  std::string folder = home.Path();
  folder.pop_back();
  EXPECT_EQ(ReadJavaMemory(folder), 640);
}

TEST(BurnConfig, TheBuiltProgramFolderGivesJava512Megabytes) {
  EXPECT_EQ(ReadJavaMemory(std::string(TARNEL_HOME_DIR) + "/"), 512);
}

}  // namespace
}  // namespace tarnel
