// The readers against real outputs: both demo tables are signed by the built
// tarnel-cli (make --verify --report), every output reads back OK, and one
// flipped byte per region gives FAIL naming that region. Signatures and
// archives are cross-checked with the openssl and unzip command lines.
#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <filesystem>
#include <functional>
#include <set>
#include <tuple>
#include <nlohmann/json.hpp>

#include "boot/key_list.h"
#include "cli/demo.h"
#include "common/le.h"
#include "common/model.h"
#include "common/text.h"
#include "package/upgrade_package.h"
#include "pipeline/make_driver.h"
#include "pipeline/messages.h"
#include "support/test_support.h"
#include "verify/run_check.h"
#include "verify/verify.h"

namespace tarnel {
namespace {

namespace fs = std::filesystem;
using test::ReadBytes;
using test::ReadText;
using test::RunShell;
using test::ShellQuote;
using test::SplitLines;
using test::TempFolder;
using test::WriteBytes;
using test::WriteText;

constexpr size_t kBlock = 8192;

// CRC-32/MPEG-2, so a tampered header can be given a matching checksum (what
// a forger would do): the check must then name the field itself.
uint32_t Crc(const uint8_t* p, size_t n) {
  uint32_t crc = 0xFFFFFFFFu;
  for (size_t i = 0; i < n; ++i) {
    crc ^= uint32_t{p[i]} << 24;
    for (int k = 0; k < 8; ++k) crc = (crc & 0x80000000u) ? (crc << 1) ^ 0x04C11DB7u : crc << 1;
  }
  return crc;
}

void Reseal(std::vector<uint8_t>& bytes, size_t headerAt) {
  PutLe32(bytes.data() + headerAt + 896, Crc(bytes.data() + headerAt, 896));
}

// AES-128-CBC over the whole covered range in one EVP call; the last block is the MAC.
void Remac(std::vector<uint8_t>& bytes, const Key128& key, size_t covered, size_t macAt) {
  std::vector<uint8_t> out(covered + 16);
  const uint8_t iv[16] = {};
  EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
  int n = 0;
  ASSERT_EQ(EVP_EncryptInit_ex(ctx, EVP_aes_128_cbc(), nullptr, key.data(), iv), 1);
  EVP_CIPHER_CTX_set_padding(ctx, 0);
  ASSERT_EQ(EVP_EncryptUpdate(ctx, out.data(), &n, bytes.data(), static_cast<int>(covered)), 1);
  EVP_CIPHER_CTX_free(ctx);
  std::copy(out.begin() + n - 16, out.begin() + n, bytes.begin() + static_cast<long>(macAt));
}

// Offset of the first raw chunk's data in an Android sparse image.
size_t FirstRawData(const std::vector<uint8_t>& b) {
  size_t pos = 28;
  for (uint32_t i = 0; i < GetLe32(b.data() + 20); ++i) {
    if (GetLe16(b.data() + pos) == 0xCAC1) return pos + 12;
    pos += GetLe32(b.data() + pos + 8);
  }
  return 0;
}

// Offset of an entry's data, from its local header.
size_t FindEntryData(const std::vector<uint8_t>& b, const std::string& name) {
  for (size_t i = 0; i + 30 + name.size() <= b.size(); ++i) {
    if (GetLe32(b.data() + i) == 0x04034b50 && GetLe16(b.data() + i + 26) == name.size() &&
        std::equal(name.begin(), name.end(), b.begin() + static_cast<long>(i) + 30))
      return i + 30 + name.size() + GetLe16(b.data() + i + 28);
  }
  ADD_FAILURE() << name << " not found";
  return 0;
}

struct CliResult {
  int status = -1;
  std::string out;
};

CliResult Cli(const std::string& args) {
  CliResult r;
  r.status = RunShell(ShellQuote(TARNEL_CLI_PATH) + " " + args + " 2>&1", &r.out);
  return r;
}

// Both demo tables, signed once for the whole suite.
struct Demo {
  TempFolder root;
  std::string home, ws, input, keys, first, later;
  bool ready = false;
  std::string why;
};
Demo* g_demo = nullptr;

class Verify : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    g_demo = new Demo;
    Demo& d = *g_demo;
    const std::string built = std::string(TARNEL_HOME_DIR) + "/";
    d.home = d.root / "home/";
    fs::create_directories(d.home + "Config");
    // The archive is signed natively; Java is linked in when the build has
    // it, and is not needed.
    if (fs::exists(built + "jre/bin/java") && fs::exists(built + "Config/signapk.jar")) {
      fs::create_symlink(fs::canonical(built + "jre"), d.home + "jre");
      fs::create_symlink(fs::canonical(built + "Config/signapk.jar"), d.home + "Config/signapk.jar");
    }
    fs::copy_file(built + "Config/FlashConfig.xml", d.home + "Config/FlashConfig.xml");
    WriteText(d.home + "BurnConfig.ini", "[BurnConfig]\nMemory=512\n");
    d.ws = d.root / "ws/";
    if (Cli("demo " + ShellQuote(d.ws) + " --home " + ShellQuote(d.home)).status != 0) {
      d.why = "tarnel-cli demo failed";
      return;
    }
    d.input = d.ws + demo::kInputFolder + "/";
    d.keys = d.input + kDefaultKeyListName;
    d.first = d.ws + demo::kFirstGenOutput + "/";
    d.later = d.ws + demo::kLaterGenOutput + "/";
    for (const auto& [board, table, out] : {std::tuple{"0", demo::kFirstGenTable, d.first},
                                            std::tuple{"2", demo::kLaterGenTable, d.later}}) {
      const CliResult r = Cli("make --verify --report " + ShellQuote(out + "report.json") + " --board " + board +
                              " --config " + ShellQuote(d.input + table) + " --keys " + ShellQuote(d.keys) +
                              " --output " + ShellQuote(out) + " --home " + ShellQuote(d.home));
      if (r.status != 0) {
        d.why = "make failed: " + r.out;
        return;
      }
    }
    d.ready = true;
  }
  static void TearDownTestSuite() {
    delete g_demo;
    g_demo = nullptr;
  }
  void SetUp() override {
    if (!g_demo->ready) GTEST_SKIP() << g_demo->why;
    ASSERT_TRUE(verify::LoadKeys(g_demo->keys, keys_, why_)) << why_;
  }

  verify::FileResult Check(const std::string& path, int32_t board = -1) {
    verify::Options options;
    options.keys = &keys_;
    options.board = board;
    return verify::CheckFile(path, options);
  }

  // Copies an output (and its partner) into the test's folder, flips one
  // byte (or lets `edit` change it), and checks the copy.
  verify::FileResult Tampered(const std::string& from, const std::function<void(std::vector<uint8_t>&)>& edit,
                              int32_t board = -1, const std::string& partner = "") {
    const std::string name = fs::path(from).filename().string();
    std::vector<uint8_t> bytes = ReadBytes(from);
    edit(bytes);
    WriteBytes(tmp_ / name, bytes);
    if (!partner.empty()) fs::copy_file(partner, tmp_ / fs::path(partner).filename().string(),
                                        fs::copy_options::overwrite_existing);
    return Check(tmp_ / name, board);
  }

  static std::function<void(std::vector<uint8_t>&)> Flip(size_t at) {
    return [at](std::vector<uint8_t>& b) { b.at(at) ^= 0x01; };
  }

  static void ExpectFail(const verify::FileResult& r, const std::string& region) {
    EXPECT_FALSE(r.ok) << r.file;
    ASSERT_FALSE(r.problems.empty()) << r.file;
    EXPECT_EQ(r.problems.front().rfind(region, 0), 0u) << "first problem: " << r.problems.front();
  }

  verify::Keys keys_;
  std::string why_;
  TempFolder tmp_;
};

// ---------------------------------------------------------------------------
TEST_F(Verify, EveryOutputOfBothGenerationsReadsBackOk) {
  const Demo& d = *g_demo;
  const CliResult first = Cli("verify --keys " + ShellQuote(d.keys) + " --board 0 " + ShellQuote(d.first) + "*.img " +
                              ShellQuote(d.first) + "update.zip");
  EXPECT_EQ(first.status, 0) << first.out;
  const CliResult later = Cli("verify --json --keys " + ShellQuote(d.keys) + " " + ShellQuote(d.later) + "*.img " +
                              ShellQuote(d.later) + "update.zip");
  EXPECT_EQ(later.status, 0) << later.out;
  std::set<std::string> kinds;
  for (const std::string& line : SplitLines(first.out)) {
    EXPECT_EQ(line.rfind("OK ", 0), 0u) << line;
    kinds.insert(line.substr(line.rfind(": ") + 2));
  }
  const nlohmann::json document = nlohmann::json::parse(later.out);
  EXPECT_EQ(document["schema"], 1);
  const nlohmann::json& array = document["files"];
  ASSERT_EQ(array.size(), 7u);
  for (const auto& item : array) {
    EXPECT_TRUE(item["ok"].get<bool>()) << item.dump();
    kinds.insert(item["kind"].get<std::string>());
  }
  EXPECT_EQ(kinds, (std::set<std::string>{"key partition", "boot image (Qm5820RA100)", "MAC container (raw)",
                                          "MAC container (Ext4 chunked)", "MAC container (Yaffs)",
                                          "update package (MAC)", "boot image (boards 1-5)", "whole image (RSA)",
                                          "UBI image with section signatures",
                                          "Ext4 sparse image with section signatures", "update package (RSA)"}));

  // openssl agrees on the whole-image signature, and unzip on the archive inside each update.zip.
  const std::vector<std::string> lines = SplitLines(ReadText(d.keys));
  const std::vector<uint8_t> kernel = ReadBytes(d.later + "kernel.img");
  const size_t dataLength = GetLe32(kernel.data() + kernel.size() - kBlock + 52);
  WriteBytes(tmp_ / "data", std::vector<uint8_t>(kernel.begin(), kernel.begin() + static_cast<long>(dataLength)));
  WriteBytes(tmp_ / "sig", std::vector<uint8_t>(kernel.end() - kBlock + 116, kernel.end() - kBlock + 372));
  test::WritePublicKeyPem(lines[0], lines[1], tmp_ / "pub.pem");
  EXPECT_EQ(RunShell("openssl dgst -sha256 -verify " + ShellQuote(tmp_ / "pub.pem") + " -signature " +
                     ShellQuote(tmp_ / "sig") + " " + ShellQuote(tmp_ / "data")),
            0);
  const std::vector<uint8_t> package = ReadBytes(d.later + "update.zip");
  const size_t archiveLength = GetLe32(package.data() + package.size() - kBlock + 52);
  WriteBytes(tmp_ / "inner.zip", std::vector<uint8_t>(package.begin(), package.begin() + static_cast<long>(archiveLength)));
  std::string unzip;
  EXPECT_EQ(RunShell("unzip -t " + ShellQuote(tmp_ / "inner.zip"), &unzip), 0) << unzip;

  // info: the boot image's key area key is the key list's public key, as openssl fingerprints it.
  const CliResult info = Cli("info --json " + ShellQuote(d.later + "fastboot.img"));
  ASSERT_EQ(info.status, 0) << info.out;
  const nlohmann::json boot = nlohmann::json::parse(info.out)["files"].at(0);
  test::WritePublicKeyPem(lines[8], lines[9], tmp_ / "external.pem");
  std::string sum;
  ASSERT_EQ(RunShell("openssl pkey -pubin -in " + ShellQuote(tmp_ / "external.pem") + " -outform DER | sha256sum", &sum),
            0);
  EXPECT_EQ(boot["fingerprints"].at(0), nlohmann::json({{"key", "key_area_public_key"}, {"sha256", sum.substr(0, 64)}}));
  EXPECT_EQ(boot["fields"]["boot_area_length"], 205056);
}

TEST_F(Verify, MakeReportRecordsOutputsKeysAndClosingMessage) {
  const Demo& d = *g_demo;
  const nlohmann::json report = nlohmann::json::parse(ReadText(d.later + "report.json"));
  EXPECT_EQ(report["board"]["name"], "Qm5820RA200");
  EXPECT_EQ(report["message"], kMsgPackageDone);
  EXPECT_EQ(report["exit_status"], 0);
  ASSERT_EQ(report["outputs"].size(), 7u);
  for (const auto& output : report["outputs"]) {
    const std::string file = output["file"];
    std::string sum;
    ASSERT_EQ(RunShell("sha256sum " + ShellQuote(file), &sum), 0);
    EXPECT_EQ(sum.substr(0, 64), output["sha256"]) << file;
    EXPECT_EQ(output["size"].get<uint64_t>(), fs::file_size(file));
    EXPECT_NE(output["kind"], "unknown format") << file;
  }
  // The fingerprint is that of the DER public key, as openssl computes it.
  const std::vector<std::string> lines = SplitLines(ReadText(d.keys));
  test::WritePublicKeyPem(lines[0], lines[1], tmp_ / "pub.pem");
  std::string sum;
  ASSERT_EQ(RunShell("openssl pkey -pubin -in " + ShellQuote(tmp_ / "pub.pem") + " -outform DER | sha256sum", &sum), 0);
  EXPECT_EQ(sum.substr(0, 64), report["keys"][0]["sha256"]);

  // The upgrade archive: signed natively with the key file, for the
  // certificate whose public key openssl fingerprints the same way.
  const nlohmann::json& archive = report["archive"];
  EXPECT_EQ(archive["requested"], "native");
  EXPECT_EQ(archive["signer"], "native");
  EXPECT_EQ(archive["key"], "file");
  const std::string cert = d.input + "testkey.x509.pem";
  EXPECT_EQ(archive["certificate"]["path"], cert);
  ASSERT_EQ(RunShell("openssl x509 -pubkey -noout -in " + ShellQuote(cert) +
                         " | openssl pkey -pubin -outform DER | sha256sum", &sum), 0);
  EXPECT_EQ(sum.substr(0, 64), archive["certificate"]["public_key_sha256"]);
  // verify --report checks the archive against that certificate as it was.
  nlohmann::json changed = report;
  changed["archive"]["certificate"]["sha256"] = std::string(64, '0');
  WriteText(tmp_ / "changed.json", changed.dump());
  const CliResult r = Cli("verify --report " + ShellQuote(tmp_ / "changed.json"));
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.out.find("FAIL " + cert + ": SHA-256 differs from the report's"), std::string::npos) << r.out;
}

TEST_F(Verify, WholeImageRegions) {
  const std::string kernel = g_demo->later + "kernel.img";  // 3 MiB of data, no fill
  const std::string package = g_demo->later + "update.zip";
  const size_t block = fs::file_size(kernel) - kBlock;
  const size_t packageBlock = fs::file_size(package) - kBlock;
  ExpectFail(Tampered(kernel, Flip(12345)), "digest");
  ExpectFail(Tampered(package, Flip(packageBlock - 1)), Format("fill byte at 0x%zx", packageBlock - 1));
  ExpectFail(Tampered(kernel, Flip(block + 60)), "header checksum");
  ExpectFail(Tampered(kernel, [&](auto& b) { b[block + 64] ^= 1; Reseal(b, block); }), "header field reserved at 64");
  ExpectFail(Tampered(kernel, [&](auto& b) { b[block + 80] ^= 1; Reseal(b, block); }), "digest");
  ExpectFail(Tampered(kernel, [&](auto& b) { b[block + 200] ^= 1; Reseal(b, block); }), "signature");
  ExpectFail(Tampered(kernel, Flip(block + 4000)), "signature block padding at");
  ExpectFail(Tampered(kernel, [](auto& b) { b.resize(b.size() - 100); }), "truncated");
  ExpectFail(Tampered(kernel, [](auto& b) { b.resize(b.size() + 100, 0); }), "bytes after the end");

  // Keys that did not sign it.
  WriteText(tmp_ / "other_keys.txt", test::SharedKeyListText());
  verify::Keys other;
  ASSERT_TRUE(verify::LoadKeys(tmp_ / "other_keys.txt", other, why_));
  verify::Options options;
  options.keys = &other;
  ExpectFail(verify::CheckFile(kernel, options), "signature");

  // openssl rejects the tampered signature too.
  std::vector<uint8_t> bytes = ReadBytes(kernel);
  bytes[block + 200] ^= 1;
  const std::vector<std::string> lines = SplitLines(ReadText(g_demo->keys));
  EXPECT_FALSE(test::VerifyWithPublicKey(lines[0], lines[1], bytes.data(), block, bytes.data() + block + 116, 256));
}

TEST_F(Verify, SectionPairRegions) {
  const std::string ubi = g_demo->later + "rootfs.img", ubiSign = g_demo->later + "rootfs_Sign.img";
  const std::string ext4 = g_demo->later + "system.img", ext4Sign = g_demo->later + "system_Sign.img";
  ExpectFail(Tampered(ubi, Flip(2 * 1048576 + 7), -1, ubiSign), "section 2 digest");
  ExpectFail(Tampered(ubiSign, [](auto& b) { b[kBlock + 300] ^= 1; Reseal(b, kBlock); }, -1, ubi),
             "section 1 signature");
  ExpectFail(Tampered(ubiSign, Flip(kBlock + 52), -1, ubi), "section 1 header checksum");
  const size_t ubiTail = fs::file_size(ubiSign) - kBlock;
  ExpectFail(Tampered(ubiSign, [&](auto& b) { b[ubiTail + 300] ^= 1; Reseal(b, ubiTail); }, -1, ubi),
             "signature file whole-file block signature");
  // Naming either file checks the pair; one without the other fails.
  EXPECT_TRUE(Check(ubiSign).ok);
  fs::copy_file(ubiSign, tmp_ / "alone_Sign.img");
  ExpectFail(Check(tmp_ / "alone_Sign.img"), "image alone.img missing");

  // Ext4: the 28-byte sparse header heads the map after the section blocks.
  const size_t sections = GetLe32(ReadBytes(ext4Sign).data() + 892);
  const size_t map = sections * kBlock;
  ExpectFail(Tampered(ext4Sign, Flip(map + 40), -1, ext4), Format("sparse map at 0x%zx", map + 40));
  const size_t raw = FirstRawData(ReadBytes(ext4));
  ASSERT_GT(raw, 0u);
  ExpectFail(Tampered(ext4, Flip(raw + 5), -1, ext4Sign), "section");
  ExpectFail(Tampered(ext4, [](auto& b) { PutLe32(b.data() + 20, 0x40000000u); }, -1, ext4Sign), "sparse header");
  ExpectFail(Tampered(ext4, [](auto& b) { b.resize(b.size() / 2); }, -1, ext4Sign), "sparse chunk");
}

TEST_F(Verify, MacContainerRegions) {
  const Demo& d = *g_demo;
  const std::string raw = d.first + "kernel.img", chunked = d.first + "system.img", yaffs = d.first + "userdata.img";
  ExpectFail(Tampered(raw, Flip(2048 + 777)), "MAC");
  ExpectFail(Tampered(raw, Flip(300)), "fill byte at 0x12c");
  ExpectFail(Tampered(raw, Flip(60)), "header field covered length");  // source length one more: D grows
  const size_t rawMac = 2048 + 3 * 1048576;
  ExpectFail(Tampered(raw, Flip(rawMac + 3)), "MAC");
  ExpectFail(Tampered(raw, Flip(rawMac + 100)), Format("fill byte at 0x%zx", rawMac + 100));

  const std::vector<uint8_t> c = ReadBytes(chunked);
  const size_t source = GetLe32(c.data() + 2621440 + 60), data = 2621440;
  ExpectFail(Tampered(chunked, Flip(100)), "chunk 0 MAC");
  ExpectFail(Tampered(chunked, Flip(source + 10)), Format("fill byte at 0x%zx", source + 10));
  ExpectFail(Tampered(chunked, Flip(data + 2048 + 16 * 2 + 1)), "chunk 2 MAC");
  ExpectFail(Tampered(chunked, Flip(data + 84)), "header field chunk count");

  // Yaffs, NAND 2K + 64 spare: nine raw blocks of data, then the header slot and the table.
  const size_t slot = 9 * 64 * 2112, table = slot + 2112;
  ExpectFail(Tampered(yaffs, Flip(5000)), "chunk 0 MAC");
  EXPECT_TRUE(Tampered(yaffs, Flip(2048 + 10)).ok);  // spare bytes are the flash's, not covered
  ExpectFail(Tampered(yaffs, Flip(slot + 200)), Format("fill byte at 0x%zx", slot + 200));
  ExpectFail(Tampered(yaffs, Flip(table + 17)), "chunk 1 MAC");
  ExpectFail(Tampered(yaffs, Flip(table + 40)), Format("fill byte at 0x%zx", table + 40));

  // A key list whose MAC key differs.
  std::vector<std::string> lines = SplitLines(ReadText(d.keys));
  lines[22][0] = lines[22][0] == '0' ? '1' : '0';
  std::string text;
  for (const std::string& l : lines) text += l + "\n";
  WriteText(tmp_ / "other_keys.txt", text);
  verify::Keys other;
  ASSERT_TRUE(verify::LoadKeys(tmp_ / "other_keys.txt", other, why_));
  verify::Options options;
  options.keys = &other;
  ExpectFail(verify::CheckFile(raw, options), "MAC");
}

TEST_F(Verify, KeyPartitionAndBootRegions) {
  const Demo& d = *g_demo;
  const std::string keyPart = d.first + "KeyPart.img";  // 2K pages, 128K blocks
  const size_t covered = 2048 + 2048;
  ExpectFail(Tampered(keyPart, Flip(2048 + 10), 0), "MAC");
  ExpectFail(Tampered(keyPart, [&](auto& b) { b[2048 + 10] ^= 1; Remac(b, keys_.v2, covered, covered); }, 0),
             "key record key");
  ExpectFail(Tampered(keyPart, [&](auto& b) { b[2048 + 2] ^= 1; Remac(b, keys_.v2, covered, covered); }, 0),
             "key record id");
  ExpectFail(Tampered(keyPart, [&](auto& b) { b[2048 + 30] ^= 1; Remac(b, keys_.v2, covered, covered); }, 0),
             "key record filler");
  ExpectFail(Check(keyPart, 1), "key record key");  // the other first-generation board derives another key
  EXPECT_TRUE(Check(keyPart, -1).needsBoard);

  const std::string boot = d.later + "fastboot.img";
  const size_t param = 772, paramSig = 5888, bootArea = 6176;
  ExpectFail(Tampered(boot, Flip(10)), "key area public key");
  ExpectFail(Tampered(boot, Flip(600)), "key area signature");
  ExpectFail(Tampered(boot, Flip(param + 100)), "parameter area signature");
  ExpectFail(Tampered(boot, Flip(paramSig + 9)), "parameter area signature");
  ExpectFail(Tampered(boot, Flip(6144 + 3)), "unchecked area");
  ExpectFail(Tampered(boot, Flip(bootArea + 4)), "boot area signature");
  ExpectFail(Tampered(boot, Flip(param + 8)), "parameter area words");
  ExpectFail(Tampered(boot, [](auto& b) { b.resize(b.size() - 1); }), "truncated");
  ExpectFail(Check(boot, 0), "board");
  const std::string shortBoot = d.first + "fastboot.img";
  ExpectFail(Tampered(shortBoot, [](auto& b) { b[772 + 28] = 0; }), "parameter area");
}

TEST_F(Verify, ArchiveRegions) {
  const Demo& d = *g_demo;
  // The Android-signed archive of the last run: update.zip before its seal
  // (the run leaves nothing of it in Temp).
  const std::vector<uint8_t> sealed = ReadBytes(d.later + "update.zip");
  const size_t signedLength = GetLe32(sealed.data() + sealed.size() - kBlock + 52);
  fs::create_directories(tmp_ / "unsealed");
  // Tampered() writes its copies into tmp_ itself.
  const std::string archive = tmp_ / ("unsealed/" + std::string(kSignedPackageName));
  WriteBytes(archive, std::vector<uint8_t>(sealed.begin(), sealed.begin() + static_cast<long>(signedLength)));
  EXPECT_TRUE(Check(archive, 2).ok);
  const std::vector<uint8_t> bytes = ReadBytes(archive);
  const size_t comment = GetLe16(bytes.data() + bytes.size() - 2);
  ExpectFail(Tampered(archive, Flip(bytes.size() - comment + 30)), "Android signature");
  ExpectFail(Tampered(archive, [](auto& b) { b.resize(b.size() - 1); }), "archive directory");
  // A flipped byte inside an entry's data: unzip -t and the reader both refuse it.
  const size_t kernelData = FindEntryData(bytes, "kernel.img");
  std::vector<uint8_t> broken = bytes;
  broken[kernelData + 1000] ^= 1;
  WriteBytes(tmp_ / "broken.zip", broken);
  EXPECT_NE(RunShell("unzip -tq " + ShellQuote(tmp_ / "broken.zip")), 0);
  ExpectFail(Check(tmp_ / "broken.zip", 2), "entry kernel.img");
  // Another certificate does not verify the Android signature.
  ASSERT_EQ(RunShell("openssl req -x509 -newkey rsa:2048 -nodes -subj /CN=other -days 1 -keyout " +
                     ShellQuote(tmp_ / "k.pem") + " -out " + ShellQuote(tmp_ / "other.pem") + " 2>/dev/null"),
            0);
  verify::Options options;
  options.keys = &keys_;
  options.androidCert = tmp_ / "other.pem";
  ExpectFail(verify::CheckFile(archive, options), "Android signature");
  // An entry whose bytes are intact as stored but whose own signature no longer holds.
  std::vector<uint8_t> kernel = ReadBytes(d.later + "kernel.img");
  kernel[100] ^= 1;
  fs::create_directories(tmp_ / "entries");
  WriteBytes(tmp_ / "entries/kernel.img", kernel);
  ASSERT_EQ(RunShell("zip -q -j " + ShellQuote(tmp_ / "repacked.zip") + " " + ShellQuote(tmp_ / "entries/kernel.img")), 0);
  ExpectFail(Check(tmp_ / "repacked.zip", 2), "entry kernel.img: digest");
  // Inside update.zip the seal catches the same byte first.
  ExpectFail(Tampered(d.later + "update.zip", Flip(kernelData + 1000)), "digest");
}

TEST_F(Verify, BadInputFailsWithoutCrashing) {
  WriteBytes(tmp_ / "empty.img", {});
  ExpectFail(Check(tmp_ / "empty.img"), "empty file");
  WriteBytes(tmp_ / "garbage.img", test::PatternBytes(100000, 7));
  ExpectFail(Check(tmp_ / "garbage.img"), "no known header");
  ExpectFail(Check(tmp_ / "missing.img"), "cannot be read");
  // Every output cut at a few places: a FAIL, never a crash.
  for (const std::string& dir : {g_demo->first, g_demo->later}) {
    for (const auto& entry : fs::directory_iterator(dir)) {
      if (entry.path().extension() == ".json") continue;
      const std::vector<uint8_t> bytes = ReadBytes(entry.path().string());
      for (size_t cut : {size_t{100}, bytes.size() / 2, bytes.size() - 1}) {
        WriteBytes(tmp_ / "cut.img", std::vector<uint8_t>(bytes.begin(), bytes.begin() + static_cast<long>(cut)));
        EXPECT_FALSE(Check(tmp_ / "cut.img", 0).ok) << entry.path() << " cut at " << cut;
      }
    }
  }
  // The command line: exit 1 for a failing file, 2 for usage errors.
  const std::string keys = ShellQuote(g_demo->keys);
  EXPECT_EQ(Cli("verify --keys " + keys + " " + ShellQuote(tmp_ / "garbage.img")).status, 1);
  EXPECT_EQ(Cli("verify --keys " + keys + " " + ShellQuote(g_demo->first + "KeyPart.img")).status, 2);
  EXPECT_EQ(Cli("verify --keys " + ShellQuote(tmp_ / "nokeys.txt") + " " + ShellQuote(tmp_ / "garbage.img")).status, 2);
  const CliResult fail = Cli("verify --keys " + keys + " " + ShellQuote(tmp_ / "garbage.img"));
  EXPECT_EQ(fail.out, "FAIL " + (tmp_ / "garbage.img") + ": unknown format: no known header\n");
}

// A byte that changes between writing and reading back stops the run.
TEST(ReadBack, MakeVerifyCatchesAnOutputChangedAfterWriting) {
  test::MakeFixture fx(2);
  fx.LoadKeys();
  fx.AddRow("kernel", kFileTypeNonFs, "EMMC_8G", kUpgradeNo, "kernel.bin", test::PatternBytes(20000, 3));
  // Flips a byte of the output during the pause before the closing message,
  // after everything was written and before the read-back.
  class Flipper : public RecordingReporter {
   public:
    explicit Flipper(std::string path) : path_(std::move(path)) {}
    void Pause(int milliseconds) override {
      std::vector<uint8_t> b = ReadBytes(path_);
      b[500] ^= 1;
      WriteBytes(path_, b);
      RecordingReporter::Pause(milliseconds);
    }

   private:
    std::string path_;
  };
  Flipper seen(fx.outputDir + "kernel.img");
  RunOptions options;
  options.readBack = true;
  const RunOutcome outcome = RunMake(fx.ws, seen, options);
  EXPECT_FALSE(outcome.Succeeded());
  EXPECT_EQ(outcome.step, RunStep::ReadBack);
  const std::string message = Format(kMsgReadBackFailed, (fx.outputDir + "kernel.img").c_str(), "digest");
  EXPECT_EQ(outcome.message, message);
  EXPECT_EQ(seen.Messages(), std::vector<std::string>{message});
  EXPECT_EQ(seen.Positions(), (std::vector<int>{0, 1, 1, 0}));
}

}  // namespace
}  // namespace tarnel
