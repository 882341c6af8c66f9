// Yaffs sealing: the worked NAND example with its numbers written out, other
// geometries checked by the layout rules, and every chunk MAC recomputed with
// one EVP AES-128-CBC call over the pages gathered here.
#include "signing/yaffs.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <filesystem>
#include <memory>

#include "common/le.h"
#include "common/platform.h"
#include "signing/run_services.h"
#include "signing/section_checks.h"
#include "support/test_support.h"

namespace tarnel {
namespace {

using test::MakeFixture;
using test::ReadBytes;

constexpr size_t kMiB = 1048576;

Key128 MacKey() {
  Key128 k{};
  for (size_t i = 0; i < k.size(); ++i) k[i] = static_cast<uint8_t>(0xA5 ^ (i * 37));
  return k;
}

// One EVP call over the whole chunk, padding off; the MAC is the last block.
std::vector<uint8_t> EvpCbcMac(const Key128& key, const std::vector<uint8_t>& data) {
  std::unique_ptr<EVP_CIPHER_CTX, decltype(&EVP_CIPHER_CTX_free)> ctx(EVP_CIPHER_CTX_new(), EVP_CIPHER_CTX_free);
  const uint8_t iv[16] = {};
  EXPECT_EQ(EVP_EncryptInit_ex(ctx.get(), EVP_aes_128_cbc(), nullptr, key.data(), iv), 1);
  EVP_CIPHER_CTX_set_padding(ctx.get(), 0);
  std::vector<uint8_t> out(data.size() + 16);
  int len = 0;
  EXPECT_EQ(EVP_EncryptUpdate(ctx.get(), out.data(), &len, data.data(), static_cast<int>(data.size())), 1);
  EXPECT_EQ(static_cast<size_t>(len), data.size());
  return std::vector<uint8_t>(out.begin() + len - 16, out.begin() + len);
}

bool AllFF(const std::vector<uint8_t>& b, size_t from, size_t to) {
  for (size_t i = from; i < to; ++i)
    if (b[i] != 0xFF) return false;
  return true;
}

class YaffsTest : public ::testing::Test {
 protected:
  MakeFixture fx{2};
  std::string output;
  std::string source;

  void SetUp() override {
    output = fx.outputDir + "data.img";
    source = fx.inputDir + "data.yaffs";
  }

  bool Seal(const std::string& flashType, uint32_t page, uint32_t block, uint32_t spare) {
    RunServices ctx(fx.ws, fx.reporter);
    return SealYaffsImage(ctx, FlashGeometry{flashType, page, block, spare}, MacKey(), output, source);
  }

  // Checks the sealed file by the layout rules: G = P + O per page, raw
  // blocks of B / P pages, the header page after the padded data, the MAC
  // table over the first P bytes of the following pages. O is the spare the
  // layout uses. Returns the MAC table.
  std::vector<uint8_t> ExpectSealed(const std::vector<uint8_t>& src, uint64_t P, uint64_t B, uint64_t O) {
    const auto out = ReadBytes(output);
    const uint64_t G = P + O, R = B / P * G;
    const uint64_t nb = (src.size() + R - 1) / R, D = nb * R;
    const uint64_t C = P + nb * B, N = (C + kMiB - 1) / kMiB;
    const uint64_t TP = (16 * N + P - 1) / P, TA = (TP * G + G + R - 1) / R * R;
    EXPECT_EQ(out.size(), D + TA);
    if (out.size() != D + TA) return {};
    EXPECT_TRUE(std::equal(src.begin(), src.end(), out.begin()));
    EXPECT_TRUE(AllFF(out, src.size(), D));
    const uint8_t* h = out.data() + D;
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(h), 32), std::string("Corvantis_KELVA_ImgHead_MagicNu") + '\0');
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(h + 32), 8), std::string("1.0.0.0") + '\0');
    const uint32_t fields[] = {static_cast<uint32_t>(P),
                               static_cast<uint32_t>(B),
                               static_cast<uint32_t>(O),
                               static_cast<uint32_t>(D + TA),
                               0,
                               static_cast<uint32_t>(src.size()),
                               static_cast<uint32_t>(C),
                               2,
                               static_cast<uint32_t>(nb * B),
                               static_cast<uint32_t>(P + nb * B),
                               16,
                               static_cast<uint32_t>(N),
                               1048576};
    for (size_t i = 0; i < std::size(fields); ++i)
      EXPECT_EQ(GetLe32(h + 40 + 4 * i), fields[i]) << "offset " << 40 + 4 * i;
    for (size_t i = 92; i < 116; ++i) EXPECT_EQ(h[i], 0) << "offset " << i;
    EXPECT_TRUE(AllFF(out, D + 116, D + G));

    // Page data of every stride of the padded data and the header page, 1 MiB per chunk.
    std::vector<uint8_t> pages;
    for (uint64_t at = 0; at < D + G; at += G) pages.insert(pages.end(), out.begin() + at, out.begin() + at + P);
    EXPECT_EQ(pages.size(), C);
    std::vector<uint8_t> table;
    for (uint64_t i = 0; i < N; ++i) {
      const std::vector<uint8_t> chunk(pages.begin() + i * kMiB, pages.begin() + std::min<uint64_t>((i + 1) * kMiB, C));
      const auto mac = EvpCbcMac(MacKey(), chunk);
      table.insert(table.end(), mac.begin(), mac.end());
    }
    // The table area: a P-byte piece of the table at the start of each stride, 0xFF elsewhere.
    const uint64_t area = D + G;
    for (uint64_t t = 0; t < TP; ++t) {
      const uint64_t from = t * P, n = std::min<uint64_t>(P, table.size() - from);
      EXPECT_TRUE(std::equal(table.begin() + from, table.begin() + from + n, out.begin() + area + t * G))
          << "table page " << t;
      EXPECT_TRUE(AllFF(out, area + t * G + n, area + (t + 1) * G)) << "table page " << t;
    }
    EXPECT_TRUE(AllFF(out, area + TP * G, out.size()));
    return table;
  }
};

TEST_F(YaffsTest, WorkedNandExample) {
  // NAND 2048/131072 with 64 spare bytes: R = 135168, G = 2112; 8 raw blocks
  // give D = 1081344, C = 2048 + 1048576 = 1050624 and N = 2, the second
  // chunk being the header page alone.
  const auto src = test::PatternBytes(8 * 135168, 21);
  test::WriteBytes(source, src);
  ASSERT_TRUE(Seal("Nand", 2048, 131072, 64));
  EXPECT_TRUE(fx.reporter.Messages().empty());
  const auto table = ExpectSealed(src, 2048, 131072, 64);
  const auto out = ReadBytes(output);
  ASSERT_EQ(out.size(), 1081344u + 135168u);
  EXPECT_EQ(GetLe32(out.data() + 1081344 + 52), 1216512u);
  EXPECT_EQ(GetLe32(out.data() + 1081344 + 64), 1050624u);
  EXPECT_EQ(GetLe32(out.data() + 1081344 + 84), 2u);
  // The header words byte for byte (little-endian), from offset 40.
  const uint8_t words[] = {0x00, 0x08, 0x00, 0x00, 0x00, 0x00, 0x02, 0x00, 0x40, 0x00, 0x00, 0x00,  // P, B, O
                           0x00, 0x90, 0x12, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x80, 0x10, 0x00,  // total, 0, L
                           0x00, 0x08, 0x10, 0x00, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00, 0x10, 0x00,  // C, 2, nb x B
                           0x00, 0x08, 0x10, 0x00, 0x10, 0x00, 0x00, 0x00, 0x02, 0x00, 0x00, 0x00,  // P + nb x B, 16, N
                           0x00, 0x00, 0x10, 0x00};                                                 // 1 MiB
  EXPECT_EQ(std::vector<uint8_t>(out.begin() + 1081344 + 40, out.begin() + 1081344 + 92),
            std::vector<uint8_t>(std::begin(words), std::end(words)));
  // The second MAC covers exactly the 2048-byte header page.
  const std::vector<uint8_t> headerPage(out.begin() + 1081344, out.begin() + 1081344 + 2048);
  ASSERT_EQ(table.size(), 32u);
  EXPECT_EQ(std::vector<uint8_t>(table.begin() + 16, table.end()), EvpCbcMac(MacKey(), headerPage));
  EXPECT_EQ(std::vector<uint8_t>(out.begin() + 1081344 + 2112, out.begin() + 1081344 + 2112 + 32), table);

  // The flash type is compared without regard to case.
  const auto first = out;
  ASSERT_TRUE(Seal("nand", 2048, 131072, 64));
  EXPECT_EQ(ReadBytes(output), first);
}

TEST_F(YaffsTest, OtherFlashTypesHaveNoSpareBytes) {
  const auto src = test::PatternBytes(8 * 131072 + 1000, 22);
  test::WriteBytes(source, src);
  ASSERT_TRUE(Seal("eMMC", 2048, 131072, 0));
  ExpectSealed(src, 2048, 131072, 0);
  const auto out = ReadBytes(output);
  // 9 blocks of data, then one block for the header page and the table.
  EXPECT_EQ(out.size(), 10u * 131072u);

  // A spare size passed for a flash without spare bytes changes nothing.
  ASSERT_TRUE(Seal("Spi", 2048, 131072, 64));
  EXPECT_EQ(ReadBytes(output), out);
  EXPECT_TRUE(fx.reporter.Messages().empty());
}

TEST_F(YaffsTest, TableOverSeveralPagesAndAShortSource) {
  // Small pages: nine MACs take two 128-byte pages of the table area.
  const auto src = test::PatternBytes(10000000, 23);
  test::WriteBytes(source, src);
  ASSERT_TRUE(Seal("Nand", 128, 8192, 16));
  const auto table = ExpectSealed(src, 128, 8192, 16);
  EXPECT_EQ(table.size(), 9u * 16u);
  EXPECT_TRUE(fx.reporter.Messages().empty());
  // Progress within the step over the padded image and the header page:
  // growing, and at its end once the pass is through.
  const auto& progress = fx.reporter.StepProgress();
  ASSERT_GE(progress.size(), 2u);
  EXPECT_LT(progress.front().first, progress.front().second);
  EXPECT_EQ(progress.back().first, progress.back().second);
  EXPECT_GT(progress.back().second, src.size());
  for (size_t i = 1; i < progress.size(); ++i) EXPECT_GE(progress[i].first, progress[i - 1].first);
}

TEST_F(YaffsTest, BadGeometryAndShortSourcesWriteNothing) {
  test::WriteText(output, "previous");
  test::WriteBytes(source, test::PatternBytes(2 * kMiB, 24));
  struct Case {
    uint32_t page, block;
    std::string message;
  };
  const auto pageMsg = [&](uint32_t p) {
    return "Invalid page size " + std::to_string(p) + " for " + source +
           ": it must be a multiple of 16 that divides 1048576 and holds the 116-byte image header!";
  };
  const auto blockMsg = [&](uint32_t b, uint32_t p) {
    return "Invalid block size " + std::to_string(b) + " for " + source +
           ": it must be a nonzero multiple of the page size " + std::to_string(p) + "!";
  };
  for (const Case& c :
       {Case{0, 131072, pageMsg(0)}, Case{24, 131072, pageMsg(24)}, Case{3072, 3072 * 64, pageMsg(3072)},
        Case{64, 4096, pageMsg(64)}, Case{2048, 0, blockMsg(0, 2048)}, Case{2048, 3000, blockMsg(3000, 2048)}}) {
    SCOPED_TRACE(c.page);
    fx.reporter.Clear();
    EXPECT_FALSE(Seal("Nand", c.page, c.block, 64));
    EXPECT_EQ(fx.reporter.Messages(), std::vector<std::string>{c.message});
    EXPECT_EQ(test::ReadText(output), "previous");
  }

  // Padded to one raw block, far below 1 MiB.
  fx.reporter.Clear();
  test::WriteBytes(source, test::PatternBytes(1000, 25));
  EXPECT_FALSE(Seal("Nand", 2048, 131072, 64));
  EXPECT_EQ(fx.reporter.Messages(), std::vector<std::string>{"The source file is too small, please select again!"});
  EXPECT_EQ(test::ReadText(output), "previous");

  // A sealed image that would reach 4 GiB (a sparse file: nothing is read).
  fx.reporter.Clear();
  std::filesystem::resize_file(source, 4294900000ull);
  EXPECT_FALSE(Seal("Nand", 2048, 131072, 64));
  EXPECT_EQ(fx.reporter.Messages(), std::vector<std::string>{"The source file " + source +
                                                             " is too large: the sealed image must stay below 4 GiB!"});
  EXPECT_EQ(test::ReadText(output), "previous");
  std::filesystem::remove(source);

  fx.reporter.Clear();
  source = fx.inputDir + "missing.yaffs";
  EXPECT_FALSE(Seal("Nand", 2048, 131072, 64));
  source = fx.inputDir;
  EXPECT_FALSE(Seal("Nand", 2048, 131072, 64));
  EXPECT_EQ(fx.reporter.Messages(),
            (std::vector<std::string>{"Found not the source file!", "Found not the source file!"}));
  EXPECT_EQ(test::ReadText(output), "previous");
}

}  // namespace
}  // namespace tarnel
