#include "config/flash_config.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <set>

#include "cli/demo.h"
#include "pipeline/make_driver.h"
#include "support/test_support.h"
#include "config/messages.h"

namespace tarnel {
namespace {

using test::TempFolder;
using test::WriteText;

TEST(FlashSize, SuffixesAndPlainNumbers) {
  const struct {
    const char* text;
    int32_t expected;
  } cases[] = {
      {"2048", 2048},
      {"2K", 2048},
      {"2k", 2048},
      {"2KB", 2048},
      {"  128K \t", 131072},
      {"1M", 1048576},
      {"1mb", 1048576},
      {"1KM", 1 << 30},
      {"1MK", 1 << 30},  // the letters count wherever they stand
      {"K2", 0},         // no leading digits
      {"0x800", 0},      // no hexadecimal: "0", then a letter that is no suffix
      {"", 0},
      {"abc", 0},
      {"+16K", 16384},
  };
  for (const auto& c : cases) EXPECT_EQ(ParseFlashSize(c.text), c.expected) << '"' << c.text << '"';
}

TEST(FlashSize, NegativeAndOversizedValuesStayDefined) {
  EXPECT_EQ(ParseFlashSize("-4K"), -4096);
  EXPECT_EQ(ParseFlashSize("-1"), -1);
  // The leading number is held to the 32-bit range...
  EXPECT_EQ(ParseFlashSize("99999999999"), std::numeric_limits<int32_t>::max());
  EXPECT_EQ(ParseFlashSize("-99999999999"), std::numeric_limits<int32_t>::min());
  // ...and the shifts keep the low 32 bits of the pattern.
  EXPECT_EQ(ParseFlashSize("99999999999K"), -1024);  // 0x7FFFFFFF << 10 = 0xFFFFFC00
  EXPECT_EQ(ParseFlashSize("4194304K"), 0);          // 2^22 << 10 = 2^32
  EXPECT_EQ(ParseFlashSize("2KM"), std::numeric_limits<int32_t>::min());
  EXPECT_EQ(ParseFlashSize("4096M"), 0);
}

TEST(FlashSize, PlainIntegerHasNoSuffixes) {
  EXPECT_EQ(ParseFlashInteger(" 24 "), 24);
  EXPECT_EQ(ParseFlashInteger("4K"), 4);
  EXPECT_EQ(ParseFlashInteger("0x18"), 0);
  EXPECT_EQ(ParseFlashInteger("-8"), -8);
  EXPECT_EQ(ParseFlashInteger("99999999999"), std::numeric_limits<int32_t>::max());
  EXPECT_EQ(ParseFlashInteger("ecc"), 0);
}

class FlashConfigFile : public ::testing::Test {
 protected:
  std::string Write(const std::string& xml) {
    const std::string path = dir_ / "FlashConfig.xml";
    WriteText(path, xml);
    return path;
  }
  // Loads and returns the messages shown.
  std::vector<std::string> Load(const std::string& path) {
    RecordingReporter reporter;
    loaded_ = LoadFlashConfig(table_, reporter, path);
    return reporter.Messages();
  }

  TempFolder dir_;
  FlashTable table_;
  bool loaded_ = false;
};

TEST_F(FlashConfigFile, AttributesAreTakenByPositionWhateverTheirNames) {
  const std::string path = Write(
      "<?xml version=\"1.0\"?>\n"
      "<!-- devices -->\n"
      "<Devices>\n"
      "  <Chip z=\"NAND_128M\" y=\"Nand\" x=\" 2K \" w=\"128k\" v=\" 4 \" extra=\"ignored\"/>\n"
      "  text between entries\n"
      "  <!-- a comment -->\n"
      "  <Other EccType=\"24\" BlockSize=\"256K\" PageSize=\"4K\" Type=\"Nand\" Name=\"swapped\"/>\n"
      "  <Two a=\" Spaced Name \" b=\"Spi\"/>\n"
      "  <Bare/>\n"
      "  <Esc n=\"A&amp;B &#x4E2D;\" t=\"eMMC\" p=\"512\" b=\"512K\" e=\"0\"/>\n"
      "</Devices>\n");
  EXPECT_TRUE(Load(path).empty());
  EXPECT_TRUE(loaded_);
  ASSERT_EQ(table_.size(), 5u);
  EXPECT_EQ(table_[0].strFlashName, "NAND_128M");
  EXPECT_EQ(table_[0].strFlashType, "Nand");
  EXPECT_EQ(table_[0].nPageSize, 2048);
  EXPECT_EQ(table_[0].nBlockSize, 131072);
  EXPECT_EQ(table_[0].nEccType, 4);
  // Names do not matter: the first attribute is the flash name.
  EXPECT_EQ(table_[1].strFlashName, "24");
  EXPECT_EQ(table_[1].strFlashType, "256K");
  EXPECT_EQ(table_[1].nPageSize, 4096);  // "4K"
  EXPECT_EQ(table_[1].nBlockSize, 0);    // "Nand"
  EXPECT_EQ(table_[1].nEccType, 0);      // "swapped"
  // Texts are kept untrimmed; missing numbers are 0.
  EXPECT_EQ(table_[2].strFlashName, " Spaced Name ");
  EXPECT_EQ(table_[2].nPageSize, 0);
  EXPECT_EQ(table_[2].nBlockSize, 0);
  EXPECT_EQ(table_[2].nEccType, 0);
  // An entry without attributes still makes a record.
  EXPECT_EQ(table_[3].strFlashName, "");
  EXPECT_EQ(table_[3].strFlashType, "");
  EXPECT_EQ(table_[4].strFlashName, "A&B \xE4\xB8\xAD");  // entities decoded, text in UTF-8
}

TEST_F(FlashConfigFile, LookupIgnoresCaseAndFindsTheFirstOfTwoEqualNames) {
  const std::string path = Write(
      "<FlashConfigs>"
      "<F n=\"NAND_128M\" t=\"Nand\" p=\"2K\" b=\"128K\" e=\"4\"/>"
      "<F n=\"nand_128m\" t=\"Nand\" p=\"4K\" b=\"256K\" e=\"8\"/>"
      "</FlashConfigs>");
  (void)Load(path);
  const tagFlashData* found = FindFlash(table_, "Nand_128M");
  ASSERT_NE(found, nullptr);
  EXPECT_EQ(found->nPageSize, 2048);
  EXPECT_EQ(FindFlash(table_, "NAND_128"), nullptr);
  // Both appear as options, in file order.
  EXPECT_EQ(FillFlashNameList(path), (std::vector<std::string>{"NAND_128M", "nand_128m"}));
}

TEST_F(FlashConfigFile, OptionListNeedsTheRootNameAndSkipsEntriesWithoutAttributes) {
  const std::string good = Write("<FlashConfigs><F a=\"B\"/><F/><F a=\"A\" b=\"x\"/></FlashConfigs>");
  EXPECT_EQ(FillFlashNameList(good), (std::vector<std::string>{"B", "A"}));
  const std::string otherRoot = Write("<flashconfigs><F a=\"B\"/></flashconfigs>");
  EXPECT_TRUE(FillFlashNameList(otherRoot).empty());
  // LoadFlashConfig does not look at the root's name.
  (void)Load(otherRoot);
  ASSERT_EQ(table_.size(), 1u);
  EXPECT_EQ(table_[0].strFlashName, "B");
}

TEST_F(FlashConfigFile, UnreadableFilesLeaveTheTableEmptyWithOneMessage) {
  const std::string cut =
      "<?xml version=\"1.0\"?>\n<FlashConfigs>\n  <F a=\"NAND\" b=\"Nand\" c=\"2K\" d=\"128K\" e=\"4\"/>\n  <F a=\"SP";
  const struct {
    const char* name;
    std::string content;
    bool write;
  } cases[] = {
      {"missing file", "", false},
      {"empty file", "", true},
      {"blank file", "  \r\n", true},
      {"malformed", "<FlashConfigs><F a=\"1\"></FlashConfigs>", true},
      {"cut in the middle", cut, true},
      {"unquoted attribute", "<FlashConfigs><F a=1/></FlashConfigs>", true},
      {"binary", std::string("\x00\x01\xFF<", 4), true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    table_.clear();
    const std::string path = dir_ / (std::string(c.name) + ".xml");
    if (c.write) WriteText(path, c.content);
    EXPECT_EQ(Load(path), std::vector<std::string>{kMsgLoadFlashConfigFailed});
    EXPECT_FALSE(loaded_);
    EXPECT_TRUE(table_.empty());
    EXPECT_TRUE(FillFlashNameList(path).empty());
  }
  // A folder is no file.
  EXPECT_EQ(Load(dir_.Path()), std::vector<std::string>{kMsgLoadFlashConfigFailed});
}

TEST_F(FlashConfigFile, WellFormedFileWithoutElementsHasNoData) {
  EXPECT_EQ(Load(Write("<?xml version=\"1.0\"?>\n<!-- nothing here -->\n")),
            std::vector<std::string>{kMsgReadFlashConfigFailed});
  EXPECT_TRUE(table_.empty());
  // A root without entries is no error.
  EXPECT_TRUE(Load(Write("<FlashConfigs>\n</FlashConfigs>")).empty());
  EXPECT_TRUE(loaded_);
  EXPECT_TRUE(table_.empty());
}

TEST_F(FlashConfigFile, NamesInTheChineseCodePageAreDecoded) {
  // "闪存" (flash memory) in GB2312 is C9 C1 B4 E6.
  const std::string path = Write(
      "<?xml version=\"1.0\" encoding=\"GB2312\"?>\n"
      "<FlashConfigs><F n=\"\xC9\xC1\xB4\xE6_2K\" t=\"Nand\" p=\"2K\" b=\"128K\" e=\"4\"/></FlashConfigs>");
  (void)Load(path);
  ASSERT_EQ(table_.size(), 1u);
  EXPECT_EQ(table_[0].strFlashName, "\xE9\x97\xAA\xE5\xAD\x98_2K");
  EXPECT_EQ(FillFlashNameList(path), std::vector<std::string>{"\xE9\x97\xAA\xE5\xAD\x98_2K"});
}

TEST(FlashConfigPath, IsTheConfigFolderOfTheProgramFolder) {
  EXPECT_EQ(FlashConfigPath("/opt/tarnel/"), "/opt/tarnel/Config/FlashConfig.xml");
}

// The sample layout the build puts into the program folder: every NAND entry
// must have a geometry the Make run knows, and the demo's flash names exist.
TEST(SampleFlashConfig, EveryEntryIsUsable) {
  const std::string path = FlashConfigPath(std::string(TARNEL_HOME_DIR) + "/");
  FlashTable table;
  RecordingReporter reporter;
  ASSERT_TRUE(LoadFlashConfig(table, reporter, path)) << path;
  EXPECT_EQ(FillFlashNameList(path).size(), table.size());
  std::set<int32_t> nandPages;
  std::set<std::string> types;
  std::set<std::string> names;
  for (const tagFlashData& entry : table) {
    SCOPED_TRACE(entry.strFlashName);
    EXPECT_TRUE(names.insert(entry.strFlashName).second) << "name used twice";
    types.insert(entry.strFlashType);
    EXPECT_GT(entry.nPageSize, 0);
    EXPECT_GT(entry.nBlockSize, 0);
    EXPECT_EQ(entry.nBlockSize % entry.nPageSize, 0);
    if (entry.strFlashType == "Nand") {
      const SpareLookup spare = NandSpareSize(entry.nPageSize, entry.nEccType);
      EXPECT_TRUE(spare.known);
      EXPECT_GT(spare.spare, 0u);
      nandPages.insert(entry.nPageSize);
    }
  }
  EXPECT_EQ(types, (std::set<std::string>{"Nand", "Spi", "eMMC"}));
  EXPECT_TRUE(nandPages.count(2048) && nandPages.count(4096) && nandPages.count(8192));
  const tagFlashData* firstGen = FindFlash(table, demo::kFirstGenFlash);
  ASSERT_NE(firstGen, nullptr);
  EXPECT_EQ(firstGen->nPageSize, 2048);
  EXPECT_EQ(firstGen->nBlockSize, 131072);
  EXPECT_EQ(NandSpareSize(firstGen->nPageSize, firstGen->nEccType).spare, 64u);
  const tagFlashData* laterGen = FindFlash(table, demo::kLaterGenFlash);
  ASSERT_NE(laterGen, nullptr);
  EXPECT_EQ(laterGen->strFlashType, "eMMC");
}

}  // namespace
}  // namespace tarnel
