// CBC-MAC and the first-generation containers, checked against one EVP
// AES-128-CBC pass over the whole covered range.
#include "signing/mac_containers.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "common/le.h"
#include "signing/run_services.h"
#include "common/text.h"
#include "common/stream.h"
#include "support/test_support.h"
#include "signing/messages.h"

namespace tarnel {
namespace {

using test::PatternBytes;

Key128 TestKey(uint8_t seed) {
  Key128 k{};
  for (size_t i = 0; i < k.size(); ++i) k[i] = static_cast<uint8_t>(seed * 17 + i * 29 + 3);
  return k;
}

// Reference MAC: one EVP encryption call over the whole buffer, last block.
std::vector<uint8_t> ReferenceMac(const Key128& key, const uint8_t* data, size_t n) {
  std::unique_ptr<EVP_CIPHER_CTX, decltype(&EVP_CIPHER_CTX_free)> ctx(EVP_CIPHER_CTX_new(), EVP_CIPHER_CTX_free);
  const uint8_t iv[16] = {};
  EXPECT_EQ(EVP_EncryptInit_ex(ctx.get(), EVP_aes_128_cbc(), nullptr, key.data(), iv), 1);
  EVP_CIPHER_CTX_set_padding(ctx.get(), 0);
  std::vector<uint8_t> out(n + 16);
  int len = 0;
  EXPECT_EQ(EVP_EncryptUpdate(ctx.get(), out.data(), &len, data, static_cast<int>(n)), 1);
  EXPECT_EQ(static_cast<size_t>(len), n);
  return std::vector<uint8_t>(out.begin() + len - 16, out.begin() + len);
}

TEST(CbcMacTest, OneShotAndStreamedMatchOneEvpPass) {
  const Key128 key = TestKey(1);
  for (size_t n : {16u, 32u, 4096u, 4112u, 70000u - 70000u % 16u}) {
    const std::vector<uint8_t> data = PatternBytes(n, static_cast<uint32_t>(n));
    const std::vector<uint8_t> expected = ReferenceMac(key, data.data(), n);
    std::vector<uint8_t> mac(16);
    ASSERT_TRUE(ComputeCbcMac(key, data.data(), n, mac.data())) << n;
    EXPECT_EQ(mac, expected) << n;

    // Uneven pieces, some not block-aligned, some longer than the work buffer.
    for (size_t step : {1u, 7u, 16u, 100u, 5000u}) {
      CbcMac streamed(key);
      for (size_t at = 0; at < n; at += step) {
        const size_t piece = n - at < step ? n - at : step;
        ASSERT_TRUE(streamed.Update(data.data() + at, piece));
      }
      std::vector<uint8_t> got(16);
      ASSERT_TRUE(streamed.Final(got.data()));
      EXPECT_EQ(got, expected) << n << " in pieces of " << step;
    }
  }
}

TEST(CbcMacTest, RefusesIncompleteOrEmptyInput) {
  const Key128 key = TestKey(2);
  const std::vector<uint8_t> data = PatternBytes(40);
  uint8_t mac[16];
  EXPECT_FALSE(ComputeCbcMac(key, data.data(), 0, mac));
  EXPECT_FALSE(ComputeCbcMac(key, data.data(), 40, mac));
  CbcMac partial(key);
  ASSERT_TRUE(partial.Update(data.data(), 40));
  EXPECT_FALSE(partial.Final(mac));
  CbcMac empty(key);
  EXPECT_FALSE(empty.Final(mac));
}

TEST(CbcMacTest, KeyChangesTheMac) {
  const std::vector<uint8_t> data = PatternBytes(64);
  uint8_t a[16], b[16];
  ASSERT_TRUE(ComputeCbcMac(TestKey(3), data.data(), data.size(), a));
  ASSERT_TRUE(ComputeCbcMac(TestKey(4), data.data(), data.size(), b));
  EXPECT_NE(std::vector<uint8_t>(a, a + 16), std::vector<uint8_t>(b, b + 16));
}

// ---------------------------------------------------------------------------
// Containers. Every MAC is recomputed with one EVP pass over the range the
// layout says it covers, taken from the output file itself.

constexpr uint32_t kMiB = 1048576;

uint32_t Word(const std::vector<uint8_t>& image, size_t offset) { return GetLe32(image.data() + offset); }

bool AllFF(const std::vector<uint8_t>& image, size_t from, size_t to) {
  for (size_t i = from; i < to; ++i)
    if (image[i] != 0xFF) return false;
  return true;
}

class ContainerTest : public ::testing::Test {
 protected:
  ContainerTest() : ctx_(ws_, reporter_) {
    ws_.app.m_strAppDir = dir_.Path();
  }
  static FlashGeometry Geometry(uint32_t page, uint32_t block, uint32_t spare) { return {"Nand", page, block, spare}; }

  std::string Source(const std::vector<uint8_t>& bytes) {
    const std::string path = dir_ / "source.bin";
    test::WriteBytes(path, bytes);
    return path;
  }
  std::string Out() const { return dir_ / "out.img"; }

  // Header page, padded data, MAC page, block fill; returns the image.
  std::vector<uint8_t> CheckSingleMac(const std::vector<uint8_t>& src, uint32_t p, uint32_t b, uint32_t spare,
                                      bool keyPart, uint64_t expectedTotal) {
    const std::vector<uint8_t> img = test::ReadBytes(Out());
    const size_t l = src.size();
    const size_t d = (l + p - 1) / p * p;
    EXPECT_EQ(img.size(), expectedTotal);
    EXPECT_EQ(img.size() % b, 0u);
    if (img.size() != expectedTotal) return img;
    EXPECT_EQ(std::memcmp(img.data(), "Corvantis_KELVA_ImgHead_MagicNu\0", 32), 0);
    EXPECT_EQ(std::memcmp(img.data() + 32, "1.0.0.0\0", 8), 0);
    EXPECT_EQ(Word(img, 40), p);
    EXPECT_EQ(Word(img, 44), b);
    EXPECT_EQ(Word(img, 48), spare);
    EXPECT_EQ(Word(img, 52), expectedTotal);
    EXPECT_EQ(Word(img, 56), p);
    EXPECT_EQ(Word(img, 60), l);
    EXPECT_EQ(Word(img, 64), p + d);
    EXPECT_EQ(Word(img, 68), keyPart ? l / 36 : 2u);
    EXPECT_EQ(Word(img, 72), 0u);
    EXPECT_EQ(Word(img, 76), p + d);
    EXPECT_EQ(Word(img, 80), 16u);
    EXPECT_EQ(Word(img, 84), keyPart ? 1u : 0u);
    EXPECT_EQ(Word(img, 88), keyPart ? b / 2 : 0u);
    const size_t headerSize = keyPart ? 124 : 116;
    for (size_t i = 92; i < headerSize; ++i) EXPECT_EQ(img[i], 0) << i;
    EXPECT_TRUE(AllFF(img, headerSize, p));
    EXPECT_TRUE(std::equal(src.begin(), src.end(), img.begin() + p));
    EXPECT_TRUE(AllFF(img, p + l, p + d));
    const std::vector<uint8_t> mac = ReferenceMac(key_, img.data(), p + d);
    EXPECT_EQ(std::vector<uint8_t>(img.begin() + p + d, img.begin() + p + d + 16), mac);
    EXPECT_TRUE(AllFF(img, p + d + 16, img.size()));
    return img;
  }

  // Padded data, header page, MAC table, block fill; returns the image.
  std::vector<uint8_t> CheckChunked(const std::vector<uint8_t>& src, uint32_t p, uint32_t b, uint32_t spare) {
    const std::vector<uint8_t> img = test::ReadBytes(Out());
    const size_t l = src.size();
    const size_t d = (l + b - 1) / b * b;
    const size_t s = d + p;
    const size_t n = (s + kMiB - 1) / kMiB;
    const size_t t = (16 * n + p + b - 1) / b * b;
    EXPECT_EQ(img.size(), d + t);
    if (img.size() != d + t) return img;
    EXPECT_TRUE(std::equal(src.begin(), src.end(), img.begin()));
    EXPECT_TRUE(AllFF(img, l, d));
    const uint8_t* h = img.data() + d;
    EXPECT_EQ(std::memcmp(h, "Corvantis_KELVA_ImgHead_MagicNu\0", 32), 0);
    const uint32_t expected[] = {p, b, spare, static_cast<uint32_t>(d + t), 0, static_cast<uint32_t>(l),
                                 static_cast<uint32_t>(s), 2, static_cast<uint32_t>(d), static_cast<uint32_t>(s),
                                 16, static_cast<uint32_t>(n), kMiB};
    for (size_t i = 0; i < std::size(expected); ++i) EXPECT_EQ(GetLe32(h + 40 + 4 * i), expected[i]) << 40 + 4 * i;
    for (size_t i = 92; i < 116; ++i) EXPECT_EQ(h[i], 0) << i;
    EXPECT_TRUE(AllFF(img, d + 116, s));
    for (size_t i = 0; i < n; ++i) {
      const size_t from = i * kMiB;
      const size_t to = std::min<size_t>(from + kMiB, s);
      const std::vector<uint8_t> mac = ReferenceMac(key_, img.data() + from, to - from);
      EXPECT_EQ(std::vector<uint8_t>(img.begin() + s + 16 * i, img.begin() + s + 16 * i + 16), mac) << "chunk " << i;
    }
    EXPECT_TRUE(AllFF(img, s + 16 * n, img.size()));
    return img;
  }

  test::TempFolder dir_;
  Workspace ws_;
  RecordingReporter reporter_;
  RunServices ctx_;
  Key128 key_ = TestKey(9);
};

TEST_F(ContainerTest, RawImageLayouts) {
  {  // exactly one page, block of four pages: data one page, one page of block fill
    const auto src = PatternBytes(2048, 11);
    ASSERT_TRUE(SealRawImage(ctx_, Geometry(2048, 8192, 0), key_, Out(), Source(src)));
    CheckSingleMac(src, 2048, 8192, 0, false, 8192);
  }
  {  // D + 2P already a block multiple: no block fill
    const auto src = PatternBytes(4000, 12);
    ASSERT_TRUE(SealRawImage(ctx_, Geometry(2048, 8192, 0), key_, Out(), Source(src)));
    CheckSingleMac(src, 2048, 8192, 0, false, 8192);
  }
  {  // empty source: header page, MAC page, block fill
    ASSERT_TRUE(SealRawImage(ctx_, Geometry(2048, 131072, 0), key_, Out(), Source({})));
    CheckSingleMac({}, 2048, 131072, 0, false, 131072);
  }
  {  // odd length, spare value stored
    const auto src = PatternBytes(300001, 13);
    ASSERT_TRUE(SealRawImage(ctx_, Geometry(4096, 262144, 77), key_, Out(), Source(src)));
    CheckSingleMac(src, 4096, 262144, 77, false, 524288);
  }
  for (const size_t n : {kStreamPiece - 1, kStreamPiece, kStreamPiece + 1}) {  // around the copy pieces
    const auto src = PatternBytes(n, static_cast<uint32_t>(n));
    ASSERT_TRUE(SealRawImage(ctx_, Geometry(2048, 131072, 0), key_, Out(), Source(src)));
    CheckSingleMac(src, 2048, 131072, 0, false, 4 * kMiB + 131072);
  }
  EXPECT_TRUE(reporter_.Messages().empty());
  EXPECT_TRUE(reporter_.Positions().empty());
}

TEST_F(ContainerTest, HeaderBytesAreCoveredByTheMac) {
  const auto src = PatternBytes(5000, 14);
  ASSERT_TRUE(SealRawImage(ctx_, Geometry(2048, 8192, 0), key_, Out(), Source(src)));
  const auto a = CheckSingleMac(src, 2048, 8192, 0, false, 16384);
  ASSERT_TRUE(SealRawImage(ctx_, Geometry(2048, 8192, 1), key_, Out(), Source(src)));  // only header offset 48 differs
  const auto b = CheckSingleMac(src, 2048, 8192, 1, false, 16384);
  ASSERT_EQ(a.size(), b.size());
  EXPECT_NE(std::vector<uint8_t>(a.begin() + 2048 + 6144, a.begin() + 2048 + 6144 + 16),
            std::vector<uint8_t>(b.begin() + 2048 + 6144, b.begin() + 2048 + 6144 + 16));
}

TEST_F(ContainerTest, KeyPartitionLayout) {
  const auto src = PatternBytes(36, 15);
  ASSERT_TRUE(SealKeyPartition(ctx_, Geometry(2048, 131072, 0), key_, Out(), Source(src)));
  CheckSingleMac(src, 2048, 131072, 0, true, 131072);
  const auto three = PatternBytes(108, 16);
  ASSERT_TRUE(SealKeyPartition(ctx_, Geometry(4096, 262144, 0), key_, Out(), Source(three)));
  CheckSingleMac(three, 4096, 262144, 0, true, 262144);
}

// The headers byte for byte, as a board's boot loader reads them: words in
// little-endian order, written out here by hand.
std::vector<uint8_t> HexBytes(const char* text) {
  std::vector<uint8_t> out;
  for (const char* c = text; c[0] != '\0'; ++c) {
    if (c[0] == ' ') continue;
    out.push_back(static_cast<uint8_t>(std::stoul(std::string(c, 2), nullptr, 16)));
    ++c;
  }
  return out;
}

std::vector<uint8_t> ExpectedHeader(const char* words, size_t size) {
  const std::string text = std::string("Corvantis_KELVA_ImgHead_MagicNu") + '\0' + "1.0.0.0" + '\0';
  std::vector<uint8_t> h(text.begin(), text.end());  // 32 + 8 bytes
  const std::vector<uint8_t> w = HexBytes(words);
  h.insert(h.end(), w.begin(), w.end());
  h.resize(size, 0);
  return h;
}

TEST_F(ContainerTest, HeaderBytesAsWritten) {
  {  // raw: P 2048, B 8192, spare 7, L 5000: D 6144, total 16384
    ASSERT_TRUE(SealRawImage(ctx_, Geometry(2048, 8192, 7), key_, Out(), Source(PatternBytes(5000, 31))));
    const auto img = test::ReadBytes(Out());
    ASSERT_EQ(img.size(), 16384u);
    EXPECT_EQ(std::vector<uint8_t>(img.begin(), img.begin() + 116),
              ExpectedHeader("00080000 00200000 07000000 00400000 00080000 88130000 00200000 02000000 "
                             "00000000 00200000 10000000 00000000 00000000",
                             116));
  }
  {  // key partition: L 200 (five whole records and a part), P 2048, B 131072
    ASSERT_TRUE(SealKeyPartition(ctx_, Geometry(2048, 131072, 0), key_, Out(), Source(PatternBytes(200, 32))));
    const auto img = test::ReadBytes(Out());
    ASSERT_EQ(img.size(), 131072u);
    EXPECT_EQ(std::vector<uint8_t>(img.begin(), img.begin() + 124),
              ExpectedHeader("00080000 00000200 00000000 00000200 00080000 c8000000 00100000 05000000 "
                             "00000000 00100000 10000000 01000000 00000100",
                             124));
  }
  {  // chunked: L 1 MiB, P 2048, B 131072, spare 64: S 0x100800, two chunks, total 0x120000
    ASSERT_TRUE(SealChunkedImage(ctx_, Geometry(2048, 131072, 64), key_, Out(), Source(PatternBytes(kMiB, 33))));
    const auto img = test::ReadBytes(Out());
    ASSERT_EQ(img.size(), 0x120000u);
    EXPECT_EQ(std::vector<uint8_t>(img.begin() + kMiB, img.begin() + kMiB + 116),
              ExpectedHeader("00080000 00000200 40000000 00001200 00000000 00001000 00081000 02000000 "
                             "00001000 00081000 10000000 02000000 00001000",
                             116));
  }
}

TEST_F(ContainerTest, ChunkedLayouts) {
  {  // S an exact multiple of 1 MiB: the last chunk is a full one
    const auto src = PatternBytes(2 * kMiB - 2048, 21);
    ASSERT_TRUE(SealChunkedImage(ctx_, Geometry(2048, 2048, 64), key_, Out(), Source(src)));
    CheckChunked(src, 2048, 2048, 64);
  }
  {  // S = 1 MiB + P: the last chunk is the header page alone
    const auto src = PatternBytes(kMiB, 22);
    ASSERT_TRUE(SealChunkedImage(ctx_, Geometry(2048, 131072, 64), key_, Out(), Source(src)));
    const auto img = CheckChunked(src, 2048, 131072, 64);
    ASSERT_EQ(img.size(), kMiB + 131072u);
    EXPECT_EQ(Word(img, kMiB + 84), 2u);
  }
  {  // odd length, several chunks and copy pieces, bigger pages
    const auto src = PatternBytes(2 * kStreamPiece + 777, 23);
    ASSERT_TRUE(SealChunkedImage(ctx_, Geometry(4096, 262144, 200), key_, Out(), Source(src)));
    CheckChunked(src, 4096, 262144, 200);
  }
  EXPECT_TRUE(reporter_.Messages().empty());
  EXPECT_EQ(reporter_.Positions(), (std::vector<int>{1, 2, 3, 4, 5, 6, 7, 8, 9}));
}

TEST_F(ContainerTest, ChunkedRefusals) {
  const std::string small = Source(PatternBytes(kMiB - 131072, 24));
  EXPECT_FALSE(SealChunkedImage(ctx_, Geometry(2048, 131072, 64), key_, Out(), small));
  EXPECT_FALSE(SealChunkedImage(ctx_, Geometry(2048, 131072, 64), key_, Out(), Source({})));
  EXPECT_FALSE(SealChunkedImage(ctx_, Geometry(2048, 0, 64), key_, Out(), small));
  EXPECT_EQ(reporter_.Messages(), (std::vector<std::string>{kMsgSourceTooSmall, kMsgSourceTooSmall, kMsgBlockSizeZero}));
  // Each refusal still counted its first step; nothing was written.
  EXPECT_EQ(reporter_.Positions(), (std::vector<int>{1, 2, 3}));
  EXPECT_FALSE(std::filesystem::exists(Out()));
}

TEST_F(ContainerTest, BadGeometryIsRefusedWithoutOutput) {
  const std::string src = Source(PatternBytes(3000, 25));
  struct Case {
    uint32_t page, block;
    const char* expectStart;
  } cases[] = {
      {2048, 0, kMsgBlockSizeZero}, {0, 8192, "Invalid page size 0 for "},
      {1000, 8000, "Invalid page size 1000 for "}, {112, 1120, "Invalid page size 112 for "},
      {2048, 3072, "Invalid block size 3072 for "},
  };
  for (const Case& c : cases) {
    reporter_.Clear();
    EXPECT_FALSE(SealRawImage(ctx_, Geometry(c.page, c.block, 0), key_, Out(), src));
    ASSERT_EQ(reporter_.Messages().size(), 1u);
    const std::string msg = reporter_.Messages()[0];
    EXPECT_EQ(msg.rfind(c.expectStart, 0), 0u) << msg;
    if (c.block != 0) {
      EXPECT_NE(msg.find(src), std::string::npos) << msg;
    }
    EXPECT_FALSE(std::filesystem::exists(Out()));
  }
  // The key partition header is 124 bytes: a 112-byte page cannot hold it,
  // 128 can.
  reporter_.Clear();
  EXPECT_FALSE(SealKeyPartition(ctx_, Geometry(112, 1120, 0), key_, Out(), src));
  EXPECT_TRUE(SealKeyPartition(ctx_, Geometry(128, 1024, 0), key_, Out(), src));
  EXPECT_EQ(reporter_.Messages().size(), 1u);
}

TEST_F(ContainerTest, MissingSourceAndFailedRunsKeepThePreviousOutput) {
  test::WriteBytes(Out(), {1, 2, 3});
  EXPECT_FALSE(SealRawImage(ctx_, Geometry(2048, 8192, 0), key_, Out(), dir_ / "missing.bin"));
  EXPECT_FALSE(SealRawImage(ctx_, Geometry(2048, 8192, 0), key_, Out(), dir_.Path()));  // a folder
  EXPECT_FALSE(SealChunkedImage(ctx_, Geometry(2048, 131072, 0), key_, Out(), dir_ / "missing.bin"));
  EXPECT_FALSE(SealRawImage(ctx_, Geometry(2048, 8192, 0), key_, dir_ / "no/such/folder/out.img", Source({1})));
  EXPECT_EQ(reporter_.Messages(), (std::vector<std::string>{kMsgMacSourceNotFound, kMsgMacSourceNotFound,
                                                            kMsgMacSourceNotFound, kMsgMacCreateDestinationFailed}));
  EXPECT_EQ(test::ReadBytes(Out()), (std::vector<uint8_t>{1, 2, 3}));
}

// A write error halfway through the pipelined copy: its message and no
// output, neither under the final name nor as a temporary file.
TEST_F(ContainerTest, WriteErrorMidwayLeavesNoOutput) {
  const std::string src = Source(PatternBytes(3 * kStreamPiece + 5, 24));
  bool sealed = true;
  {
    test::ScopedFileSizeLimit limit(kStreamPiece + 4096);
    sealed = SealChunkedImage(ctx_, Geometry(2048, 131072, 64), key_, Out(), src) || SealRawImage(ctx_, Geometry(2048, 131072, 0), key_, Out(), src);
  }
  EXPECT_FALSE(sealed);
  EXPECT_EQ(reporter_.Messages(), (std::vector<std::string>{Format(kMsgMacWriteFailed, Out().c_str()),
                                                            Format(kMsgMacWriteFailed, Out().c_str())}));
  for (const std::string& name : test::FolderEntries(dir_.Path())) EXPECT_EQ(name.find("out"), std::string::npos) << name;
}

TEST_F(ContainerTest, SourcesOf4GiBAreRefused) {
  const std::string big = dir_ / "big.bin";
  test::WriteBytes(big, {});
  std::filesystem::resize_file(big, 0xFFFFFFFFull - 4096);  // sparse; the sealed image would pass 4 GiB
  EXPECT_FALSE(SealRawImage(ctx_, Geometry(2048, 131072, 0), key_, Out(), big));
  EXPECT_FALSE(SealChunkedImage(ctx_, Geometry(2048, 131072, 0), key_, Out(), big));
  ASSERT_EQ(reporter_.Messages().size(), 2u);
  for (const std::string& m : reporter_.Messages()) EXPECT_EQ(m, Format(kMsgMacTooLarge, big.c_str()));
  EXPECT_FALSE(std::filesystem::exists(Out()));
}

}  // namespace
}  // namespace tarnel
