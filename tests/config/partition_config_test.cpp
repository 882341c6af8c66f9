#include "config/partition_config.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "common/text.h"
#include "support/test_support.h"
#include "config/messages.h"

namespace tarnel {
namespace {

using test::ReadText;
using test::RunShell;
using test::ShellQuote;
using test::TempFolder;
using test::WriteText;

PartitionRow MakeRow(bool checked, std::string out, std::string type, std::string flash, std::string upgrade,
                     std::string file) {
  return PartitionRow{checked, std::move(out), std::move(type), std::move(flash), std::move(upgrade), std::move(file)};
}

// Converts UTF-8 text with the system's iconv command (not our converter).
std::string IconvFromUtf8(const std::string& utf8, const char* encoding, const TempFolder& dir) {
  const std::string in = dir / "iconv-in.txt";
  const std::string out = dir / "iconv-out.txt";
  WriteText(in, utf8);
  EXPECT_EQ(RunShell("iconv -f UTF-8 -t " + std::string(encoding) + " " + ShellQuote(in) + " > " + ShellQuote(out)), 0);
  return ReadText(out);
}

// An attribute read back by libxml2, which decodes the declared encoding itself.
std::string XmllintAttribute(const std::string& path, int row, const char* attribute) {
  std::string out;
  const std::string xpath = "string(/Tarnel_PartConfigs/PartConfig[" + std::to_string(row) + "]/@" + attribute + ")";
  EXPECT_EQ(RunShell("xmllint --xpath " + ShellQuote(xpath) + " " + ShellQuote(path) + " 2>/dev/null", &out), 0)
      << out;
  if (!out.empty() && out.back() == '\n') out.pop_back();
  return out;
}

class PartitionConfigFile : public ::testing::Test {
 protected:
  bool Load(const std::string& path, int32_t board = 2) {
    reporter_.Clear();
    return LoadPartitionConfig(table_, board, reporter_, path);
  }
  std::string Write(const std::string& name, const std::string& text) {
    const std::string path = dir_ / name;
    WriteText(path, text);
    return path;
  }
  static std::string Rows(const std::string& rows) {
    return "<?xml version=\"1.0\" encoding=\"GB2312\"?>\n<Tarnel_PartConfigs>\n" + rows + "</Tarnel_PartConfigs>\n";
  }

  TempFolder dir_;
  PartitionTable table_;
  RecordingReporter reporter_;
};

TEST_F(PartitionConfigFile, SaveWritesTheDocumentExactly) {
  table_.rows = {
      MakeRow(true, "boot", "Fastboot", "NAND_2K", "No", "/work/in/fastboot.bin"),
      MakeRow(false, "  sys\\tem ", " Ext4 File System\t", "EMMC_8G ", "Yes", " D:\\img\\system.img "),
      MakeRow(true, "a&b<c>\"d'", "None", "x/y", "", ""),
  };
  table_.m_bModified = true;
  const std::string path = dir_ / "PartConfig.xml";
  ASSERT_TRUE(SavePartitionConfig(table_, path));
  EXPECT_FALSE(table_.m_bModified);
  EXPECT_EQ(ReadText(path),
            "<?xml version=\"1.0\" encoding=\"GB2312\"?>\n"
            "<Tarnel_PartConfigs>\n"
            "    <PartConfig Sel=\"1\" OutputName=\"boot\" FileType=\"Fastboot\" FlashName=\"NAND_2K\" "
            "Upgrade=\"No\" UnsignedFile=\"fastboot.bin\"/>\n"
            "    <PartConfig Sel=\"0\" OutputName=\"tem\" FileType=\"Ext4 File System\" FlashName=\"EMMC_8G\" "
            "Upgrade=\"Yes\" UnsignedFile=\"system.img\"/>\n"
            "    <PartConfig Sel=\"1\" OutputName=\"a&amp;b&lt;c&gt;&quot;d&apos;\" FileType=\"None\" FlashName=\"y\" "
            "Upgrade=\"\" UnsignedFile=\"\"/>\n"
            "</Tarnel_PartConfigs>\n");
  // An independent reader sees the same values.
  EXPECT_EQ(XmllintAttribute(path, 3, "OutputName"), "a&b<c>\"d'");
  EXPECT_EQ(XmllintAttribute(path, 2, "UnsignedFile"), "system.img");
}

TEST_F(PartitionConfigFile, LoadPlacesUnsignedFilesNextToTheTable) {
  table_.rows = {MakeRow(true, "system", "Ext4 File System", "EMMC_8G", "Yes", "D:\\img\\system.img"),
                 MakeRow(true, "kernel", "Non-File System", "EMMC_8G", "No", "")};
  std::filesystem::create_directories(dir_ / "cfg");
  const std::string path = dir_ / "cfg/PartConfig.xml";
  ASSERT_TRUE(SavePartitionConfig(table_, path));
  table_.rows.clear();
  table_.m_bModified = true;
  table_.m_nCurRow = table_.m_nPrevRow = 3;
  ASSERT_TRUE(Load(path));
  EXPECT_TRUE(reporter_.Messages().empty());
  EXPECT_FALSE(table_.m_bModified);
  EXPECT_EQ(table_.m_nCurRow, -1);
  EXPECT_EQ(table_.m_nPrevRow, -1);
  ASSERT_EQ(table_.rows.size(), 2u);
  EXPECT_EQ(table_.rows[0].unsignedFile, dir_ / "cfg/system.img");
  EXPECT_EQ(table_.rows[1].unsignedFile, "");
  EXPECT_TRUE(table_.rows[0].checked);
  EXPECT_EQ(table_.rows[0].fileType, "Ext4 File System");
}

TEST_F(PartitionConfigFile, ReadingIsPositionalAndTolerantOfNames) {
  const std::string path = Write("t.xml", Rows(
      "    <Row a=\"1\" b=\" out \" c=\"None\" d=\" F \" e=\"Yes\" f=\" sub\\dir/file.bin \" g=\"extra\"/>\n"
      "    <PartConfig OutputName=\"x\" Sel=\"1\" FileType=\"Fastboot\"/>\n"
      "    <PartConfig Sel=\" 1\" OutputName=\"y\"/>\n"
      "    <PartConfig Sel=\"true\"/>\n"
      "    <PartConfig/>\n"
      "    <!-- a comment between rows -->\n"
      "    <PartConfig Sel=\"1\" OutputName=\"z\" FileType=\"None\" FlashName=\"F\" Upgrade=\"No\" UnsignedFile=\"  \"/>\n"));
  ASSERT_TRUE(Load(path));
  ASSERT_EQ(table_.rows.size(), 6u);
  const PartitionRow& r0 = table_.rows[0];
  EXPECT_TRUE(r0.checked);
  EXPECT_EQ(r0.outputName, " out ");  // columns 1 to 4 untrimmed
  EXPECT_EQ(r0.flashName, " F ");
  EXPECT_EQ(r0.unsignedFile, dir_ / "file.bin");  // both separators count
  // Another attribute order loads into other columns.
  EXPECT_FALSE(table_.rows[1].checked);  // "x"
  EXPECT_EQ(table_.rows[1].outputName, "1");
  EXPECT_EQ(table_.rows[1].fileType, "Fastboot");
  EXPECT_FALSE(table_.rows[2].checked);  // " 1"
  EXPECT_FALSE(table_.rows[3].checked);  // "true"
  // A row without attributes is an unchecked empty row.
  EXPECT_FALSE(table_.rows[4].checked);
  EXPECT_EQ(table_.rows[4].outputName, "");
  EXPECT_EQ(table_.rows[4].unsignedFile, "");
  EXPECT_EQ(table_.rows[5].unsignedFile, "");  // blank value: empty cell
}

TEST_F(PartitionConfigFile, BoardTypeChecksStopTheLoadAndKeepTheRowsRead) {
  const std::string rows = Rows(
      "    <PartConfig Sel=\"1\" OutputName=\"a\" FileType=\"None\" FlashName=\"F\" Upgrade=\"No\" UnsignedFile=\"a\"/>\n"
      "    <PartConfig Sel=\"1\" OutputName=\"b\" FileType=\"%s\" FlashName=\"F\" Upgrade=\"No\" UnsignedFile=\"b\"/>\n"
      "    <PartConfig Sel=\"1\" OutputName=\"c\" FileType=\"None\" FlashName=\"F\" Upgrade=\"No\" UnsignedFile=\"c\"/>\n");
  const struct {
    int32_t board;
    const char* fileType;
    const char* message;  // nullptr: accepted
  } cases[] = {
      {0, "Ubi File System", kMsgRa100NoUbi},
      {1, "Ubi File System", kMsgSb300NoUbi},
      {2, "Yaffs File System", kMsgRa200NoYaffs},
      {3, "Yaffs File System", kMsgRa200NoYaffs},
      {5, "Yaffs File System", kMsgRa200NoYaffs},
      {0, "Yaffs File System", nullptr},
      {2, "Ubi File System", nullptr},
      {2, "yaffs File System", nullptr},  // exact comparison
      {0, "ubi file system", nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.board) + " " + c.fileType);
    const std::string path = Write("board.xml", Format(rows.c_str(), c.fileType));
    table_.m_bModified = true;
    const bool loaded = Load(path, c.board);
    if (c.message == nullptr) {
      EXPECT_TRUE(loaded);
      EXPECT_EQ(table_.rows.size(), 3u);
      continue;
    }
    EXPECT_FALSE(loaded);
    ASSERT_EQ(reporter_.Events().size(), 1u);
    const auto& event = reporter_.Events()[0];
    EXPECT_EQ(event.text, c.message);
    EXPECT_EQ(event.caption, kCaptionError);
    EXPECT_EQ(event.icon, MsgIcon::Stop);
    // The row before stays, the failing row keeps what was filled before the check.
    ASSERT_EQ(table_.rows.size(), 2u);
    EXPECT_EQ(table_.rows[0].outputName, "a");
    EXPECT_TRUE(table_.rows[1].checked);
    EXPECT_EQ(table_.rows[1].outputName, "b");
    EXPECT_EQ(table_.rows[1].fileType, "");
    EXPECT_TRUE(table_.m_bModified);
  }
}

TEST_F(PartitionConfigFile, SixtyFourRowsAtMost) {
  std::string rows;
  for (int i = 0; i < 65; ++i)
    rows += Format("    <PartConfig Sel=\"1\" OutputName=\"p%d\" FileType=\"None\" FlashName=\"F\" Upgrade=\"No\" "
                   "UnsignedFile=\"f%d\"/>\n",
                   i, i);
  const std::string all = Rows(rows);
  const std::string sixtyFour = all.substr(0, all.find("    <PartConfig Sel=\"1\" OutputName=\"p64\"")) +
                                "</Tarnel_PartConfigs>\n";
  ASSERT_TRUE(Load(Write("64.xml", sixtyFour)));
  EXPECT_EQ(table_.rows.size(), 64u);

  table_.m_bModified = true;
  EXPECT_FALSE(Load(Write("65.xml", all)));
  EXPECT_EQ(reporter_.Messages(), std::vector<std::string>{kMsgOnly64Files});
  ASSERT_EQ(table_.rows.size(), 64u);
  EXPECT_EQ(table_.rows[63].outputName, "p63");
  EXPECT_TRUE(table_.m_bModified);
}

TEST_F(PartitionConfigFile, BadFilesLeaveTheTableUntouched) {
  const std::string good = Rows(
      "    <PartConfig Sel=\"1\" OutputName=\"a\" FileType=\"None\" FlashName=\"F\" Upgrade=\"No\" UnsignedFile=\"a\"/>\n"
      "    <PartConfig Sel=\"1\" OutputName=\"b\" FileType=\"None\" FlashName=\"F\" Upgrade=\"No\" UnsignedFile=\"b\"/>\n");
  const struct {
    const char* name;
    std::string text;
    const char* message;
  } cases[] = {
      {"empty", "", kMsgOpenPartitionConfigFailed},
      {"malformed", "<Tarnel_PartConfigs><PartConfig Sel=\"1\"></Tarnel_PartConfigs>", kMsgOpenPartitionConfigFailed},
      {"cut", good.substr(0, good.size() / 2), kMsgOpenPartitionConfigFailed},
      {"cut inside a GB2312 character",
       "<?xml version=\"1.0\" encoding=\"GB2312\"?>\n<Tarnel_PartConfigs><PartConfig OutputName=\"\xCF",
       kMsgOpenPartitionConfigFailed},
      {"no element", "<?xml version=\"1.0\"?>\n<!-- none -->\n", kMsgReadPartitionConfigFailed},
      {"other root", "<PartConfigs><PartConfig Sel=\"1\"/></PartConfigs>", kMsgInvalidPartitionConfig},
      {"root name case", "<tarnel_partconfigs/>", kMsgInvalidPartitionConfig},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    table_.rows = {MakeRow(true, "keep", "None", "F", "No", "/x/keep.bin")};
    table_.m_bModified = true;
    table_.m_nCurRow = 0;
    EXPECT_FALSE(Load(Write("bad.xml", c.text)));
    EXPECT_EQ(reporter_.Messages(), std::vector<std::string>{c.message});
    ASSERT_EQ(table_.rows.size(), 1u);
    EXPECT_EQ(table_.rows[0].outputName, "keep");
    EXPECT_TRUE(table_.m_bModified);
    EXPECT_EQ(table_.m_nCurRow, 0);
  }
  EXPECT_FALSE(Load(dir_ / "missing.xml"));
  EXPECT_EQ(reporter_.Messages(), std::vector<std::string>{kMsgOpenPartitionConfigFailed});
  EXPECT_FALSE(Load(dir_.Path()));
  EXPECT_EQ(reporter_.Messages(), std::vector<std::string>{kMsgOpenPartitionConfigFailed});
  // A root without rows empties the table.
  ASSERT_TRUE(Load(Write("none.xml", "<Tarnel_PartConfigs/>")));
  EXPECT_TRUE(table_.rows.empty());
}

// A table written on a Chinese workstation: GB2312 bytes made by iconv load
// as UTF-8 and are written back byte for byte.
TEST_F(PartitionConfigFile, ChineseFileNamesRoundTripByteForByte) {
  const std::string utf8 = Rows(
      "    <PartConfig Sel=\"1\" OutputName=\"\xE7\xB3\xBB\xE7\xBB\x9F\" FileType=\"Ext4 File System\" "
      "FlashName=\"EMMC_8G\" Upgrade=\"Yes\" UnsignedFile=\"\xE7\xB3\xBB\xE7\xBB\x9F.img\"/>\n"
      "    <PartConfig Sel=\"0\" OutputName=\"logo\" FileType=\"None\" FlashName=\"EMMC_8G\" Upgrade=\"No\" "
      "UnsignedFile=\"\xE5\x9B\xBE\xE6\xA0\x87.bin\"/>\n");
  const std::string gb2312 = IconvFromUtf8(utf8, "GB2312", dir_);
  ASSERT_NE(gb2312.find("\xCF\xB5\xCD\xB3.img"), std::string::npos);  // 系统 in GB2312
  const std::string path = Write("cn.xml", gb2312);
  ASSERT_TRUE(Load(path));
  ASSERT_EQ(table_.rows.size(), 2u);
  EXPECT_EQ(table_.rows[0].outputName, "\xE7\xB3\xBB\xE7\xBB\x9F");
  EXPECT_EQ(table_.rows[0].unsignedFile, dir_ / "\xE7\xB3\xBB\xE7\xBB\x9F.img");
  EXPECT_EQ(table_.rows[1].unsignedFile, dir_ / "\xE5\x9B\xBE\xE6\xA0\x87.bin");
  const std::string copy = dir_ / "copy.xml";
  ASSERT_TRUE(SavePartitionConfig(table_, copy));
  EXPECT_EQ(ReadText(copy), gb2312);
  EXPECT_EQ(XmllintAttribute(copy, 1, "UnsignedFile"), "\xE7\xB3\xBB\xE7\xBB\x9F.img");
}

TEST_F(PartitionConfigFile, TextOutsideGbkIsKeptAsCharacterReferences) {
  // U+1F600 and U+00C0 (À): GB18030 has four-byte forms for them, GBK has
  // none; é (U+00E9) is one of the pinyin letters GBK carries (A8 A6).
  const std::string name = "x\xF0\x9F\x98\x80\xC3\x80\xC3\xA9.img";
  table_.rows = {MakeRow(true, "a", "None", "F", "No", "/in/" + name)};
  const std::string path = dir_ / "refs.xml";
  ASSERT_TRUE(SavePartitionConfig(table_, path));
  EXPECT_NE(ReadText(path).find("UnsignedFile=\"x&#x1F600;&#xC0;\xA8\xA6.img\""), std::string::npos);
  EXPECT_EQ(XmllintAttribute(path, 1, "UnsignedFile"), name);
  ASSERT_TRUE(Load(path));
  EXPECT_EQ(table_.rows[0].unsignedFile, dir_ / name);
}

TEST_F(PartitionConfigFile, OtherDeclaredEncodingsAreDecoded) {
  // GBK bytes for 裏 (outside GB2312) under a GBK declaration, a Latin-1
  // file, and an undeclared file in the Chinese code page.
  const std::string gbk = IconvFromUtf8(
      "<?xml version=\"1.0\" encoding=\"GBK\"?><Tarnel_PartConfigs><PartConfig Sel=\"1\" OutputName=\"\xE8\xA3\x8F\"/>"
      "</Tarnel_PartConfigs>",
      "GBK", dir_);
  ASSERT_TRUE(Load(Write("gbk.xml", gbk)));
  EXPECT_EQ(table_.rows.at(0).outputName, "\xE8\xA3\x8F");
  ASSERT_TRUE(Load(Write("latin1.xml",
                         "<?xml version='1.0' encoding='ISO-8859-1'?><Tarnel_PartConfigs><PartConfig Sel=\"1\" "
                         "OutputName=\"caf\xE9\"/></Tarnel_PartConfigs>")));
  EXPECT_EQ(table_.rows.at(0).outputName, "caf\xC3\xA9");
  ASSERT_TRUE(Load(Write("undeclared.xml",
                         "<Tarnel_PartConfigs><PartConfig Sel=\"1\" OutputName=\"\xD6\xD0\xCE\xC4\"/>"
                         "</Tarnel_PartConfigs>")));
  EXPECT_EQ(table_.rows.at(0).outputName, "\xE4\xB8\xAD\xE6\x96\x87");  // 中文
}

TEST_F(PartitionConfigFile, SaveIsAllOrNothing) {
  const std::string path = dir_ / "PartConfig.xml";
  // An empty table writes nothing and keeps the mark.
  table_.m_bModified = true;
  EXPECT_TRUE(SavePartitionConfig(table_, path));
  EXPECT_FALSE(std::filesystem::exists(path));
  EXPECT_TRUE(table_.m_bModified);

  // A folder that does not exist: nothing written, still modified.
  table_.rows = {MakeRow(true, "a", "None", "F", "No", "a.bin")};
  EXPECT_FALSE(SavePartitionConfig(table_, dir_ / "no/such/folder/t.xml"));
  EXPECT_TRUE(table_.m_bModified);

  // Text that is not UTF-8 cannot be encoded: the previous file stays whole.
  WriteText(path, "previous");
  table_.rows[0].outputName = "bad\xFF";
  EXPECT_FALSE(SavePartitionConfig(table_, path));
  EXPECT_EQ(ReadText(path), "previous");
  EXPECT_TRUE(table_.m_bModified);

  // A good save replaces the file.
  table_.rows[0].outputName = "good";
  EXPECT_TRUE(SavePartitionConfig(table_, path));
  EXPECT_FALSE(table_.m_bModified);
  EXPECT_NE(ReadText(path).find("OutputName=\"good\""), std::string::npos);
  for (const auto& entry : std::filesystem::directory_iterator(dir_.Path()))
    EXPECT_EQ(entry.path().filename().string().find(".tarnel-"), std::string::npos) << "temporary file left behind";
}

}  // namespace
}  // namespace tarnel
