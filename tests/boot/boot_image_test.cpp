// Boot image: every signature is checked with OpenSSL's verify path and the
// public key only, over the bytes taken from the output image at the offsets
// of its layout; the parity test is checked with a reference compression
// function whose constants are derived here from the primes.
#include "boot/boot_image.h"

#include <gtest/gtest.h>
#include <openssl/bn.h>
#include <openssl/evp.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "common/le.h"
#include "signing/run_services.h"
#include "support/test_support.h"
#include "boot/messages.h"

namespace tarnel {
namespace {

using test::PatternBytes;
using test::ReadBytes;
using test::WriteBytes;

// ---------------------------------------------------------------------------
// Reference compression: K and H(0) from the fractional parts of the cube and
// square roots of the first primes, as FIPS 180-4 defines them.
struct RefConstants {
  std::array<uint32_t, 64> k{};
  std::array<uint32_t, 8> h{};
  RefConstants() {
    int found = 0;
    for (int n = 2; found < 64; ++n) {
      bool prime = true;
      for (int d = 2; d * d <= n; ++d)
        if (n % d == 0) prime = false;
      if (!prime) continue;
      const long double c = std::cbrt(static_cast<long double>(n));
      k[static_cast<size_t>(found)] = static_cast<uint32_t>((c - std::floor(c)) * 4294967296.0L);
      if (found < 8) {
        const long double s = std::sqrt(static_cast<long double>(n));
        h[static_cast<size_t>(found)] = static_cast<uint32_t>((s - std::floor(s)) * 4294967296.0L);
      }
      ++found;
    }
  }
};

std::array<uint32_t, 8> RefFirstBlock(const uint8_t* block) {
  static const RefConstants c;
  std::array<uint32_t, 64> w{};
  for (size_t t = 0; t < 64; ++t) {
    if (t < 16) {
      w[t] = 0;
      for (size_t j = 0; j < 4; ++j) w[t] = (w[t] << 8) | block[4 * t + j];
    } else {
      w[t] = (std::rotr(w[t - 2], 17) ^ std::rotr(w[t - 2], 19) ^ (w[t - 2] >> 10)) + w[t - 7] +
             (std::rotr(w[t - 15], 7) ^ std::rotr(w[t - 15], 18) ^ (w[t - 15] >> 3)) + w[t - 16];
    }
  }
  std::array<uint32_t, 8> v = c.h;  // a b c d e f g h
  for (size_t t = 0; t < 64; ++t) {
    const uint32_t t1 = v[7] + (std::rotr(v[4], 6) ^ std::rotr(v[4], 11) ^ std::rotr(v[4], 25)) +
                        ((v[4] & v[5]) ^ (~v[4] & v[6])) + c.k[t] + w[t];
    const uint32_t t2 = (std::rotr(v[0], 2) ^ std::rotr(v[0], 13) ^ std::rotr(v[0], 22)) +
                        ((v[0] & v[1]) ^ (v[0] & v[2]) ^ (v[1] & v[2]));
    std::rotate(v.rbegin(), v.rbegin() + 1, v.rend());
    v[4] += t1;
    v[0] = t1 + t2;
  }
  for (size_t i = 0; i < 8; ++i) v[i] += c.h[i];
  return v;
}

bool RefOdd(const uint8_t* block) { return (RefFirstBlock(block)[7] & 1u) != 0; }

// A message of n < 56 bytes padded to one block as FIPS 180-4 does.
std::array<uint8_t, 64> PaddedBlock(const uint8_t* msg, size_t n) {
  std::array<uint8_t, 64> block{};
  std::copy(msg, msg + n, block.begin());
  block[n] = 0x80;
  const uint64_t bits = 8 * n;
  for (size_t i = 0; i < 8; ++i) block[63 - i] = static_cast<uint8_t>(bits >> (8 * i));
  return block;
}

std::vector<uint8_t> DigestBytes(const std::array<uint32_t, 8>& h) {
  std::vector<uint8_t> out;
  for (uint32_t word : h)
    for (int s = 24; s >= 0; s -= 8) out.push_back(static_cast<uint8_t>(word >> s));
  return out;
}

TEST(ParityTest, CompressionOfAPaddedBlockIsTheDigest) {
  const uint8_t abc[] = {'a', 'b', 'c'};
  const auto block = PaddedBlock(abc, 3);
  uint32_t h[8];
  Sha256FirstBlock(block.data(), h);
  std::array<uint32_t, 8> ours{};
  std::copy(h, h + 8, ours.begin());
  EXPECT_EQ(DigestBytes(ours), test::Sha256Of(abc, 3));
  EXPECT_EQ(DigestBytes(RefFirstBlock(block.data())), test::Sha256Of(abc, 3));  // the reference holds too

  for (size_t n = 0; n < 56; ++n) {
    const auto msg = PatternBytes(n, static_cast<uint32_t>(100 + n));
    const auto padded = PaddedBlock(msg.data(), n);
    Sha256FirstBlock(padded.data(), h);
    std::copy(h, h + 8, ours.begin());
    EXPECT_EQ(DigestBytes(ours), test::Sha256Of(msg.data(), n)) << n;
    EXPECT_EQ(Sha256FirstBlockOdd(padded.data()), (test::Sha256Of(msg.data(), n)[31] & 1) != 0) << n;
  }
  // Arbitrary blocks (not padded ones) against the reference.
  for (uint32_t seed = 0; seed < 64; ++seed) {
    const auto data = PatternBytes(64, 500 + seed);
    EXPECT_EQ(Sha256FirstBlockOdd(data.data()), RefOdd(data.data())) << seed;
  }
}

// ---------------------------------------------------------------------------

std::vector<uint8_t> Field256(const std::string& line) {
  std::string hex;
  for (size_t i = 2; i < line.size(); ++i)
    if (std::isxdigit(static_cast<unsigned char>(line[i]))) hex += line[i];
  BIGNUM* bn = nullptr;
  EXPECT_GT(BN_hex2bn(&bn, hex.c_str()), 0);
  std::vector<uint8_t> out(256);
  EXPECT_EQ(BN_bn2binpad(bn, out.data(), 256), 256);
  BN_free(bn);
  return out;
}

uint32_t Word(const std::vector<uint8_t>& v, size_t offset) { return GetLe32(v.data() + offset); }

bool AllEqual(const std::vector<uint8_t>& v, size_t from, size_t to, uint8_t value) {
  for (size_t i = from; i < to; ++i)
    if (v[i] != value) return false;
  return true;
}

// A boot loader-like blob whose parity adjustment has room (byte 20 is low).
std::vector<uint8_t> BootBytes(size_t n, uint32_t seed = 7) {
  std::vector<uint8_t> b = PatternBytes(n, seed);
  if (n > 20) b[20] = 0x10;
  return b;
}

class BootImageTest : public ::testing::Test {
 protected:
  explicit BootImageTest(int boardType = 0) : fx_(boardType), ctx_(fx_.ws, fx_.reporter), lines_(fx_.KeyLineTexts()) {}
  void SetUp() override { fx_.LoadKeys(); }

  void SetBoard(int boardType) { fx_.ws.app.m_nBoardType = boardType; }
  std::string Cfg(const std::vector<uint8_t>& bytes) {
    const std::string path = fx_.inputDir + "cfg.bin";
    WriteBytes(path, bytes);
    return path;
  }
  std::string Boot(const std::vector<uint8_t>& bytes) {
    const std::string path = fx_.inputDir + "fastboot.bin";
    WriteBytes(path, bytes);
    return path;
  }
  std::string Out() const { return fx_.outputDir + "fastboot.img"; }
  std::string Temp(const char* name) const { return fx_.ws.app.TempDir() + name; }

  bool Sign(const std::vector<uint8_t>& boot, const std::vector<uint8_t>& cfg) {
    return SignBootImage(ctx_, fx_.ws.app.m_nBoardType, Out(), Boot(boot), fx_.keyListPath, Cfg(cfg));
  }

  bool Verify(size_t nLine, const std::vector<uint8_t>& img, size_t from, size_t length, size_t sigAt) {
    return test::VerifyWithPublicKey(lines_[nLine - 1], lines_[nLine], img.data() + from, length, img.data() + sigAt,
                                     256);
  }

  // The checks common to every image; returns the boot area.
  std::vector<uint8_t> CheckImage(const std::vector<uint8_t>& img, const std::vector<uint8_t>& boot,
                                  const std::vector<uint8_t>& cfg, bool zero, size_t bootLength) {
    const size_t paramSize = zero ? 1020 : 5116;
    const size_t bootAt = zero ? 2048 : 6176;
    EXPECT_EQ(img.size(), bootAt + bootLength + 256);
    if (img.size() != bootAt + bootLength + 256) return {};
    // Key area: external public key, signed by the root key.
    EXPECT_EQ(std::vector<uint8_t>(img.begin(), img.begin() + 256), Field256(lines_[8]));
    EXPECT_EQ(std::vector<uint8_t>(img.begin() + 256, img.begin() + 512), Field256(lines_[9]));
    EXPECT_EQ(Word(img, 512), 0u);
    EXPECT_TRUE(Verify(11, img, 0, 516, 516));
    EXPECT_FALSE(Verify(9, img, 0, 516, 516));
    // Parameter area.
    EXPECT_TRUE(Verify(9, img, 772, paramSize, 772 + paramSize));
    const uint32_t words[] = {zero ? 0u : 32u, zero ? 0u : 32u, static_cast<uint32_t>(bootLength), 0u,
                              static_cast<uint32_t>(bootLength + (zero ? 256 : 288)),
                              zero ? 0xFFFFFFFFu : 0xFFFFFFF8u};
    for (size_t i = 0; i < 6; ++i) EXPECT_EQ(Word(img, 772 + 4 * i), words[i]) << "word " << i;
    for (size_t i = 24; i < 32; ++i) {
      if (!(zero && i == 28)) {
        EXPECT_EQ(img[772 + i], 0xFF) << i;
      }
    }
    const size_t kept = std::min(cfg.size(), paramSize - 32);
    EXPECT_TRUE(std::equal(cfg.begin(), cfg.begin() + static_cast<long>(kept), img.begin() + 772 + 32));
    EXPECT_TRUE(AllEqual(img, 772 + 32 + kept, 772 + paramSize, 0xFF));
    // Unchecked area.
    if (!zero) {
      EXPECT_TRUE(AllEqual(img, 6144, 6160, 0x00));
      EXPECT_TRUE(AllEqual(img, 6160, 6176, 0xFF));
    }
    // Boot area.
    EXPECT_TRUE(Verify(9, img, bootAt, bootLength, bootAt + bootLength));
    std::vector<uint8_t> area(img.begin() + static_cast<long>(bootAt),
                              img.begin() + static_cast<long>(bootAt + bootLength));
    for (size_t i = 0; i < boot.size(); ++i) {
      if (!(zero && i == 20)) {
        EXPECT_EQ(area[i], boot[i]) << i;
      }
    }
    if (zero) {
      EXPECT_TRUE(AllEqual(area, boot.size(), bootLength, 0xFF));
      EXPECT_GE(area[20], boot[20]);
      EXPECT_FALSE(RefOdd(img.data() + 772)) << "parameter area";
      EXPECT_FALSE(RefOdd(area.data())) << "boot data";
      EXPECT_EQ(ReadBytes(Temp("BootAreaEncryptPart.bin")), area);
    } else {
      EXPECT_TRUE(AllEqual(area, boot.size(), bootLength - 8, 0xFF));
      EXPECT_TRUE(AllEqual(area, bootLength - 8, bootLength, 0x00));
    }
    EXPECT_EQ(ReadBytes(Temp("BootArea.bin")), area);
    return area;
  }

  test::MakeFixture fx_;
  RunServices ctx_;
  std::vector<std::string> lines_;
};

TEST_F(BootImageTest, BoardZeroImage) {
  const auto boot = BootBytes(1000);
  const auto cfg = PatternBytes(2000, 3);
  ASSERT_TRUE(Sign(boot, cfg));
  const auto img = ReadBytes(Out());
  EXPECT_EQ(img.size(), 3328u);
  CheckImage(img, boot, cfg, true, 1024);
  // Parameter words byte for byte: 0, 0, L 1024, 0, L + 256, 0xFFFFFFFF.
  const std::vector<uint8_t> words = {0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x04, 0x00, 0x00,
                                      0x00, 0x00, 0x00, 0x00, 0x00, 0x05, 0x00, 0x00, 0xFF, 0xFF, 0xFF, 0xFF};
  EXPECT_EQ(std::vector<uint8_t>(img.begin() + 772, img.begin() + 772 + 24), words);
  EXPECT_TRUE(fx_.reporter.Messages().empty());
}

TEST_F(BootImageTest, OtherBoardImage) {
  SetBoard(2);
  const auto boot = BootBytes(4096);
  const auto cfg = PatternBytes(2000, 4);
  ASSERT_TRUE(Sign(boot, cfg));
  const auto img = ReadBytes(Out());
  EXPECT_EQ(img.size(), 10784u);
  CheckImage(img, boot, cfg, false, 4352);
  // Parameter words byte for byte: 32, 32, L 4352, 0, L + 288, 0xFFFFFFF8.
  const std::vector<uint8_t> words = {0x20, 0x00, 0x00, 0x00, 0x20, 0x00, 0x00, 0x00, 0x00, 0x11, 0x00, 0x00,
                                      0x00, 0x00, 0x00, 0x00, 0x20, 0x12, 0x00, 0x00, 0xF8, 0xFF, 0xFF, 0xFF};
  EXPECT_EQ(std::vector<uint8_t>(img.begin() + 772, img.begin() + 772 + 24), words);
  EXPECT_EQ(ReadBytes(Temp("UncheckedArea.bin")), std::vector<uint8_t>(img.begin() + 6144, img.begin() + 6176));
  EXPECT_TRUE(fx_.reporter.Messages().empty());
}

TEST_F(BootImageTest, AreaLengthsAtTheFillBoundaries) {
  struct Case {
    int board;
    size_t boot, cfg, bootLength;
  } cases[] = {
      {2, 505, 0, 768}, {0, 505, 0, 512}, {2, 504, 0, 512}, {5, 1, 2000, 256},
      {1, 256, 5084, 512}, {0, 64, 988, 256}, {3, 0, 6000, 256},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "board " << c.board << ", boot " << c.boot << ", cfg " << c.cfg);
    SetBoard(c.board);
    const auto boot = BootBytes(c.boot, static_cast<uint32_t>(c.boot));
    const auto cfg = PatternBytes(c.cfg, 9);
    ASSERT_TRUE(Sign(boot, cfg));
    CheckImage(ReadBytes(Out()), boot, cfg, c.board == 0, c.bootLength);
  }
  EXPECT_TRUE(fx_.reporter.Messages().empty());
}

TEST_F(BootImageTest, SignaturesAreReproducible) {
  const auto boot = BootBytes(3000);
  ASSERT_TRUE(Sign(boot, {}));
  const auto first = ReadBytes(Out());
  ASSERT_TRUE(Sign(boot, {}));
  EXPECT_EQ(ReadBytes(Out()), first);
}

TEST_F(BootImageTest, ParameterParityByteIsLoweredFromTheTop) {
  // Find a cfg.bin whose parameter area tests odd as built; byte 28 must then
  // hold the first value from 255 down for which the reference says even.
  std::vector<uint8_t> area(1020, 0xFF);
  const uint32_t words[] = {0, 0, 512, 0, 768};
  for (size_t i = 0; i < 5; ++i) PutLe32(area.data() + 4 * i, words[i]);
  std::vector<uint8_t> cfg;
  for (uint32_t seed = 1; cfg.empty(); ++seed) {
    auto candidate = PatternBytes(32, seed);
    std::copy(candidate.begin(), candidate.end(), area.begin() + 32);
    if (RefOdd(area.data())) cfg = candidate;
  }
  int expected = -1;
  for (int v = 255; v >= 2 && expected < 0; --v) {
    area[28] = static_cast<uint8_t>(v);
    if (!RefOdd(area.data())) expected = v;
  }
  ASSERT_GE(expected, 2);
  ASSERT_LE(expected, 254);
  ASSERT_TRUE(Sign(BootBytes(500), cfg));
  const auto img = ReadBytes(Out());
  ASSERT_EQ(img.size(), 2304u + 512u);
  EXPECT_EQ(img[772 + 28], expected);
  CheckImage(img, BootBytes(500), cfg, true, 512);
}

TEST_F(BootImageTest, BootParityByteIsRaisedUntilEven) {
  std::vector<uint8_t> boot;
  for (uint32_t seed = 1; boot.empty(); ++seed) {
    auto candidate = BootBytes(700, seed);
    if (RefOdd(candidate.data())) boot = candidate;
  }
  auto expected = boot;
  while (RefOdd(expected.data())) ++expected[20];
  ASSERT_TRUE(Sign(boot, PatternBytes(100)));
  const auto area = CheckImage(ReadBytes(Out()), boot, PatternBytes(100), true, 768);
  ASSERT_EQ(area.size(), 768u);
  EXPECT_GT(area[20], boot[20]);
  EXPECT_EQ(area[20], expected[20]);
}

TEST_F(BootImageTest, BoardZeroBootFilesThatCannotPassTheParityTest) {
  // Shorter than one block.
  EXPECT_FALSE(Sign(BootBytes(63), {}));
  // Byte 20 already 0xFF while the first block tests odd.
  std::vector<uint8_t> boot;
  for (uint32_t seed = 1; boot.empty(); ++seed) {
    auto candidate = PatternBytes(300, seed);
    candidate[20] = 0xFF;
    if (RefOdd(candidate.data())) boot = candidate;
  }
  EXPECT_FALSE(Sign(boot, {}));
  EXPECT_EQ(fx_.reporter.Messages(), (std::vector<std::string>{kMsgBootFileInvalid, kMsgBootFileInvalid}));
  EXPECT_FALSE(std::filesystem::exists(Out()));
  // The same file is fine on the other board types.
  SetBoard(1);
  EXPECT_TRUE(Sign(boot, {}));
}

TEST_F(BootImageTest, FailuresShowTheirMessages) {
  // Missing boot file, folder as boot file.
  EXPECT_FALSE(SignBootImage(ctx_, fx_.ws.app.m_nBoardType, Out(), fx_.inputDir + "missing.bin", fx_.keyListPath, Cfg({})));
  EXPECT_FALSE(SignBootImage(ctx_, fx_.ws.app.m_nBoardType, Out(), fx_.inputDir, fx_.keyListPath, Cfg({})));
  // Missing cfg.bin: warning icon.
  EXPECT_FALSE(SignBootImage(ctx_, fx_.ws.app.m_nBoardType, Out(), Boot(BootBytes(800)), fx_.keyListPath, fx_.inputDir + "none.bin"));
  EXPECT_EQ(fx_.reporter.Messages(),
            (std::vector<std::string>{kMsgInvalidBootFile, kMsgInvalidBootFile, kMsgInvalidCfgBin}));
  const auto& events = fx_.reporter.Events();
  const auto cfgEvent = std::find_if(events.begin(), events.end(), [](const RecordingReporter::Event& e) {
    return e.kind == RecordingReporter::Kind::Message && e.text == kMsgInvalidCfgBin;
  });
  ASSERT_NE(cfgEvent, events.end());
  EXPECT_EQ(cfgEvent->icon, MsgIcon::Warning);
  EXPECT_FALSE(std::filesystem::exists(Out()));
}

TEST_F(BootImageTest, RootKeyOfTheWrongSizeFailsTheSignature) {
  test::WriteText(fx_.keyListPath, test::KeyListTextWithBits(2048, 1024));
  fx_.LoadKeys();
  WriteBytes(Out(), {9, 9});
  EXPECT_FALSE(Sign(BootBytes(800), {}));
  EXPECT_EQ(fx_.reporter.Messages(), std::vector<std::string>{kMsgBootSignFailed});
  EXPECT_EQ(ReadBytes(Out()), (std::vector<uint8_t>{9, 9}));  // the previous image is kept
}

TEST_F(BootImageTest, SignAreaFileSignsWithEachRoleAndNamesItsFailures) {
  const std::string area = Temp("area.bin");
  WriteBytes(area, PatternBytes(100));
  const auto data = ReadBytes(area);
  // External: lines 1-2; root: lines 11-12.
  for (const auto& [role, nLine] : {std::pair{KeyRole::External, size_t{0}}, std::pair{KeyRole::Root, size_t{10}}}) {
    ASSERT_TRUE(SignAreaFile(ctx_, area, role, Temp("sig.bin")));
    const auto sig = ReadBytes(Temp("sig.bin"));
    ASSERT_EQ(sig.size(), 256u);
    EXPECT_TRUE(test::VerifyWithPublicKey(lines_[nLine], lines_[nLine + 1], data.data(), data.size(), sig.data(), 256));
  }
  EXPECT_FALSE(SignAreaFile(ctx_, Temp("noarea.bin"), KeyRole::External, Temp("sig.bin")));
  EXPECT_FALSE(SignAreaFile(ctx_, area, KeyRole::External, fx_.root.Path() + "no/such/sig.bin"));
  // Root key lines missing from the loaded list.
  fx_.ws.keyLines.Truncate(14);
  ctx_.signer.reset();
  EXPECT_FALSE(SignAreaFile(ctx_, area, KeyRole::Root, Temp("sig2.bin")));
  EXPECT_EQ(fx_.reporter.Messages(),
            (std::vector<std::string>{kMsgOpenAreaFailed, kMsgOpenAreaForBootSignFailed, kMsgCreateBootSignatureFailed,
                                      kMsgReadBootKeyFailed}));
  EXPECT_FALSE(std::filesystem::exists(Temp("sig2.bin")));
}

TEST_F(BootImageTest, KeyAreaRefusesComponentsWiderThanTheirField) {
  EXPECT_FALSE(BuildKeyArea("0x01" + std::string(512, 'A'), "0x010001", Temp("ka.bin")));  // 257 bytes
  EXPECT_FALSE(std::filesystem::exists(Temp("ka.bin")));
  ASSERT_TRUE(BuildKeyArea("0x" + std::string(512, 'A'), "0x010001", Temp("ka.bin")));  // exactly 256
  const auto ka = ReadBytes(Temp("ka.bin"));
  ASSERT_EQ(ka.size(), 516u);
  EXPECT_TRUE(AllEqual(ka, 0, 256, 0xAA));
  EXPECT_TRUE(AllEqual(ka, 256, 509, 0x00));
  EXPECT_EQ(ka[509], 0x01);
  EXPECT_EQ(ka[510], 0x00);
  EXPECT_EQ(ka[511], 0x01);
  EXPECT_TRUE(AllEqual(ka, 512, 516, 0x00));
  EXPECT_TRUE(fx_.reporter.Messages().empty());
}

TEST_F(BootImageTest, AssemblyChecksEveryAreaFile) {
  SetBoard(3);
  ASSERT_TRUE(Sign(BootBytes(2000), PatternBytes(10)));
  BootAreaFiles areas{Temp("KeyArea.bin"),  Temp("KeyAreaSign.bin"), Temp("ParamArea.bin"),
                      Temp("ParamAreaSign.bin"), Temp("BootArea.bin"), Temp("BootAreaSign.bin"),
                      Temp("UncheckedArea.bin")};
  const std::string rebuilt = fx_.outputDir + "again.img";
  ASSERT_TRUE(AssembleBootImage(ctx_, fx_.ws.app.m_nBoardType, areas, rebuilt));
  EXPECT_EQ(ReadBytes(rebuilt), ReadBytes(Out()));

  std::filesystem::remove(areas.uncheckedArea);
  EXPECT_FALSE(AssembleBootImage(ctx_, fx_.ws.app.m_nBoardType, areas, rebuilt));
  WriteBytes(areas.keyAreaSign, PatternBytes(255));  // a signature one byte short
  EXPECT_FALSE(AssembleBootImage(ctx_, fx_.ws.app.m_nBoardType, areas, rebuilt));
  EXPECT_EQ(fx_.reporter.Messages(),
            (std::vector<std::string>{kMsgInvalidUncheckedAreaFile, kMsgInvalidKeyAreaSignFile}));
  // Board type 0 never reads the unchecked area, but the parameter area must
  // then be the short one.
  SetBoard(0);
  WriteBytes(areas.keyAreaSign, PatternBytes(256));
  fx_.reporter.Clear();
  EXPECT_FALSE(AssembleBootImage(ctx_, fx_.ws.app.m_nBoardType, areas, rebuilt));
  EXPECT_EQ(fx_.reporter.Messages(), std::vector<std::string>{kMsgInvalidParamAreaFile});
}

}  // namespace
}  // namespace tarnel
