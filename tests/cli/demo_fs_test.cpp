// The demo's file-system samples, read back with the tools of those file
// systems: simg2img, e2fsck and debugfs for the sparse ext4 image, the UBI
// headers of every erase block, the Yaffs2 object header and its tags.
#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>

#include "cli/demo.h"
#include "common/le.h"
#include "support/test_support.h"

namespace tarnel {
namespace {

using test::ReadBytes;
using test::RunShell;
using test::ShellQuote;

class DemoFsSamples : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    folder_ = new test::TempFolder();
    std::string out;
    status_ = RunShell(ShellQuote(TARNEL_CLI_PATH) + " demo " + ShellQuote(folder_->Path() + "ws"), &out);
    log_ = out;
  }
  static void TearDownTestSuite() {
    delete folder_;
    folder_ = nullptr;
  }
  static std::string Input(const char* name) { return folder_->Path() + "ws/" + demo::kInputFolder + "/" + name; }

  static test::TempFolder* folder_;
  static int status_;
  static std::string log_;
};

test::TempFolder* DemoFsSamples::folder_ = nullptr;
int DemoFsSamples::status_ = -1;
std::string DemoFsSamples::log_;

TEST_F(DemoFsSamples, SparseExt4ImageIsAFileSystemWithEveryChunkKind) {
  ASSERT_EQ(status_, 0) << log_;
  const auto sparse = ReadBytes(Input(demo::kExt4SparseFile));
  ASSERT_GE(sparse.size(), 2097152u);
  ASSERT_EQ(GetLe32(sparse.data()), 0xED26FF3Au);
  std::set<uint16_t> kinds;
  size_t pos = 28;
  for (uint32_t i = 0; i < GetLe32(sparse.data() + 20) && pos + 12 <= sparse.size(); ++i) {
    kinds.insert(GetLe16(sparse.data() + pos));
    pos += GetLe32(sparse.data() + pos + 8);
  }
  EXPECT_EQ(pos, sparse.size());
  EXPECT_EQ(kinds, (std::set<uint16_t>{0xCAC1, 0xCAC2, 0xCAC3}));

  const std::string raw = folder_->Path() + "system.raw";
  std::string out;
  ASSERT_EQ(RunShell("simg2img " + ShellQuote(Input(demo::kExt4SparseFile)) + " " + ShellQuote(raw), &out), 0) << out;
  EXPECT_EQ(RunShell("e2fsck -fn " + ShellQuote(raw), &out), 0) << out;
  ASSERT_EQ(RunShell("debugfs -R 'cat /etc/build.prop' " + ShellQuote(raw), &out), 0) << out;
  EXPECT_NE(out.find("ro.build.id=TARNEL.DEMO"), std::string::npos) << out;
}

TEST_F(DemoFsSamples, UbiImageHasUbiHeadersInEveryEraseBlock) {
  ASSERT_EQ(status_, 0) << log_;
  const auto ubi = ReadBytes(Input(demo::kUbiFile));
  ASSERT_GE(ubi.size(), 2097152u);
  ASSERT_EQ(ubi.size() % 131072, 0u);
  for (size_t peb = 0; peb < ubi.size(); peb += 131072) {
    EXPECT_EQ(std::memcmp(ubi.data() + peb, "UBI#", 4), 0) << "erase counter header of block " << peb / 131072;
    EXPECT_EQ(std::memcmp(ubi.data() + peb + 2048, "UBI!", 4), 0) << "volume id header of block " << peb / 131072;
  }
}

TEST_F(DemoFsSamples, YaffsImageIsWholeRawBlocksOfPagesAndSpare) {
  ASSERT_EQ(status_, 0) << log_;
  const auto yaffs = ReadBytes(Input(demo::kYaffsFile));
  constexpr size_t kRawPage = 2048 + 64, kRawBlock = 64 * kRawPage;
  ASSERT_GE(yaffs.size(), 1048576u);
  ASSERT_EQ(yaffs.size() % kRawBlock, 0u);
  // First page: the header of directory "etc" (type 3) under the root (object 1).
  EXPECT_EQ(GetLe32(yaffs.data()), 3u);
  EXPECT_EQ(GetLe32(yaffs.data() + 4), 1u);
  EXPECT_STREQ(reinterpret_cast<const char*>(yaffs.data() + 10), "etc");
  // Its tags in the spare bytes: sequence, object 257, chunk 0, no data bytes.
  const uint8_t* tags = yaffs.data() + 2048 + 2;
  EXPECT_EQ(GetLe32(tags + 4), 257u);
  EXPECT_EQ(GetLe32(tags + 8), 0u);
  EXPECT_EQ(GetLe32(tags + 12), 0u);
  // The last page is erased.
  for (size_t i = yaffs.size() - kRawPage; i < yaffs.size(); ++i) ASSERT_EQ(yaffs[i], 0xFF) << i;
}

}  // namespace
}  // namespace tarnel
