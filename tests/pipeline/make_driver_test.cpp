#include "pipeline/make_driver.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "common/le.h"
#include "common/platform.h"
#include "support/test_support.h"

namespace tarnel {
namespace {

using Kind = RecordingReporter::Kind;
using test::MakeFixture;

// The progress and message calls of a run, as one readable trace.
std::vector<std::string> Trace(const RecordingReporter& r) {
  std::vector<std::string> out;
  for (const auto& e : r.Events()) {
    switch (e.kind) {
      case Kind::Message: out.push_back("msg:" + e.text); break;
      case Kind::Range: out.push_back("range:" + std::to_string(e.value)); break;
      case Kind::Position: out.push_back("pos:" + std::to_string(e.value)); break;
      case Kind::Pause: out.push_back("pause:" + std::to_string(e.value)); break;
    }
  }
  return out;
}

class MakeDriverTest : public ::testing::Test {
 protected:
  MakeFixture fx{2};

  void SetUp() override { fx.LoadKeys(); }

  bool Run() {
    const bool ok = RunMake(fx.ws, fx.reporter).Succeeded();
    const RunPlan plan = PlanRun(fx.ws);
    if (!plan.rows.empty() && plan.rows.back().geometry) {
      lastPage = plan.rows.back().geometry->pageSize;
      lastBlock = plan.rows.back().geometry->blockSize;
      lastSpare = plan.rows.back().geometry->spareSize;
    }
    return ok;
  }

  // Checks a signed later-generation image with the public key of key list lines 1 and 2.
  void ExpectSignedImage(const std::string& output, const std::vector<uint8_t>& source) {
    const auto image = test::ReadBytes(output);
    const size_t padded = (source.size() + 8191) / 8192 * 8192;
    ASSERT_EQ(image.size(), padded + 8192);
    ASSERT_TRUE(std::equal(source.begin(), source.end(), image.begin()));
    for (size_t i = source.size(); i < padded; ++i) ASSERT_EQ(image[i], 0xFF);
    const uint8_t* block = image.data() + padded;
    EXPECT_EQ(GetLe32(block + 52), source.size());
    const auto lines = fx.KeyLineTexts();
    EXPECT_TRUE(test::VerifyWithPublicKey(lines[0], lines[1], source.data(), source.size(), block + 116, 256));
  }

  uint32_t lastPage = 0, lastBlock = 0, lastSpare = 0;
};

TEST_F(MakeDriverTest, NothingCheckedOrOnlyUnsignedUpgradeRowsIsNotValid) {
  EXPECT_FALSE(Run());
  EXPECT_EQ(Trace(fx.reporter), std::vector<std::string>{"msg:Found not valid partition item!"});

  fx.reporter.Clear();
  fx.AddRow("a", "None", "EMMC_8G", "Yes", "a.bin", test::PatternBytes(10));
  fx.AddRow("b", "none", "EMMC_8G", "yes", "b.bin", test::PatternBytes(10));
  EXPECT_FALSE(Run());
  EXPECT_EQ(Trace(fx.reporter), std::vector<std::string>{"msg:Found not valid partition item!"});
}

TEST_F(MakeDriverTest, OnlyNoneRowsWithoutUpgradeSignNothingAndSucceed) {
  fx.AddRow("a", "None", "EMMC_8G", "No", "a.bin", test::PatternBytes(10));
  EXPECT_TRUE(Run());
  EXPECT_EQ(Trace(fx.reporter), (std::vector<std::string>{"range:1", "pos:0", "pos:1", "pause:800",
                                                          "msg:All files signed successfully!", "pos:0"}));
  EXPECT_EQ(GetPathKind(fx.outputDir + "a.img"), PathKind::Missing);
}

TEST_F(MakeDriverTest, SignsLaterGenerationRowsEndToEnd) {
  const auto kernel = test::PatternBytes(20000, 7);
  const auto logo = test::PatternBytes(8192, 8);
  fx.AddRow("kernel", "Non-File System", "EMMC_8G", "No", "kernel.bin", kernel);
  fx.AddRow("skipped", "Fastboot", "EMMC_8G", "No", "x.bin", {}).checked = false;
  fx.AddRow("logo", " non-file system ", "emmc_8g", "No", "logo.bin", logo);
  EXPECT_TRUE(Run());
  EXPECT_EQ(Trace(fx.reporter), (std::vector<std::string>{"range:2", "pos:0", "pos:1", "pos:2", "pos:2",
                                                          "pause:800", "msg:All files signed successfully!",
                                                          "pos:0"}));
  ExpectSignedImage(fx.outputDir + "kernel.img", kernel);
  ExpectSignedImage(fx.outputDir + "logo.img", logo);

  // The same check through the openssl command line, public key only.
  const auto lines = fx.KeyLineTexts();
  const std::string pem = fx.root / "pub.pem";
  test::WritePublicKeyPem(lines[0], lines[1], pem);
  const auto image = test::ReadBytes(fx.outputDir + "kernel.img");
  test::WriteBytes(fx.root / "data.bin", kernel);
  test::WriteBytes(fx.root / "sig.bin", std::vector<uint8_t>(image.begin() + 24576 + 116, image.begin() + 24576 + 372));
  std::string out;
  EXPECT_EQ(test::RunShell("openssl dgst -sha256 -verify " + test::ShellQuote(pem) + " -signature " +
                               test::ShellQuote(fx.root / "sig.bin") + " " + test::ShellQuote(fx.root / "data.bin"),
                           &out),
            0)
      << out;
}

TEST_F(MakeDriverTest, UnsignedFileWithoutFolderIsReadFromTheInputFolder) {
  const auto data = test::PatternBytes(100, 3);
  fx.AddRow("k", "Non-File System", "EMMC_8G", "No", "k.bin", data).unsignedFile = "k.bin";
  fx.ws.app.m_strInputDir = fx.inputDir;
  // Output path without a trailing separator: the name is appended as it is.
  fx.ws.app.m_strOutputPath = fx.root / "out/pre-";
  EXPECT_TRUE(Run());
  ExpectSignedImage(fx.root / "out/pre-k.img", data);
}

TEST_F(MakeDriverTest, TestKeyPairIsCheckedOnEveryRun) {
  fx.AddRow("k", "Non-File System", "EMMC_8G", "No", "k.bin", test::PatternBytes(10));
  ASSERT_TRUE(RemoveFile(fx.inputDir + "testkey.x509.pem"));
  EXPECT_FALSE(Run());
  ASSERT_TRUE(RemoveFile(fx.inputDir + "testkey.pk8"));
  EXPECT_FALSE(Run());
  EXPECT_EQ(Trace(fx.reporter),
            (std::vector<std::string>{"msg:testkey.x509.pem is not exist!", "msg:testkey.pk8 is not exist!"}));
}

TEST_F(MakeDriverTest, UnknownFlashOrNandPageSizeFailsTheRow) {
  fx.AddRow("a", "None", "EMMC_8G", "No", "a.bin", test::PatternBytes(10));
  fx.AddRow("b", "Non-File System", "NO_SUCH_FLASH", "No", "b.bin", test::PatternBytes(10));
  EXPECT_FALSE(Run());
  EXPECT_EQ(Trace(fx.reporter), (std::vector<std::string>{"range:2", "pos:0",
                                                          "msg:Failed to get the flash config in the Line 2!",
                                                          "pos:0"}));
  fx.reporter.Clear();
  fx.ws.flashTable.push_back({"NAND_512", "Nand", 512, 16384, 4});
  fx.ws.table.rows[1].flashName = "nand_512";
  EXPECT_FALSE(Run());
  EXPECT_EQ(fx.reporter.Messages(), std::vector<std::string>{"Failed to get the flash config in the Line 2!"});
}

TEST_F(MakeDriverTest, GeometryFollowsTheFlashType) {
  fx.AddRow("a", "Non-File System", "SPI_16M", "No", "a.bin", test::PatternBytes(10));
  EXPECT_TRUE(Run());
  EXPECT_EQ(lastPage, 1024u);  // SPI pages are signed as 1024 bytes
  EXPECT_EQ(lastBlock, 65536u);

  fx.ws.table.rows[0].flashName = "EMMC_8G";
  EXPECT_TRUE(Run());
  EXPECT_EQ(lastPage, 512u);  // eMMC keeps its own geometry
  EXPECT_EQ(lastBlock, 524288u);

  fx.ws.flashTable.push_back({"NAND_4K_ECC1", "nand", 4096, 262144, 1});
  fx.ws.table.rows[0].flashName = "NAND_4K_ECC1";
  EXPECT_TRUE(Run());
  EXPECT_EQ(lastSpare, 56u);
}

TEST_F(MakeDriverTest, SpareSizeTable) {
  EXPECT_EQ(NandSpareSize(2048, 24).spare, 128u);
  EXPECT_EQ(NandSpareSize(4096, 1).spare, 56u);
  EXPECT_EQ(NandSpareSize(8192, 40).spare, 592u);
  EXPECT_EQ(NandSpareSize(16384, 40).spare, 1152u);
  EXPECT_EQ(NandSpareSize(16384, 8).spare, 0u);
  EXPECT_TRUE(NandSpareSize(2048, 7).known);
  EXPECT_FALSE(NandSpareSize(512, 4).known);
}

TEST_F(MakeDriverTest, SignerFailureAddsTheRowMessageAndResetsProgress) {
  fx.AddRow("a", "Non-File System", "EMMC_8G", "No", "a.bin", test::PatternBytes(10));
  fx.AddRow("b", "Non-File System", "EMMC_8G", "No", "b.bin", test::PatternBytes(10));
  const std::string missing = fx.inputDir + "b.bin";
  ASSERT_TRUE(RemoveFile(missing));
  EXPECT_FALSE(Run());
  EXPECT_EQ(Trace(fx.reporter),
            (std::vector<std::string>{"range:2", "pos:0", "pos:1", "msg:Open file " + missing + " failed!",
                                      "msg:Failed to sign Non-File System part in the Line 2!", "pos:0"}));
}

TEST_F(MakeDriverTest, FewerThanThreeKeyLinesEndsSilently) {
  fx.AddRow("a", "Non-File System", "EMMC_8G", "No", "a.bin", test::PatternBytes(10));
  fx.ws.keyLines.Truncate(2);
  EXPECT_FALSE(Run());
  EXPECT_EQ(Trace(fx.reporter), (std::vector<std::string>{"range:1", "pos:0"}));
}

TEST_F(MakeDriverTest, MissingCfgBinEndsTheRunWithoutResettingProgress) {
  fx.AddRow("a", "Non-File System", "EMMC_8G", "No", "a.bin", test::PatternBytes(10));
  fx.AddRow("boot", "Fastboot", "EMMC_8G", "No", "boot.bin", test::PatternBytes(1000));
  EXPECT_FALSE(Run());
  EXPECT_EQ(Trace(fx.reporter), (std::vector<std::string>{"range:2", "pos:0", "pos:1", "msg:cfg.bin is not exist!"}));
}

TEST_F(MakeDriverTest, OneRunPerProgramFolder) {
  fx.AddRow("a", "Non-File System", "EMMC_8G", "No", "a.bin", test::PatternBytes(10));
  FileLock other;
  ASSERT_EQ(other.TryLock(fx.ws.app.TempDir() + kTempLockName), FileLock::Result::Locked);
  EXPECT_FALSE(Run());
  ASSERT_EQ(fx.reporter.Messages().size(), 1u);
  EXPECT_EQ(fx.reporter.Messages()[0], "Another Make run is using the folder " + fx.ws.app.TempDir() +
                                           "; wait for it to end!");
  other.Unlock();
  fx.reporter.Clear();
  EXPECT_TRUE(Run());
}

TEST_F(MakeDriverTest, ReproducibleUnderSourceDateEpoch) {
  ::setenv("SOURCE_DATE_EPOCH", "1700000000", 1);
  fx.AddRow("a", "Non-File System", "EMMC_8G", "No", "a.bin", test::PatternBytes(5000, 9));
  EXPECT_TRUE(Run());
  const auto first = test::ReadBytes(fx.outputDir + "a.img");
  EXPECT_TRUE(Run());
  EXPECT_EQ(first, test::ReadBytes(fx.outputDir + "a.img"));
  // 2023-11-14 22:13:20 UTC
  const uint8_t* header = first.data() + 8192;
  EXPECT_EQ(GetLe32(header + 40), (22u << 16) + (13u << 8) + 14u);
  EXPECT_EQ(GetLe32(header + 44), (22u << 16) + (13u << 8) + 20u);
  ::unsetenv("SOURCE_DATE_EPOCH");
}

// No key material outlives its step: after a run that succeeded and after one
// that failed past the boot row, neither Temp nor the output folder holds the
// digits of a private component or of a 128-bit key; key files that a killed
// run of an older version left in Temp are wiped.
TEST(MakeKeyMaterial, NothingInTempOrOutputAfterAnyRun) {
  for (const int board : {0, 2}) {
    for (const bool fail : {false, true}) {
      MakeFixture fx(board);
      fx.LoadKeys();
      const std::string temp = fx.ws.app.TempDir();
      test::WriteText(temp + "ExternalPrivateKey.txt", test::SharedKeyListText());
      test::WriteText(temp + "TempKeyPart.txt", std::string(fx.ws.keyLines.back()));
      test::WriteText(fx.inputDir + "cfg.bin", "cfg");
      const char* flash = board == 0 ? "NAND_2K" : "EMMC_8G";
      fx.AddRow("fastboot", "Fastboot", flash, "No", "fastboot.bin", test::PatternBytes(3000, 1));
      fx.AddRow("kernel", "Non-File System", flash, "No", "kernel.bin", test::PatternBytes(5000, 2));
      if (fail) fx.AddRow("late", "Non-File System", "NO_SUCH_FLASH", "No", "late.bin", test::PatternBytes(10));
      EXPECT_EQ(RunMake(fx.ws, fx.reporter).Succeeded(), !fail) << testing::PrintToString(fx.reporter.Messages());
      EXPECT_TRUE(std::filesystem::exists(fx.outputDir + "fastboot.img")) << board;
      EXPECT_EQ(test::FilesHoldingKeyMaterial(fx.KeyLineTexts(), {temp, fx.outputDir}), std::vector<std::string>{})
          << "board " << board << (fail ? ", failed run" : ", successful run");
    }
  }
}

}  // namespace
}  // namespace tarnel
