// The key list file, the temporary key files cut from it, 128-bit key lines
// and the key record text. Expected bytes are written out literally; the
// temporary root key is checked by signing with it and verifying with the
// root key's public lines through OpenSSL.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "boot/key_list.h"
#include "signing/crypto.h"
#include "signing/sign_image.h"
#include "support/test_support.h"

namespace tarnel {
namespace {

using test::ReadBytes;
using test::ReadText;
using test::SplitLines;
using test::TempFolder;
using test::WriteText;

std::string Join(const std::vector<std::string>& lines, const std::string& end = "\n") {
  std::string out;
  for (const auto& l : lines) out += l + end;
  return out;
}

std::vector<std::string> Messages(const std::string& m) { return {m}; }

class KeyListLoad : public ::testing::Test {
 protected:
  TempFolder dir;
  Workspace ws;
  RecordingReporter reporter;
  std::vector<std::string> lines = SplitLines(test::SharedKeyListText());

  bool Load(const std::string& text) {
    const std::string path = dir / "keys.txt";
    WriteText(path, text);
    return LoadKeyListFile(ws, reporter, path);
  }
};

TEST_F(KeyListLoad, TwentyThreeLinesLoadWithOrWithoutFinalBreak) {
  ASSERT_EQ(lines.size(), 23u);
  const std::string full = Join(lines);
  for (const std::string& text : {full, full.substr(0, full.size() - 1), Join(lines, "\r\n"), full + "\n",
                                  full + "\nthe 25th line is never read\n"}) {
    ws = Workspace{};
    reporter.Clear();
    ASSERT_TRUE(Load(text));
    EXPECT_TRUE(reporter.Messages().empty());
    EXPECT_EQ(ws.keyLines, lines);
    EXPECT_EQ(ws.app.m_strKeysFile, dir / "keys.txt");
  }
}

TEST_F(KeyListLoad, LinesAreStoredTrimmed) {
  auto padded = lines;
  padded[0] = " \t" + lines[0] + "  ";
  padded[22] = lines[22] + " \t ";
  ASSERT_TRUE(Load(Join(padded)));
  EXPECT_EQ(ws.keyLines, lines);
}

TEST_F(KeyListLoad, RejectedFilesKeepWhatWasLoaded) {
  const std::string good = dir / "good.txt";
  WriteText(good, Join(lines));
  ASSERT_TRUE(LoadKeyListFile(ws, reporter, good));

  auto withBlank = lines;
  withBlank[4] = " \t ";
  auto withEmpty = lines;
  withEmpty[22] = "";
  std::vector<std::string> twentyTwo(lines.begin(), lines.begin() + 22);
  const std::vector<std::string> bad = {
      Join(twentyTwo),
      Join(withBlank),
      Join(withEmpty),
      Join(lines) + "   \n",  // a 24th line of blanks
      Join(lines) + "x",     // a 24th line of text
      Join(lines) + std::string(2 << 20, 'x') + "\n",  // a 24th line too long to read whole
      "0x" + std::string(kKeyListMaxBytes, '1') + "\n" + Join(lines),  // no key line is this long
      "",
  };
  for (size_t i = 0; i < bad.size(); ++i) {
    SCOPED_TRACE(i);
    reporter.Clear();
    EXPECT_FALSE(Load(bad[i]));
    EXPECT_EQ(reporter.Messages(), Messages("Invalid key list file!"));
    EXPECT_EQ(ws.keyLines, lines);
    EXPECT_EQ(ws.app.m_strKeysFile, good);
  }

  reporter.Clear();
  EXPECT_FALSE(LoadKeyListFile(ws, reporter, dir / "missing.txt"));
  EXPECT_EQ(reporter.Messages(), Messages("Failed to load the key list file!"));
  reporter.Clear();
  EXPECT_FALSE(LoadKeyListFile(ws, reporter, dir.Path()));
  EXPECT_EQ(reporter.Messages(), Messages("Failed to load the key list file!"));
  EXPECT_EQ(ws.keyLines, lines);
  EXPECT_EQ(ws.app.m_strKeysFile, good);
}

// The kernel's flags of the mapping that holds `p` ("dd": left out of core
// dumps), from /proc/self/smaps; "" when no mapping holds it.
std::string MappingFlags(const void* p) {
  const auto at = reinterpret_cast<uintptr_t>(p);
  std::ifstream smaps("/proc/self/smaps");
  std::string line;
  bool inside = false;
  while (std::getline(smaps, line)) {
    unsigned long long start = 0, end = 0;
    char dash = 0;
    std::istringstream head(line);
    if (head >> std::hex >> start >> dash >> end && dash == '-') {
      inside = start <= at && at < end;
    } else if (inside && line.rfind("VmFlags:", 0) == 0) {
      return line.substr(8) + " ";
    }
  }
  return "";
}

// The lines are views into pages that core dumps leave out; once a helper
// is chosen as the run's signer, the private lines are wiped in place.
TEST(KeyListMemory, LinesLiveInPagesLeftOutOfCoreDumpsAndPrivateOnesAreWiped) {
  test::MakeFixture fx;
  fx.LoadKeys();
  const std::vector<std::string> texts = fx.KeyLineTexts();
  ASSERT_EQ(fx.ws.keyLines.size(), kKeyListLines);
  std::vector<std::string_view> before(fx.ws.keyLines.begin(), fx.ws.keyLines.end());
  for (std::string_view line : before) EXPECT_NE(MappingFlags(line.data()).find(" dd "), std::string::npos);

  fx.ws.app.m_strKeysFile = fx.keyListPath;
  RunServices ctx(fx.ws, fx.reporter);
  ctx.signerSpec = "exec:/bin/true";
  ASSERT_TRUE(OpenRunSigner(ctx));
  for (size_t i = 0; i < kKeyListLines; ++i) {
    SCOPED_TRACE(i + 1);
    const bool secret = (i >= 2 && i < 8) || (i >= 12 && i < 18);
    // The old text, read where it was: zeros for the private lines.
    const std::string_view old = before[i];
    EXPECT_EQ(old == std::string(old.size(), '\0'), secret);
    EXPECT_EQ(fx.ws.keyLines[i], secret ? std::string() : texts[i]);
  }
}

// ---------------------------------------------------------------------------

// Key files that runs before keys stayed in memory left in Temp are wiped:
// a regular file is overwritten before it goes, a planted link or a file with
// a second name is removed without touching what it points at.
TEST(StaleKeyFiles, AreWipedWithoutFollowingLinks) {
  test::TempFolder dir;
  const std::string temp = dir / "Temp/";
  std::filesystem::create_directories(temp);
  const std::string outside = dir / "precious.txt";
  WriteText(outside, "keep me");
  WriteText(temp + "ExternalPrivateKey.txt", "0xSECRET\n");
  std::filesystem::create_symlink(outside, temp + "RootPrivateKey.txt");
  std::filesystem::create_hard_link(outside, temp + "KeyPart.txt");
  // An open handle sees the bytes that stay on the disk after the unlink.
  const std::string opened = temp + "TempKeyPart.txt";
  WriteText(opened, "0123456789");
  const int fd = ::open(opened.c_str(), O_RDONLY);
  ASSERT_GE(fd, 0);
  WriteText(temp + "ExternalPublicKey.txt", "public");

  EXPECT_TRUE(RemoveStaleKeyFiles(temp));
  for (const char* name : kStaleKeyFiles)
    EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(temp + name))) << name;
  EXPECT_EQ(ReadText(outside), "keep me");
  EXPECT_EQ(ReadText(temp + "ExternalPublicKey.txt"), "public");
  char buf[16] = {};
  EXPECT_EQ(::pread(fd, buf, sizeof(buf), 0), 10);
  ::close(fd);
  EXPECT_EQ(std::string(buf, 10), std::string(10, '\0'));
  // Nothing there: nothing to do.
  EXPECT_TRUE(RemoveStaleKeyFiles(temp));
}

// The in-memory conversion of the key partition agrees with the file one.
TEST(KeyRecordsFromText, MatchesTheFileConversion) {
  test::TempFolder dir;
  const std::string key = "00112233445566778899AABBCCDDEEFF";
  for (const std::string& text : {"KEYNUM=1\nKEY=0002 " + key, "KEYNUM=2\r\nKEY=0002 " + key + "\r\nKEY=0003 " + key + "\n",
                                  std::string("KEYNUM=0"), "KEYNUM=1\nKEY=0002 " + key + "\n\n",
                                  "KEYNUM=2\nKEY=0002 " + key, "KEYNUM=1\nKEY=0002 " + key.substr(1),
                                  std::string("KEYNUM1\n")}) {
    RecordingReporter fileReporter, memoryReporter;
    WriteText(dir / "src.txt", text);
    const bool fileOk = ConvertKeyRecordText(fileReporter, dir / "dst.bin", dir / "src.txt");
    SecureBytes records;
    EXPECT_EQ(KeyRecordsFromText(memoryReporter, text, records), fileOk) << text;
    EXPECT_EQ(memoryReporter.Messages(), fileReporter.Messages()) << text;
    if (fileOk) {
      EXPECT_EQ(std::vector<uint8_t>(records.data(), records.data() + records.size()), ReadBytes(dir / "dst.bin"));
    }
  }
}

// ---------------------------------------------------------------------------

TEST(DecodeKey128, PairsOfDigits) {
  EXPECT_EQ(DecodeKey128("00112233445566778899AABBCCDDEEFF"),
            (Key128{0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88, 0x99, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF}));
  EXPECT_EQ(DecodeKey128("aabbccddeeff00112233445566778899trailing"),
            (Key128{0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF, 0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88, 0x99}));
  // 31 characters: byte 15 is the single last digit.
  const Key128 shortKey = DecodeKey128("0102030405060708090A0B0C0D0E0FC");
  EXPECT_EQ(shortKey[14], 0x0F);
  EXPECT_EQ(shortKey[15], 0x0C);
  EXPECT_EQ(DecodeKey128(""), Key128{});
  // Leading valid digits of a pair count, the rest is ignored.
  const Key128 odd = DecodeKey128("5zz5G1");
  EXPECT_EQ(odd[0], 0x05);
  EXPECT_EQ(odd[1], 0x00);
  EXPECT_EQ(odd[2], 0x00);
  EXPECT_EQ(odd[3], 0x00);
}

// ---------------------------------------------------------------------------

class KeyRecordText : public ::testing::Test {
 protected:
  TempFolder dir;
  RecordingReporter reporter;
  const std::string key = "000102030405060708090A0B0C0D0E0F";
  std::string src = dir / "KeyPart.txt";
  std::string dst = dir / "TempKeyPart.txt";

  bool Convert(const std::string& text) {
    WriteText(src, text);
    return ConvertKeyRecordText(reporter, dst, src);
  }
  void ExpectInvalid(const std::string& text) {
    SCOPED_TRACE(text);
    reporter.Clear();
    test::WriteBytes(dst, {0xAB});
    EXPECT_FALSE(Convert(text));
    EXPECT_EQ(reporter.Messages(), Messages("Invaild source file context!"));
    EXPECT_EQ(ReadBytes(dst), std::vector<uint8_t>{0xAB});  // the earlier file stays
  }
};

TEST_F(KeyRecordText, RecordBytes) {
  EXPECT_EQ(kKeyRecordSize, 36u);
  ASSERT_TRUE(Convert("KEYNUM=1\nKEY=0002 " + key + "\n"));
  EXPECT_TRUE(reporter.Messages().empty());
  std::vector<uint8_t> expected = {0x10, 0x00, 0x02, 0x00};
  for (uint8_t i = 0; i < 16; ++i) expected.push_back(i);
  expected.insert(expected.end(), 16, 0xFF);
  EXPECT_EQ(ReadBytes(dst), expected);

  // Two records in text order; the separator may be anything; CRLF and blanks around lines are fine.
  ASSERT_TRUE(Convert("  KEYNUM= 2 \r\nKEY=ABCDx" + key + "\r\n\tKEY=0001 ffeeddccbbaa99887766554433221100  "));
  const auto two = ReadBytes(dst);
  ASSERT_EQ(two.size(), 72u);
  EXPECT_EQ(two[2], 0xCD);
  EXPECT_EQ(two[3], 0xAB);
  EXPECT_EQ(two[36 + 2], 0x01);
  EXPECT_EQ(two[36 + 3], 0x00);
  EXPECT_EQ(two[36 + 4], 0xFF);
  EXPECT_EQ(two[36 + 19], 0x00);
  EXPECT_EQ(std::vector<uint8_t>(two.begin() + 56, two.end()), std::vector<uint8_t>(16, 0xFF));

  ASSERT_TRUE(Convert("KEYNUM=0"));
  EXPECT_TRUE(ReadBytes(dst).empty());
  ASSERT_TRUE(Convert("KEYNUM=0\n"));
  EXPECT_TRUE(ReadBytes(dst).empty());
}

TEST_F(KeyRecordText, InvalidTexts) {
  const std::string line = "KEY=0002 " + key;
  ExpectInvalid("");
  ExpectInvalid("KEYNUM=1\n");                      // count 1, no key line
  ExpectInvalid("KEYNUM=2\n" + line + "\n");        // count differs
  ExpectInvalid("KEYNUM=0\n" + line + "\n");
  ExpectInvalid("keynum=1\n" + line + "\n");        // not "KEYNUM="
  ExpectInvalid("KEYNUM=1\n" + line.substr(0, 40) + "\n");  // 40 characters
  ExpectInvalid("KEYNUM=1\n" + line + "0\n");       // 42 characters
  ExpectInvalid("KEYNUM=1\nKEX=0002 " + key + "\n");
  ExpectInvalid("KEYNUM=1\n" + line + "\n\n");      // a blank line after the last key
}

TEST_F(KeyRecordText, FileProblems) {
  EXPECT_FALSE(ConvertKeyRecordText(reporter, dst, dir / "absent.txt"));
  EXPECT_EQ(reporter.Messages(), Messages("Found not the source file!"));
  reporter.Clear();
  EXPECT_FALSE(ConvertKeyRecordText(reporter, dst, dir.Path()));
  EXPECT_EQ(reporter.Messages(), Messages("Found not the source file!"));
  reporter.Clear();
  WriteText(src, "KEYNUM=0\n");
  EXPECT_FALSE(ConvertKeyRecordText(reporter, dir / "no/such/folder.bin", src));
  EXPECT_EQ(reporter.Messages(), Messages("Failed to create the destination file!"));
}

}  // namespace
}  // namespace tarnel
