// Key partition: the record key is decrypted with EVP DES-EDE under a key
// recomputed here, the container MAC is recomputed with one EVP AES-128-CBC
// pass, and a whole first-generation Make run is checked end to end.
#include "pipeline/key_partition.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "boot/key_list.h"
#include "common/le.h"
#include "signing/run_services.h"
#include "pipeline/make_driver.h"
#include "support/test_support.h"
#include "pipeline/messages.h"

namespace tarnel {
namespace {

using test::PatternBytes;
using test::ReadBytes;

using CipherCtx = std::unique_ptr<EVP_CIPHER_CTX, decltype(&EVP_CIPHER_CTX_free)>;

// One EVP call over the whole buffer, padding off.
std::vector<uint8_t> Evp(const EVP_CIPHER* cipher, bool encrypt, const uint8_t* key, const std::vector<uint8_t>& in) {
  CipherCtx ctx(EVP_CIPHER_CTX_new(), EVP_CIPHER_CTX_free);
  const uint8_t iv[16] = {};
  EXPECT_EQ(EVP_CipherInit_ex(ctx.get(), cipher, nullptr, key, iv, encrypt ? 1 : 0), 1);
  EVP_CIPHER_CTX_set_padding(ctx.get(), 0);
  std::vector<uint8_t> out(in.size() + 32);
  int len = 0;
  EXPECT_EQ(EVP_CipherUpdate(ctx.get(), out.data(), &len, in.data(), static_cast<int>(in.size())), 1);
  out.resize(static_cast<size_t>(len));
  return out;
}

std::vector<uint8_t> Hex16(const std::string& line) {
  std::vector<uint8_t> out;
  for (size_t i = 0; i + 1 < line.size() && out.size() < 16; i += 2)
    out.push_back(static_cast<uint8_t>(std::stoul(line.substr(i, 2), nullptr, 16)));
  return out;
}

// K from the root key and the board's derivation block, as a board would.
std::vector<uint8_t> DerivedKey(const std::vector<uint8_t>& root, int boardType) {
  std::vector<uint8_t> block(16);
  KeyDerivationBlock(boardType, block.data());
  return Evp(EVP_des_ede_ecb(), true, root.data(), block);
}

TEST(KeyRecordCipherTest, TwoLevelTripleDes) {
  const Key128 root = {0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF, 0xFE, 0xDC, 0xBA, 0x98, 0x76, 0x54, 0x32, 0x10};
  const std::vector<uint8_t> rootBytes(root.begin(), root.end());
  const auto input = PatternBytes(16, 5);
  std::vector<uint8_t> out0(16), out1(16), out5(16);
  ASSERT_TRUE(EncryptKeyRecord(root, 0, input.data(), out0.data()));
  ASSERT_TRUE(EncryptKeyRecord(root, 1, input.data(), out1.data()));
  ASSERT_TRUE(EncryptKeyRecord(root, 5, input.data(), out5.data()));
  EXPECT_EQ(out0, Evp(EVP_des_ede_ecb(), true, DerivedKey(rootBytes, 0).data(), input));
  EXPECT_EQ(out1, Evp(EVP_des_ede_ecb(), true, DerivedKey(rootBytes, 1).data(), input));
  EXPECT_EQ(Evp(EVP_des_ede_ecb(), false, DerivedKey(rootBytes, 0).data(), out0), input);
  EXPECT_NE(out0, out1);
  EXPECT_EQ(out1, out5);  // every board type but 0 takes the second block
  // The two blocks, pinned: the reader derives the same key from them, so
  // they must never change unnoticed.
  static constexpr uint8_t kBlockZero[16] = {0x51, 0xE0, 0x7B, 0x01, 0xE6, 0xF9, 0xBA, 0xFC,
                                             0xA8, 0xB5, 0x1A, 0xF9, 0x6D, 0x47, 0x0C, 0x43};
  static constexpr uint8_t kBlockOther[16] = {0x68, 0xA1, 0xF0, 0x77, 0xD3, 0x01, 0x8E, 0xC6,
                                              0x44, 0x43, 0x49, 0x1A, 0xD0, 0x03, 0x8E, 0x38};
  uint8_t b0[16], b1[16], b5[16];
  KeyDerivationBlock(0, b0);
  KeyDerivationBlock(1, b1);
  KeyDerivationBlock(5, b5);
  EXPECT_EQ(std::memcmp(b0, kBlockZero, 16), 0);
  EXPECT_EQ(std::memcmp(b1, kBlockOther, 16), 0);
  EXPECT_EQ(std::memcmp(b5, kBlockOther, 16), 0);
}

class KeyPartitionTest : public ::testing::Test {
 protected:
  explicit KeyPartitionTest(int board = 0) : fx_(board), ctx_(fx_.ws, fx_.reporter) {
    fx_.LoadKeys();
    lines_ = fx_.KeyLineTexts();
    boot_.pageSize = 2048;
    boot_.blockSize = 131072;
  }
  bool Build() { return BuildKeyPartition(ctx_, boot_, fx_.ws.app.m_nBoardType, fx_.outputDir + "KeyPart.img"); }
  std::vector<uint8_t> V(int line) const { return Hex16(lines_[static_cast<size_t>(line - 1)]); }

  // Checks KeyPart.img and returns the encrypted key bytes.
  std::vector<uint8_t> CheckKeyPart(int boardType, uint32_t p, uint32_t b) {
    const auto img = ReadBytes(fx_.outputDir + "KeyPart.img");
    EXPECT_EQ(img.size(), b);
    if (img.size() != b) return {};
    const std::string start = std::string("Corvantis_KELVA_ImgHead_MagicNu") + '\0' + "1.0.0.0" + '\0';
    EXPECT_EQ(std::string(img.begin(), img.begin() + 40), start);
    const uint32_t words[] = {p, b, 0, b, p, 36, 2 * p, 1, 0, 2 * p, 16, 1, b / 2};
    for (size_t i = 0; i < std::size(words); ++i) EXPECT_EQ(GetLe32(img.data() + 40 + 4 * i), words[i]) << i;
    EXPECT_TRUE(std::all_of(img.begin() + 92, img.begin() + 124, [](uint8_t v) { return v == 0; }));
    EXPECT_TRUE(std::all_of(img.begin() + 124, img.begin() + p, [](uint8_t v) { return v == 0xFF; }));
    // The record: 16, key id 2, encrypted V1, 16 x 0xFF; the page filled with 0xFF.
    const uint8_t* rec = img.data() + p;
    EXPECT_EQ(std::vector<uint8_t>(rec, rec + 4), (std::vector<uint8_t>{0x10, 0x00, 0x02, 0x00}));
    EXPECT_TRUE(std::all_of(rec + 20, rec + 36, [](uint8_t v) { return v == 0xFF; }));
    const std::vector<uint8_t> encrypted(rec + 4, rec + 20);
    EXPECT_EQ(Evp(EVP_des_ede_ecb(), false, DerivedKey(V(21), boardType).data(), encrypted), V(23));
    EXPECT_NE(encrypted, V(23));
    EXPECT_TRUE(std::all_of(img.begin() + p + 20, img.begin() + 2 * p, [](uint8_t v) { return v == 0xFF; }));
    // MAC under V2 over header page and data page.
    const auto covered = std::vector<uint8_t>(img.begin(), img.begin() + 2 * p);
    const auto cbc = Evp(EVP_aes_128_cbc(), true, V(22).data(), covered);
    EXPECT_EQ(std::vector<uint8_t>(img.begin() + 2 * p, img.begin() + 2 * p + 16),
              std::vector<uint8_t>(cbc.end() - 16, cbc.end()));
    EXPECT_TRUE(std::all_of(img.begin() + 2 * p + 16, img.end(), [](uint8_t v) { return v == 0xFF; }));
    // The key text and record stay in memory: nothing is written to Temp.
    EXPECT_TRUE(std::filesystem::is_empty(fx_.ws.app.TempDir()));
    return encrypted;
  }

  test::MakeFixture fx_;
  RunServices ctx_;
  FlashGeometry boot_;
  std::vector<std::string> lines_;
};

TEST_F(KeyPartitionTest, BoardZeroAndOneShareTheTextButNotTheKeyBytes) {
  ASSERT_TRUE(Build());
  const auto board0 = CheckKeyPart(0, 2048, 131072);

  fx_.ws.app.m_nBoardType = 1;
  boot_.pageSize = 4096;
  boot_.blockSize = 262144;
  ASSERT_TRUE(Build());
  const auto board1 = CheckKeyPart(1, 4096, 262144);
  EXPECT_NE(board0, board1);
  EXPECT_TRUE(fx_.reporter.Messages().empty());
}

TEST_F(KeyPartitionTest, FailuresResetTheProgress) {
  // Boot geometry that cannot make a container.
  boot_.blockSize = 0;
  ctx_.SetPos(4);
  EXPECT_FALSE(Build());
  EXPECT_EQ(fx_.reporter.Messages(), (std::vector<std::string>{"nBlockSize is 0", kMsgSignKeyPartitionFailed}));
  EXPECT_EQ(fx_.reporter.Positions().back(), 0);
  EXPECT_FALSE(std::filesystem::exists(fx_.outputDir + "KeyPart.img"));

  // A last key line that does not make a 41-character record line.
  fx_.reporter.Clear();
  boot_.blockSize = 131072;
  std::vector<std::string> lines(fx_.ws.keyLines.begin(), fx_.ws.keyLines.end());
  lines.back() += "00";
  fx_.ws.keyLines = KeyLines(lines);
  EXPECT_FALSE(Build());
  EXPECT_EQ(fx_.reporter.Messages(),
            (std::vector<std::string>{"Invaild source file context!", kMsgCreateTempKeyPartFailed}));

  EXPECT_EQ(fx_.reporter.Positions().back(), 0);
}

// ---------------------------------------------------------------------------

TEST(FirstGenerationMakeTest, BootRawAndExt4RowsAndTheKeyPartition) {
  test::MakeFixture fx(0);
  fx.LoadKeys();
  test::WriteBytes(fx.inputDir + "cfg.bin", PatternBytes(1500, 2));
  auto boot = PatternBytes(150000, 3);
  boot[20] = 0;  // room for the parity adjustment
  fx.AddRow("fastboot", "Fastboot", "NAND_2K", "No", "fastboot.bin", boot);
  fx.AddRow("kernel", "Non-File System", "NAND_4K", "No", "kernel.bin", PatternBytes(700001, 4));
  fx.AddRow("system", "Ext4 File System", "NAND_2K", "No", "system.ext4", PatternBytes(2500000, 5));
  EXPECT_TRUE(RunMake(fx.ws, fx.reporter).Succeeded());
  EXPECT_EQ(fx.reporter.Messages(), std::vector<std::string>{kMsgAllSigned});

  const auto lines = fx.KeyLineTexts();
  const auto v1 = Hex16(lines[22]);
  const auto v2 = Hex16(lines[21]);
  // The partition images are sealed under V1, the key partition under V2.
  const auto kernel = ReadBytes(fx.outputDir + "kernel.img");
  ASSERT_EQ(kernel.size(), 786432u);  // 4096 + 700416 + 4096, up to three 256 KiB blocks
  const auto kernelCbc = Evp(EVP_aes_128_cbc(), true, v1.data(),
                             std::vector<uint8_t>(kernel.begin(), kernel.begin() + 4096 + 700416));
  EXPECT_TRUE(std::equal(kernelCbc.end() - 16, kernelCbc.end(), kernel.begin() + 4096 + 700416));
  const auto system = ReadBytes(fx.outputDir + "system.img");
  EXPECT_EQ(GetLe32(system.data() + 2621440 + 48), 64u);  // NAND 2K, ECC 4: 64 spare bytes
  const auto boot0 = ReadBytes(fx.outputDir + "fastboot.img");
  EXPECT_EQ(boot0.size(), 2304u + 150016u);

  const auto keyPart = ReadBytes(fx.outputDir + "KeyPart.img");
  ASSERT_EQ(keyPart.size(), 131072u);
  const auto keyPartCbc = Evp(EVP_aes_128_cbc(), true, v2.data(), std::vector<uint8_t>(keyPart.begin(), keyPart.begin() + 4096));
  EXPECT_TRUE(std::equal(keyPartCbc.end() - 16, keyPartCbc.end(), keyPart.begin() + 4096));
  // Three row steps, three inside the Ext4 signer, one for the key partition
  // (past the range of six); the bar ends at 0 after the message.
  EXPECT_EQ(fx.reporter.Positions(), (std::vector<int>{0, 1, 2, 3, 4, 5, 6, 7, 6, 0}));
}

// After the key partition (sealed under V2) the upgrade package is sealed
// under V1 again. Java is a stand-in that passes the package through.
TEST(FirstGenerationMakeTest, UpgradePackageAfterTheKeyPartitionIsSealedUnderV1) {
  test::MakeFixture fx(0);
  fx.LoadKeys();
  test::WriteBytes(fx.inputDir + "cfg.bin", PatternBytes(100, 2));
  // An empty archive: the end-of-central-directory record alone.
  std::vector<uint8_t> emptyZip(22, 0);
  emptyZip[0] = 0x50, emptyZip[1] = 0x4B, emptyZip[2] = 0x05, emptyZip[3] = 0x06;
  test::WriteBytes(fx.inputDir + "META-INF.zip", emptyZip);
  const std::string bin = fx.ws.app.m_strAppDir + "jre/bin/";
  std::filesystem::create_directories(bin);
  test::WriteText(bin + "java", "#!/bin/sh\ncp \"$8\" \"$9\"\n");
  std::filesystem::permissions(bin + "java", std::filesystem::perms(0755));
  test::WriteText(fx.ws.app.m_strAppDir + "Config/signapk.jar", "jar");
  fx.ws.app.m_archiveSigner = ArchiveSigner::Java;
  auto boot = PatternBytes(3000, 3);
  boot[20] = 0;
  fx.AddRow("fastboot", "Fastboot", "NAND_2K", "No", "fastboot.bin", boot);
  fx.AddRow("kernel", "Non-File System", "NAND_2K", "Yes", "kernel.bin", PatternBytes(5000, 4));
  EXPECT_TRUE(RunMake(fx.ws, fx.reporter).Succeeded());
  EXPECT_EQ(fx.reporter.Messages(), std::vector<std::string>{kMsgPackageDone});

  const auto lines = fx.KeyLineTexts();
  const auto macAt = [](const std::vector<uint8_t>& img, size_t covered, const std::vector<uint8_t>& key) {
    const auto cbc = Evp(EVP_aes_128_cbc(), true, key.data(), std::vector<uint8_t>(img.begin(), img.begin() + covered));
    return std::equal(cbc.end() - 16, cbc.end(), img.begin() + covered);
  };
  const auto keyPart = ReadBytes(fx.outputDir + "KeyPart.img");
  ASSERT_EQ(keyPart.size(), 131072u);
  EXPECT_TRUE(macAt(keyPart, 4096, Hex16(lines[21])));
  const auto sealed = ReadBytes(fx.outputDir + "update.zip");
  const uint32_t length = GetLe32(sealed.data() + 60);
  const size_t covered = 2048 + (length + 2047) / 2048 * 2048;
  ASSERT_GT(sealed.size(), covered + 16);
  EXPECT_TRUE(macAt(sealed, covered, Hex16(lines[22])));
  EXPECT_FALSE(macAt(sealed, covered, Hex16(lines[21])));
}

}  // namespace
}  // namespace tarnel
