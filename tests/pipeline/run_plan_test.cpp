#include "pipeline/run_plan.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "common/platform.h"
#include "pipeline/make_driver.h"
#include "support/test_support.h"

namespace tarnel {
namespace {

// A table with every row kind, a skipped row, an unchecked row, a second
// Fastboot row, an unsigned file given with its folder, a File Type with
// white space around it and a flash entry whose NAND page size is unknown.
Workspace MixedTable(int32_t board) {
  Workspace ws;
  ws.app.m_strAppDir = "/home/";
  ws.app.m_strInputDir = "/in/";
  ws.app.m_strOutputPath = "/out/";
  ws.app.m_strKeysFile = "/in/keys.txt";
  ws.app.m_nBoardType = board;
  ws.table.filePath = "/in/PartConfig.xml";
  ws.flashTable = test::SampleFlashTable();
  ws.flashTable.push_back({"NAND_512", "Nand", 512, 16384, 4});
  const auto row = [&](const char* name, const char* type, const char* flash, const char* upgrade,
                       std::string file, bool checked = true) {
    ws.table.rows.push_back({checked, name, type, flash, upgrade, std::move(file)});
  };
  row("a", "Fastboot", "NAND_2K", "No", "a.bin");
  row("b", " Non-File System ", "spi_16m", "Yes", "/src/b.bin");
  row("c", "Yaffs File System", "NAND_4K", "No", "c.bin");
  row("d", "Ubi File System", "SPI_16M", "yes", "d.bin");
  row("e", "ext4 file system", "SPI_16M", "Yes", "e.bin");
  row("f", "None", "SPI_16M", "Yes", "f.bin");
  row("g", "Ext4 File System", "NAND_2K", "Yes", "g.bin", false);
  row("h", "Fastboot", "EMMC_8G", "No", "h.bin");
  row("i", " Ext4 File System", "NAND_512", "No", "i.bin");
  return ws;
}

std::vector<std::string> Images(const RunPlan& plan) {
  std::vector<std::string> out;
  for (const PlannedRow& r : plan.rows) out.push_back(r.image + (r.signFile.empty() ? "" : "+" + r.signFile));
  return out;
}

TEST(RunPlanTest, EveryRowKindOnBothGenerations) {
  for (const int32_t board : {0, 2}) {
    SCOPED_TRACE(board);
    const bool first = board == 0;
    const RunPlan plan = PlanRun(MixedTable(board));

    ASSERT_EQ(plan.rows.size(), 8u);  // the unchecked row is not planned
    std::vector<RowKind> kinds;
    std::vector<int> numbers, counted, spent;
    for (const PlannedRow& r : plan.rows) {
      kinds.push_back(r.kind);
      numbers.push_back(r.number);
      counted.push_back(r.countedSteps);
      spent.push_back(r.spentSteps);
    }
    using K = RowKind;
    EXPECT_EQ(kinds, (std::vector<K>{K::Fastboot, K::NonFs, K::Yaffs, K::Ubi, K::Ext4, K::None, K::Fastboot, K::Ext4}));
    EXPECT_EQ(numbers, (std::vector<int>{1, 2, 3, 4, 5, 6, 8, 9}));
    // The count reads the File Type untrimmed and counts "None" rows; signing
    // spends nothing on them and four steps on every Ext4 row.
    EXPECT_EQ(counted, (std::vector<int>{1, 1, 1, 1, 4, 1, 1, 1}));
    EXPECT_EQ(spent, (std::vector<int>{1, 1, 1, 1, 4, 0, 1, 4}));
    EXPECT_EQ(plan.totalSteps, 8 + 3 + 3);
    EXPECT_EQ(plan.checkedRows, 8);
    EXPECT_EQ(plan.noneRows, 1);
    EXPECT_EQ(plan.upgradeRows, 4);

    // Sources: a bare name lies in the input folder; a path is used as given.
    EXPECT_EQ(plan.rows[0].source, "/in/a.bin");
    EXPECT_EQ(plan.rows[1].source, "/src/b.bin");
    EXPECT_EQ(Images(plan), (std::vector<std::string>{
                                "/out/a.img", "/out/b.img", "/out/c.img", "/out/d.img+/out/d_Sign.img",
                                first ? "/out/e.img" : "/out/e.img+/out/e_Sign.img", "/out/f.img", "/out/h.img",
                                first ? "/out/i.img" : "/out/i.img+/out/i_Sign.img"}));

    // Geometry: the NAND spare table, SPI pages of 1024, eMMC as it is, and
    // a NAND page size outside the table left for the row to fail on.
    const auto geometry = [&](size_t i) {
      const auto& g = plan.rows[i].geometry;
      return g ? g->flashType + " " + std::to_string(g->pageSize) + "/" + std::to_string(g->blockSize) + "/" +
                     std::to_string(g->spareSize)
               : std::string("unknown");
    };
    EXPECT_EQ(geometry(0), "Nand 2048/131072/64");
    EXPECT_EQ(geometry(1), "Spi 1024/65536/0");
    EXPECT_EQ(geometry(2), "Nand 4096/262144/200");
    EXPECT_EQ(geometry(6), "eMMC 512/524288/0");
    EXPECT_EQ(geometry(7), "unknown");

    // The key partition on the first generation only, with the last Fastboot row's geometry.
    EXPECT_EQ(plan.keyPartition.wanted, first);
    EXPECT_EQ(plan.keyPartition.boot.pageSize, 512u);
    EXPECT_EQ(plan.keyPartition.boot.blockSize, 524288u);

    std::vector<std::string> expected = {"/out/a.img", "/out/b.img", "/out/c.img", "/out/d.img", "/out/d_Sign.img",
                                         "/out/e.img"};
    if (!first) expected.push_back("/out/e_Sign.img");
    expected.push_back("/out/h.img");
    expected.push_back("/out/i.img");
    if (!first) expected.push_back("/out/i_Sign.img");
    if (first) expected.push_back("/out/KeyPart.img");
    expected.push_back("/out/update.zip");
    EXPECT_EQ(plan.Outputs(), expected);

    EXPECT_EQ(plan.inputs, (std::vector<std::string>{
                               "/in/a.bin", "/src/b.bin", "/in/c.bin", "/in/d.bin", "/in/e.bin", "/in/f.bin",
                               "/in/h.bin", "/in/i.bin", "/in/keys.txt", "/in/PartConfig.xml", "/in/cfg.bin",
                               "/in/META-INF.zip", "/in/testkey.pk8", "/in/testkey.x509.pem"}));

    // The package: the upgrade rows in table order, signature files first on
    // the later boards, a "None" row's unsigned file under its image name.
    std::vector<std::string> parts;
    for (const PackagePart& p : plan.package.parts) parts.push_back(p.name + "<" + p.diskPath);
    std::vector<std::string> expectedParts = {"b.img</out/b.img"};
    if (!first) expectedParts.push_back("d_Sign.img</out/d_Sign.img");
    expectedParts.push_back("d.img</out/d.img");
    if (!first) expectedParts.push_back("e_Sign.img</out/e_Sign.img");
    expectedParts.push_back("e.img</out/e.img");
    expectedParts.push_back("f.img</in/f.bin");
    EXPECT_EQ(parts, expectedParts);
    EXPECT_TRUE(plan.package.wanted);
    EXPECT_TRUE(plan.package.flashNamesAgree);  // "spi_16m" and "SPI_16M" name one flash
    ASSERT_TRUE(plan.package.geometry.has_value());
    EXPECT_EQ(plan.package.geometry->pageSize, 1024u);
    EXPECT_EQ(plan.package.packagePath, "/home/Temp/UpgradePackage.zip");
    EXPECT_EQ(plan.package.signedPackagePath, "/home/Temp/UpgradePackage_AndroidSigned.bin");
    EXPECT_EQ(plan.tempDir, "/home/Temp/");
    EXPECT_EQ(plan.outputFolder, "/out/");
  }
}

TEST(RunPlanTest, PackageGeometryAndDisagreeingFlashNames) {
  Workspace ws = MixedTable(2);
  ws.table.rows[3].flashName = "EMMC_8G";
  EXPECT_FALSE(PlanRun(ws).package.flashNamesAgree);

  for (auto& row : ws.table.rows) row.flashName = "EMMC_8G";
  const RunPlan plan = PlanRun(ws);
  EXPECT_TRUE(plan.package.flashNamesAgree);
  ASSERT_TRUE(plan.package.geometry.has_value());
  EXPECT_EQ(plan.package.geometry->pageSize, 1024u);  // eMMC is sealed as 1024/2048
  EXPECT_EQ(plan.package.geometry->blockSize, 2048u);

  ws.flashTable.push_back({"ODD", "NOR", 512, 4096, 0});
  for (auto& row : ws.table.rows) row.flashName = "odd";
  const RunPlan odd = PlanRun(ws);
  EXPECT_TRUE(odd.package.flashKnown);
  EXPECT_FALSE(odd.package.geometry.has_value());  // the package knows only three flash types
  EXPECT_EQ(odd.rows[0].geometry->pageSize, 512u);  // while a row keeps the entry's own
}

// A failed row comes back as a value: the step, the row number and the
// closing message, the same one the reporter heard last.
TEST(RunOutcomeTest, FailedRowNamesItsStepAndRow) {
  test::MakeFixture fx(2);
  fx.LoadKeys();
  fx.AddRow("a", "Non-File System", "EMMC_8G", "No", "a.bin", test::PatternBytes(100));
  fx.AddRow("b", "Non-File System", "EMMC_8G", "No", "b.bin", test::PatternBytes(100));
  ASSERT_TRUE(RemoveFile(fx.inputDir + "b.bin"));
  const RunOutcome outcome = RunMake(fx.ws, fx.reporter);
  EXPECT_FALSE(outcome.Succeeded());
  EXPECT_EQ(outcome.step, RunStep::Row);
  EXPECT_EQ(outcome.row, 2);
  EXPECT_EQ(outcome.message, "Failed to sign Non-File System part in the Line 2!");
  ASSERT_GE(fx.reporter.Messages().size(), 2u);  // the signer's own message came first
  EXPECT_EQ(fx.reporter.Messages().back(), outcome.message);
  ASSERT_TRUE(fx.reporter.Finished().has_value());
  EXPECT_EQ(fx.reporter.Finished()->step, RunStep::Row);
  EXPECT_EQ(fx.reporter.Finished()->row, 2);

  fx.reporter.Clear();
  fx.ws.app.m_strKeysFile.clear();
  const RunOutcome checks = RunMake(fx.ws, fx.reporter);
  EXPECT_EQ(checks.step, RunStep::Checks);
  EXPECT_EQ(checks.row, 0);
  EXPECT_EQ(checks.message, "Please select the keys file!");
}

// make --verify reads the outputs back as a step of the run: progress within
// it runs over the outputs' bytes, the bar positions stay those of the run.
TEST(RunOutcomeTest, ReadBackShowsProgressWithinItsStep) {
  test::MakeFixture fx(2);
  fx.LoadKeys();
  fx.AddRow("a", "Non-File System", "EMMC_8G", "No", "a.bin", test::PatternBytes(30000));
  RunOptions options;
  options.readBack = true;
  const RunOutcome outcome = RunMake(fx.ws, fx.reporter, options);
  EXPECT_TRUE(outcome.Succeeded());
  EXPECT_EQ(outcome.kind, RunOutcome::Kind::AllSigned);
  EXPECT_EQ(fx.reporter.Messages(), std::vector<std::string>{"All files signed successfully!"});
  EXPECT_EQ(fx.reporter.Positions(), (std::vector<int>{0, 1, 1, 0}));
  const uint64_t size = std::filesystem::file_size(fx.outputDir + "a.img");
  const auto& progress = fx.reporter.StepProgress();
  ASSERT_GE(progress.size(), 2u);
  EXPECT_EQ(progress[progress.size() - 2], (std::pair<uint64_t, uint64_t>{0, size}));
  EXPECT_EQ(progress.back(), (std::pair<uint64_t, uint64_t>{size, size}));
}

}  // namespace
}  // namespace tarnel
