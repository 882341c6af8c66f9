#include "pipeline/row_checks.h"
#include "pipeline/run_plan.h"

#include <gtest/gtest.h>

#include "common/platform.h"
#include "support/test_support.h"

namespace tarnel {
namespace {

using test::MakeFixture;

class RowChecksTest : public ::testing::Test {
 protected:
  MakeFixture fx{2};

  void SetUp() override { fx.ws.app.m_strKeysFile = fx.keyListPath; }

  PartitionRow Row(const std::string& name, const std::string& file, bool checked = true) {
    PartitionRow r;
    r.checked = checked;
    r.outputName = name;
    r.fileType = "Non-File System";
    r.flashName = "EMMC_8G";
    r.upgrade = "No";
    r.unsignedFile = file;
    return r;
  }

  std::vector<std::string> Messages() const { return fx.reporter.Messages(); }
};

TEST_F(RowChecksTest, PathsMustBeChosenFirst) {
  fx.ws.app.m_strKeysFile.clear();
  EXPECT_FALSE(CheckMakeInputs(fx.reporter, fx.ws));
  fx.ws.app.m_strKeysFile = fx.keyListPath;
  fx.ws.app.m_strOutputPath.clear();
  EXPECT_FALSE(CheckMakeInputs(fx.reporter, fx.ws));
  EXPECT_EQ(Messages(), (std::vector<std::string>{"Please select the keys file!", "Please select the output path!"}));
}

TEST_F(RowChecksTest, FirstEmptyTrimmedTextFailsWithItsRowNumber) {
  const struct {
    int field;
    const char* message;
  } cases[] = {{1, "Please input the Output Name in the Row 2!"},
               {2, "Please select the File Type in the Row 2!"},
               {3, "Please select the Flash Name in the Row 2!"},
               {4, "Please select the Upgrade item in the Row 2!"},
               {5, "Please select the Unsigned File in the Row 2!"}};
  for (const auto& c : cases) {
    fx.reporter.Clear();
    fx.ws.table.rows = {Row("", "", false), Row("a", fx.inputDir + "a.img")};
    PartitionRow& r = fx.ws.table.rows[1];
    std::string* texts[] = {&r.outputName, &r.fileType, &r.flashName, &r.upgrade, &r.unsignedFile};
    *texts[c.field - 1] = " \t ";  // blanks only count as empty
    EXPECT_FALSE(CheckMakeInputs(fx.reporter, fx.ws)) << c.message;
    EXPECT_EQ(Messages(), std::vector<std::string>{c.message});
  }
}

TEST_F(RowChecksTest, UncheckedRowsWithGapsPass) {
  fx.ws.table.rows = {Row("", "", false), Row("a", fx.inputDir + "a.img")};
  fx.ws.table.rows[0].fileType.clear();
  EXPECT_TRUE(CheckMakeInputs(fx.reporter, fx.ws));
  EXPECT_TRUE(Messages().empty());
}

TEST_F(RowChecksTest, AllFilesComeFromOneInputFolder) {
  // An empty input folder is taken from the first checked row; later rows are held to it.
  fx.ws.app.m_strInputDir.clear();
  fx.ws.table.rows = {Row("a", fx.inputDir + "a.img"), Row("b", "b.img"), Row("c", "/elsewhere/c.img")};
  EXPECT_FALSE(CheckMakeInputs(fx.reporter, fx.ws));
  EXPECT_EQ(fx.ws.app.m_strInputDir, fx.inputDir);
  EXPECT_EQ(Messages(), std::vector<std::string>{"Please ensure all files in the same input folder!"});

  // Case counts in folder names.
  fx.reporter.Clear();
  fx.ws.app.m_strInputDir = "/x/in/";
  fx.ws.table.rows = {Row("a", "/x/In/a.img")};
  EXPECT_FALSE(CheckMakeInputs(fx.reporter, fx.ws));
  EXPECT_EQ(Messages(), std::vector<std::string>{"Please ensure all files in the same input folder!"});
}

TEST_F(RowChecksTest, CreatesTempAndTheDefaultOutputFolder) {
  const std::string home = fx.ws.app.m_strAppDir;
  ASSERT_TRUE(RemoveFile(home + "Temp") || true);
  fx.ws.app.m_strOutputPath = home + "OUTPUT/";  // compared ignoring case
  fx.ws.table.rows = {Row("a", fx.inputDir + "a.img")};
  EXPECT_TRUE(CheckMakeInputs(fx.reporter, fx.ws));
  EXPECT_TRUE(IsFolder(home + "Temp"));
  EXPECT_TRUE(IsFolder(home + "Output"));
}

TEST_F(RowChecksTest, StepCountAddsExt4AndOnePackage) {
  fx.ws.table.rows = {Row("a", "a"), Row("b", "b"), Row("c", "c"), Row("d", "d", false)};
  fx.ws.table.rows[0].upgrade = "Yes";
  fx.ws.table.rows[1].upgrade = "yes";
  fx.ws.table.rows[2].fileType = "ext4 file system";
  fx.ws.table.rows[3].fileType = "Ext4 File System";  // unchecked: not counted
  EXPECT_EQ(PlanRun(fx.ws).totalSteps, 9);
}

TEST_F(RowChecksTest, OutputNamesLengthCharactersAndRepeats) {
  fx.ws.table.rows = {Row("Boot", "a"), Row("x", "x", false), Row("boot", "b")};
  EXPECT_FALSE(CheckOutputNames(fx.reporter, fx.ws));
  EXPECT_EQ(Messages(), std::vector<std::string>{"Output Name Boot is repeated !"});

  fx.reporter.Clear();
  fx.ws.table.rows = {Row("ok name-1_", "a"), Row("boot.img", "b")};
  EXPECT_FALSE(CheckOutputNames(fx.reporter, fx.ws));
  EXPECT_EQ(Messages(), std::vector<std::string>{"Invalid Output Name in the Line 2!"});

  // 200 characters together pass, 201 fail.
  fx.reporter.Clear();
  fx.ws.app.m_strOutputPath = "/o/";
  fx.ws.table.rows = {Row(std::string(197, 'a'), "a")};
  EXPECT_TRUE(CheckOutputNames(fx.reporter, fx.ws));
  fx.ws.table.rows = {Row(std::string(198, 'a'), "a")};
  EXPECT_FALSE(CheckOutputNames(fx.reporter, fx.ws));
  EXPECT_EQ(Messages(), std::vector<std::string>{"The length of Output Name is too long in the Line 1!"});
}

}  // namespace
}  // namespace tarnel
