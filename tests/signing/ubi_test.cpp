// UBI signing: real images from mkfs.ubifs and ubinize, and the section
// boundaries, checked with the public key alone.
#include "signing/ubi.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

#include "common/platform.h"
#include "signing/run_services.h"
#include "common/text.h"
#include "signing/section_checks.h"
#include "signing/section_signer.h"
#include "signing/sign_image.h"
#include "support/test_support.h"
#include "signing/messages.h"

namespace tarnel {
namespace {

using test::MakeFixture;
using test::ReadBytes;

class UbiTest : public ::testing::Test {
 protected:
  MakeFixture fx{2};
  std::string output;

  void SetUp() override {
    fx.LoadKeys();
    output = fx.outputDir + "rootfs.img";
  }
  std::string SignPath() const { return fx.outputDir + "rootfs_Sign.img"; }
  std::string TempSignPath() const { return fx.ws.app.TempDir() + "rootfs_Sign.img"; }

  bool Sign(const std::string& source) {
    RunServices ctx(fx.ws, fx.reporter);
    return SignUbiImage(ctx, output, source);
  }

  // X.img, every section block, the temporary signature file and the final block.
  void ExpectSigned(const std::vector<uint8_t>& source, size_t sections) {
    EXPECT_EQ(ReadBytes(output), source);
    const auto signFile = ReadBytes(SignPath());
    ASSERT_EQ(signFile.size(), (sections + 1) * 8192);
    const auto lines = fx.KeyLineTexts();
    test::ExpectSectionBlocks(signFile, source, output, fx.keyListPath, lines);
    const auto temp = ReadBytes(TempSignPath());
    ASSERT_EQ(temp.size(), sections * 8192);
    EXPECT_TRUE(std::equal(temp.begin(), temp.end(), signFile.begin()));
    test::ExpectWholeFileBlock(signFile, TempSignPath(), fx.keyListPath, lines);
    EXPECT_TRUE(fx.reporter.Messages().empty());
  }
};

TEST_F(UbiTest, SignsAnImageMadeByMkfsUbifsAndUbinize) {
  const std::string work = fx.root.Path() + "ubi/";
  std::filesystem::create_directories(work + "root/etc");
  test::WriteBytes(work + "root/payload.bin", test::PatternBytes(2600000, 7));
  test::WriteText(work + "root/etc/hostname", "board\n");
  test::WriteText(work + "ubinize.ini", "[rootfs]\nmode=ubi\nimage=" + work +
                                            "rootfs.ubifs\nvol_id=0\nvol_type=dynamic\n"
                                            "vol_name=rootfs\nvol_flags=autoresize\n");
  std::string log;
  ASSERT_EQ(test::RunShell("mkfs.ubifs -x none -r " + test::ShellQuote(work + "root") + " -m 2048 -e 126976 -c 64 -o " +
                               test::ShellQuote(work + "rootfs.ubifs"),
                           &log),
            0)
      << log;
  ASSERT_EQ(test::RunShell("ubinize -o " + test::ShellQuote(work + "rootfs.ubi") + " -m 2048 -p 128KiB -s 2048 " +
                               test::ShellQuote(work + "ubinize.ini"),
                           &log),
            0)
      << log;
  const auto image = ReadBytes(work + "rootfs.ubi");
  ASSERT_GE(image.size(), 2u * 1048576);
  ASSERT_EQ(GetLe32(image.data()), 0x23494255u);  // "UBI#": an erase counter header comes first

  ASSERT_TRUE(Sign(work + "rootfs.ubi"));
  ExpectSigned(image, (image.size() + 1048575) / 1048576);
}

TEST_F(UbiTest, SectionCountsFollowTheLength) {
  struct Case {
    size_t length;
    size_t sections;
  };
  for (const Case c : {Case{2097152, 2}, Case{2097153, 3}, Case{3145728, 3}, Case{2621440, 3}}) {
    SCOPED_TRACE(c.length);
    fx.reporter.Clear();
    const auto source = test::PatternBytes(c.length, static_cast<uint32_t>(c.length));
    test::WriteBytes(fx.inputDir + "in.ubi", source);
    ASSERT_TRUE(Sign(fx.inputDir + "in.ubi"));
    ExpectSigned(source, c.sections);
  }
  // 2.5 MiB: the third section is the 512 KiB remainder.
  const auto signFile = ReadBytes(SignPath());
  EXPECT_EQ(GetLe32(signFile.data() + 2 * 8192 + 52), 524288u);
}

TEST_F(UbiTest, ShortSourcesAreRefusedBeforeAnythingIsWritten) {
  for (size_t length : {size_t{0}, size_t{1048576}, size_t{2097151}}) {
    fx.reporter.Clear();
    test::WriteBytes(fx.inputDir + "small.ubi", test::PatternBytes(length));
    EXPECT_FALSE(Sign(fx.inputDir + "small.ubi"));
    EXPECT_EQ(fx.reporter.Messages(), std::vector<std::string>{"Section size > File length/2!"});
    EXPECT_EQ(GetPathKind(output), PathKind::Missing);
  }
  // 4 GiB would leave the tail unsigned (a sparse file: nothing is read).
  fx.reporter.Clear();
  std::filesystem::resize_file(fx.inputDir + "small.ubi", 1ull << 32);
  EXPECT_FALSE(Sign(fx.inputDir + "small.ubi"));
  EXPECT_EQ(fx.reporter.Messages(), std::vector<std::string>{"The file " + fx.inputDir +
                                                             "small.ubi is 4 GiB or larger and cannot be signed!"});
  EXPECT_EQ(GetPathKind(output), PathKind::Missing);
  std::filesystem::remove(fx.inputDir + "small.ubi");

  EXPECT_FALSE(Sign(fx.inputDir + "missing.ubi"));
  EXPECT_EQ(fx.reporter.Messages().back(), "Open file " + fx.inputDir + "missing.ubi failed!");
}

// A rebuild whose key does not load leaves the previous X.img and X_Sign.img byte for byte.
TEST_F(UbiTest, AKeyFailureLeavesThePreviousPair) {
  test::WriteBytes(fx.inputDir + "old.ubi", test::PatternBytes(2097152 + 50, 3));
  ASSERT_TRUE(Sign(fx.inputDir + "old.ubi"));
  const auto oldImage = ReadBytes(output);
  const auto oldSign = ReadBytes(SignPath());
  fx.reporter.Clear();
  test::WriteBytes(fx.inputDir + "in.ubi", test::PatternBytes(2097152 + 100));
  fx.ws.keyLines.Truncate(5);
  EXPECT_FALSE(Sign(fx.inputDir + "in.ubi"));
  EXPECT_EQ(fx.reporter.Messages(), std::vector<std::string>{"Failed to read mpi file!"});
  EXPECT_EQ(ReadBytes(output), oldImage);
  EXPECT_EQ(ReadBytes(SignPath()), oldSign);
}

TEST_F(UbiTest, FilesThatCannotBeCreatedAreNamed) {
  const auto source = test::PatternBytes(2097152 + 7, 5);
  test::WriteBytes(fx.inputDir + "in.ubi", source);
  struct Case {
    std::string folder;  // made where a file would go
    std::string message;
  };
  const std::vector<Case> cases = {
      {output, "Open file " + output + " failed!"},
      {TempSignPath(), "Open " + TempSignPath() + " file failed!"},
      {SignPath(), "Failed to create the output file " + SignPath() + "!"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.folder);
    fx.reporter.Clear();
    std::filesystem::create_directory(c.folder);
    EXPECT_FALSE(Sign(fx.inputDir + "in.ubi"));
    EXPECT_EQ(fx.reporter.Messages(), std::vector<std::string>{c.message});
    EXPECT_TRUE(std::filesystem::is_directory(c.folder));
    std::filesystem::remove(c.folder);
    for (const std::string& path : {output, TempSignPath(), SignPath()}) std::filesystem::remove(path);
  }
}

// A write error in the image copy, which is written while the sections are
// hashed: its message, and neither X.img nor X_Sign.img nor a temporary file.
TEST_F(UbiTest, WriteErrorInTheCopyLeavesNoOutput) {
  test::WriteBytes(fx.inputDir + "in.ubi", test::PatternBytes(5 * 1048576 + 7, 8));
  bool signedOk = true;
  {
    test::ScopedFileSizeLimit limit(2 * 1048576 + 100);
    signedOk = Sign(fx.inputDir + "in.ubi");
  }
  EXPECT_FALSE(signedOk);
  EXPECT_EQ(fx.reporter.Messages(), std::vector<std::string>{Format(kMsgWriteOutputFailed, output.c_str())});
  EXPECT_EQ(test::FolderEntries(fx.outputDir), std::vector<std::string>{});
}

// With a fixed epoch the bytes are the same run after run, and whatever the
// number of hashing threads (many sections, the last one short).
TEST_F(UbiTest, SigningTwiceWithAFixedEpochGivesTheSameBytes) {
  ::setenv("SOURCE_DATE_EPOCH", "1700000000", 1);
  const auto source = test::PatternBytes(9 * 1048576 + 12345, 3);
  test::WriteBytes(fx.inputDir + "in.ubi", source);
  std::vector<uint8_t> first;
  for (const unsigned threads : test::kThreadCounts) {
    test::ScopedWorkerThreads pool(threads);
    ASSERT_TRUE(Sign(fx.inputDir + "in.ubi")) << threads;
    if (first.empty()) {
      first = ReadBytes(SignPath());
      ExpectSigned(source, 10);
    } else {
      EXPECT_EQ(ReadBytes(SignPath()), first) << threads << " threads";
      EXPECT_EQ(ReadBytes(output), source);
    }
  }
  ::unsetenv("SOURCE_DATE_EPOCH");
  ASSERT_EQ(first.size(), 11 * 8192u);
  // 1700000000 is 2023-11-14 22:13:20 UTC.
  EXPECT_EQ(GetLe32(first.data() + 40), (22u << 16) + (13u << 8) + 14u);
  EXPECT_EQ(GetLe32(first.data() + 44), (22u << 16) + (13u << 8) + 20u);
}

}  // namespace
}  // namespace tarnel
