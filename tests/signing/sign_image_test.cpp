// The whole-image signer. Every output is taken apart with plain byte reads;
// the signature is checked with the public key alone (key list lines 1 and 2)
// over the source bytes, the digest against one EVP call, and one output with
// the openssl command line.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "common/text.h"
#include "signing/sign_image.h"
#include "common/stream.h"
#include "support/test_support.h"
#include "signing/messages.h"

namespace tarnel {
namespace {

using test::ReadBytes;
using test::SplitLines;
using test::WriteBytes;
using test::WriteText;

uint32_t Le32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
         static_cast<uint32_t>(p[3]) << 24;
}

uint32_t BitwiseCrcMpeg2(const uint8_t* data, size_t n) {
  uint32_t crc = 0xFFFFFFFFu;
  for (size_t i = 0; i < n; ++i) {
    crc ^= static_cast<uint32_t>(data[i]) << 24;
    for (int b = 0; b < 8; ++b) crc = (crc & 0x80000000u) ? (crc << 1) ^ 0x04C11DB7u : crc << 1;
  }
  return crc;
}

std::string CString(const uint8_t* p, size_t max) {
  size_t n = 0;
  while (n < max && p[n] != 0) ++n;
  return std::string(reinterpret_cast<const char*>(p), n);
}

using test::EnvGuard;

uint32_t Stamp1(const std::tm& t) { return (uint32_t(t.tm_hour) << 16) + (uint32_t(t.tm_min) << 8) + uint32_t(t.tm_mday); }
uint32_t Stamp2(const std::tm& t) { return (uint32_t(t.tm_hour) << 16) + (uint32_t(t.tm_min) << 8) + uint32_t(t.tm_sec); }

class SignImage : public ::testing::Test {
 protected:
  test::MakeFixture fx;
  std::vector<std::string> keys = SplitLines(test::SharedKeyListText());
  EnvGuard noEpoch{"SOURCE_DATE_EPOCH", nullptr};

  void SetUp() override { fx.LoadKeys(); }

  bool Sign(const std::string& out, const std::string& src) {
    RunServices ctx(fx.ws, fx.reporter);
    return SignImageFile(ctx, out, src);
  }

  // Everything a board checks, from the bytes alone.
  void ExpectSigned(const std::vector<uint8_t>& source, const std::string& sourcePath,
                    const std::vector<uint8_t>& out) {
    const size_t n = source.size();
    const size_t dataBlocks = (n + 8191) / 8192;
    ASSERT_EQ(out.size(), 8192 * (dataBlocks + 1));
    ASSERT_TRUE(std::equal(source.begin(), source.end(), out.begin())) << "source bytes changed";
    for (size_t i = n; i < dataBlocks * 8192; ++i) ASSERT_EQ(out[i], 0xFF) << "fill at " << i;

    const uint8_t* h = out.data() + dataBlocks * 8192;
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(h), 32), "Corvantis_KELVA_ImgHead_MagicNum");
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(h + 32), 8), "v1.0.0.3");
    EXPECT_EQ(Le32(h + 48), 900u);
    EXPECT_EQ(Le32(h + 52), static_cast<uint32_t>(n));
    EXPECT_EQ(Le32(h + 56), 0u);
    EXPECT_EQ(Le32(h + 60), 1u);
    EXPECT_EQ(Le32(h + 64), 0u);
    EXPECT_EQ(Le32(h + 68), 0u);
    EXPECT_EQ(Le32(h + 72), 0u);
    EXPECT_EQ(Le32(h + 76), 1u);
    EXPECT_EQ(std::vector<uint8_t>(h + 80, h + 112), test::Sha256Of(source.data(), n));
    EXPECT_EQ(Le32(h + 112), 256u);
    EXPECT_TRUE(test::VerifyWithPublicKey(keys[0], keys[1], source.data(), n, h + 116, 256)) << "signature";
    EXPECT_EQ(CString(h + 372, 256), sourcePath.substr(0, 255));
    EXPECT_EQ(CString(h + 628, 256), fx.keyListPath.substr(0, 255));
    EXPECT_EQ(Le32(h + 884), 0u);
    EXPECT_EQ(Le32(h + 888), 0u);
    EXPECT_EQ(Le32(h + 892), 1u);
    EXPECT_EQ(Le32(h + 896), BitwiseCrcMpeg2(h, 896));
    for (size_t i = 900; i < 8192; ++i) ASSERT_EQ(h[i], 0) << "block byte " << i;
  }
};

TEST_F(SignImage, LayoutDigestAndSignatureForBoundaryLengths) {
  // Around the block size and the streaming engine's pieces.
  for (const size_t n : {size_t{0}, size_t{1}, size_t{8191}, size_t{8192}, size_t{8193}, kStreamPiece - 1,
                         kStreamPiece, kStreamPiece + 1, size_t{10485760}}) {
    SCOPED_TRACE(n);
    const auto source = test::PatternBytes(n, static_cast<uint32_t>(n) + 11);
    const std::string src = fx.inputDir + "image.bin";
    const std::string out = fx.outputDir + "image.img";
    WriteBytes(src, source);
    ASSERT_TRUE(Sign(out, src));
    EXPECT_TRUE(fx.reporter.Messages().empty());
    ExpectSigned(source, src, ReadBytes(out));
    // Progress within the step climbs to the length; no step is counted.
    const auto& progress = fx.reporter.StepProgress();
    ASSERT_FALSE(progress.empty());
    EXPECT_EQ(progress.back(), std::make_pair(uint64_t{n}, uint64_t{n}));
    for (size_t i = 1; i < progress.size(); ++i) EXPECT_LE(progress[i - 1].first, progress[i].first);
    EXPECT_TRUE(fx.reporter.Events().empty());
    fx.reporter.Clear();
  }
}

TEST_F(SignImage, OpensslCommandLineAcceptsTheSignature) {
  const auto source = test::PatternBytes(16000, 3);
  const std::string src = fx.inputDir + "boot.bin";
  const std::string out = fx.outputDir + "boot.img";
  WriteBytes(src, source);
  ASSERT_TRUE(Sign(out, src));
  const auto bytes = ReadBytes(out);
  ASSERT_EQ(bytes.size(), 3u * 8192);
  const uint8_t* h = bytes.data() + 2 * 8192;
  WriteBytes(fx.root / "sig.bin", std::vector<uint8_t>(h + 116, h + 372));
  test::WritePublicKeyPem(keys[0], keys[1], fx.root / "pub.pem");
  std::string output;
  const std::string cmd = "openssl dgst -sha256 -verify " + test::ShellQuote(fx.root / "pub.pem") + " -signature " +
                          test::ShellQuote(fx.root / "sig.bin") + " ";
  EXPECT_EQ(test::RunShell(cmd + test::ShellQuote(src), &output), 0) << output;
  EXPECT_NE(output.find("Verified OK"), std::string::npos) << output;
  // The same signature over the signed output (fill and block included) is refused.
  EXPECT_NE(test::RunShell(cmd + test::ShellQuote(out), &output), 0) << output;
}

TEST_F(SignImage, KeyLinesInLooseFormStillSign) {
  // Colons and blanks between digits, an odd trailing digit, digits in the two
  // skipped places and CRLF line ends all read as the same key.
  auto lines = keys;
  std::string n = "0x";
  for (size_t i = 2; i < keys[0].size(); i += 2) n += keys[0].substr(i, 2) + (i % 8 == 0 ? " " : ":");
  lines[0] = n;
  lines[1] = keys[1] + "F";
  lines[2] = "77" + keys[2].substr(2);
  std::string text;
  for (const auto& l : lines) text += l + "\r\n";
  const std::string loose = fx.inputDir + "loose_keys.txt";
  WriteText(loose, text);
  fx.ws.app.m_strKeysFile = loose;
  fx.ws.keyLines = KeyLines(lines);

  const auto source = test::PatternBytes(5000, 9);
  const std::string src = fx.inputDir + "a.bin";
  WriteBytes(src, source);
  ASSERT_TRUE(Sign(fx.outputDir + "a.img", src)) << testing::PrintToString(fx.reporter.Messages());
  const auto out = ReadBytes(fx.outputDir + "a.img");
  ASSERT_EQ(out.size(), 2u * 8192);
  EXPECT_TRUE(test::VerifyWithPublicKey(keys[0], keys[1], source.data(), source.size(), out.data() + 8192 + 116, 256));
  EXPECT_EQ(CString(out.data() + 8192 + 628, 256), loose);
}

TEST_F(SignImage, SourceDateEpochGivesIdenticalBytesAndUtcStamps) {
  EnvGuard epoch("SOURCE_DATE_EPOCH", "1700000000");  // 2023-11-14 22:13:20 UTC
  EnvGuard tz("TZ", "XYZ-5:45");                       // a local time far from UTC
  const auto source = test::PatternBytes(12345, 4);
  const std::string src = fx.inputDir + "r.bin";
  WriteBytes(src, source);
  ASSERT_TRUE(Sign(fx.outputDir + "r1.img", src));
  ASSERT_TRUE(Sign(fx.outputDir + "r2.img", src));
  const auto a = ReadBytes(fx.outputDir + "r1.img");
  const auto b = ReadBytes(fx.outputDir + "r2.img");
  EXPECT_EQ(a, b);
  ASSERT_EQ(a.size(), 3u * 8192);
  const uint8_t* h = a.data() + 2 * 8192;
  EXPECT_EQ(Le32(h + 40), (22u << 16) + (13u << 8) + 14u);
  EXPECT_EQ(Le32(h + 44), (22u << 16) + (13u << 8) + 20u);
}

TEST_F(SignImage, WithoutSourceDateEpochStampsAreLocalTime) {
  EnvGuard tz("TZ", "XYZ-5:45");
  const std::string src = fx.inputDir + "t.bin";
  WriteBytes(src, test::PatternBytes(10, 1));
  const std::time_t t0 = std::time(nullptr);
  ASSERT_TRUE(Sign(fx.outputDir + "t.img", src));
  const std::time_t t1 = std::time(nullptr);
  const auto out = ReadBytes(fx.outputDir + "t.img");
  ASSERT_EQ(out.size(), 2u * 8192);
  const uint32_t s1 = Le32(out.data() + 8192 + 40);
  const uint32_t s2 = Le32(out.data() + 8192 + 44);
  bool matched = false;
  for (std::time_t t = t0; t <= t1; ++t) {
    std::tm local{};
    ASSERT_NE(localtime_r(&t, &local), nullptr);
    matched = matched || (s1 == Stamp1(local) && s2 == Stamp2(local));
  }
  EXPECT_TRUE(matched) << std::hex << s1 << " " << s2;
}

// ---------------------------------------------------------------------------
// Failures: one exact message, false, the earlier output intact and no
// temporary file left next to it.

class SignImageFailure : public SignImage {
 protected:
  const std::vector<uint8_t> previous = test::PatternBytes(3000, 77);
  std::string src;
  std::string out;

  void SetUp() override {
    SignImage::SetUp();
    src = fx.inputDir + "part.bin";
    out = fx.outputDir + "part.img";
    WriteBytes(src, test::PatternBytes(9000, 2));
    WriteBytes(out, previous);
  }

  void ExpectFailure(const std::string& message) {
    EXPECT_FALSE(Sign(out, src));
    EXPECT_EQ(fx.reporter.Messages(), std::vector<std::string>{message});
    ExpectOutputFolderUntouched();
  }

  void ExpectOutputFolderUntouched() {
    EXPECT_EQ(ReadBytes(out), previous) << "earlier output changed";
    std::vector<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(fx.outputDir)) names.push_back(e.path().filename());
    EXPECT_EQ(names, std::vector<std::string>{"part.img"}) << "something left in the output folder";
  }

  // The signers take the key lines loaded for the run, never the file.
  void UseKeyList(const std::string& text) {
    fx.ws.app.m_strKeysFile = fx.inputDir + "other_keys.txt";
    WriteText(fx.ws.app.m_strKeysFile, text);
    fx.ws.keyLines = KeyLines(SplitLines(text));
  }
};

TEST_F(SignImageFailure, SourceMissingOrAFolder) {
  src = fx.inputDir + "absent.bin";
  ExpectFailure(Format(kMsgOpenFileFailed, src.c_str()));
  fx.reporter.Clear();
  src = fx.inputDir;
  ExpectFailure("Open file " + fx.inputDir + " failed!");
}

TEST_F(SignImageFailure, SourceUnreadable) {
  ASSERT_EQ(::chmod(src.c_str(), 0), 0);
  if (::access(src.c_str(), R_OK) == 0) GTEST_SKIP() << "running with rights that read any file";
  ExpectFailure("Open file " + src + " failed!");
}

TEST_F(SignImageFailure, OutputFolderMissingOrTheOutputIsAFolder) {
  const std::string missing = fx.root / "no_such_folder/part.img";
  EXPECT_FALSE(Sign(missing, src));
  EXPECT_EQ(fx.reporter.Messages(), std::vector<std::string>{"Failed to create the output file " + missing + "!"});
  fx.reporter.Clear();

  // A path through a file is never a folder, whatever our rights.
  const std::string throughFile = out + "/x.img";
  EXPECT_FALSE(Sign(throughFile, src));
  EXPECT_EQ(fx.reporter.Messages(), std::vector<std::string>{Format(kMsgCreateOutputFailed, throughFile.c_str())});
  fx.reporter.Clear();

  std::filesystem::create_directory(fx.outputDir + "folder.img");
  EXPECT_FALSE(Sign(fx.outputDir + "folder.img", src));
  EXPECT_EQ(fx.reporter.Messages(),
            std::vector<std::string>{Format(kMsgCreateOutputFailed, (fx.outputDir + "folder.img").c_str())});
  EXPECT_TRUE(std::filesystem::is_directory(fx.outputDir + "folder.img"));
  std::filesystem::remove(fx.outputDir + "folder.img");
  ExpectOutputFolderUntouched();
}

TEST_F(SignImageFailure, OutputFolderNotWritable) {
  ASSERT_EQ(::chmod(fx.outputDir.c_str(), 0555), 0);
  const bool writable = ::access(fx.outputDir.c_str(), W_OK) == 0;
  if (!writable) ExpectFailure(Format(kMsgCreateOutputFailed, out.c_str()));
  ASSERT_EQ(::chmod(fx.outputDir.c_str(), 0755), 0);
  if (writable) GTEST_SKIP() << "running with rights that write any folder";
}

TEST_F(SignImageFailure, FewerThanEightKeyLines) {
  std::string text;
  for (size_t i = 0; i < 7; ++i) text += keys[i] + "\n";
  UseKeyList(text);
  ExpectFailure("Failed to read mpi file!");
}

TEST_F(SignImageFailure, KeyListRemovedAfterTheLoadStillSigns) {
  // The keys were read once, when the list was loaded; nothing reads the file again.
  std::filesystem::remove(fx.keyListPath);
  ASSERT_TRUE(Sign(out, src)) << testing::PrintToString(fx.reporter.Messages());
}

TEST_F(SignImageFailure, Key1024Bits) {
  UseKeyList(test::KeyListTextWithBits(1024, 2048));
  ExpectFailure("Failed to make the sign!");
}

TEST_F(SignImageFailure, Key4096Bits) {
  UseKeyList(test::KeyListTextWithBits(4096, 2048));
  ExpectFailure("Failed to make the sign!");
}

TEST_F(SignImageFailure, ComponentsFromTwoKeys) {
  auto lines = keys;
  lines[3] = keys[13];  // the root key's p
  std::string text;
  for (const auto& l : lines) text += l + "\n";
  UseKeyList(text);
  ExpectFailure("Failed to make the sign!");
}

// A write error halfway through the pipelined copy: its message, and no
// output under the final name nor a temporary file beside it.
TEST_F(SignImageFailure, WriteErrorMidwayLeavesNoOutput) {
  WriteBytes(src, test::PatternBytes(3 * kStreamPiece + 5, 4));
  bool signedOk = true;
  {
    test::ScopedFileSizeLimit limit(kStreamPiece + 8192);
    signedOk = Sign(out, src);
  }
  EXPECT_FALSE(signedOk);
  EXPECT_EQ(fx.reporter.Messages(), std::vector<std::string>{Format(kMsgWriteOutputFailed, out.c_str())});
  ExpectOutputFolderUntouched();
}

TEST_F(SignImageFailure, SourceOf4GiBOrMoreIsRefused) {
  for (const off_t size : {off_t{1} << 32, (off_t{1} << 32) + 1}) {
    fx.reporter.Clear();
    const int fd = ::open(src.c_str(), O_WRONLY | O_TRUNC);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::ftruncate(fd, size), 0);
    ::close(fd);
    ExpectFailure("The file " + src + " is 4 GiB or larger and cannot be signed!");
  }
}

}  // namespace
}  // namespace tarnel
