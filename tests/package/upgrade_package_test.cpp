#include "package/upgrade_package.h"

#include <gtest/gtest.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <map>

#include "cli/demo.h"
#include "common/le.h"
#include "common/platform.h"
#include "common/text.h"
#include "package/archive_oracles.h"
#include "pipeline/make_driver.h"
#include "pipeline/messages.h"
#include "signing/signer.h"
#include "boot/key_list.h"
#include "pipeline/run_plan.h"
#include "support/test_support.h"

namespace tarnel {
namespace {

namespace fs = std::filesystem;
using test::EnvGuard;
using test::MakeFixture;
using test::ReadBytes;
using test::WriteBytes;

constexpr const char* kBinaryEntry = "META-INF/com/google/android/update-binary";
constexpr const char* kScriptEntry = "META-INF/com/google/android/updater-script";
constexpr const char* kOtaCertEntry = "META-INF/com/android/otacert";

std::vector<std::string> FilesIn(const std::string& folder) {
  std::vector<std::string> names;
  for (const auto& e : fs::directory_iterator(folder)) names.push_back(e.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

std::vector<std::string> Sorted(std::vector<std::string> v) {
  std::sort(v.begin(), v.end());
  return v;
}

class UpgradePackageTest : public ::testing::Test {
 protected:
  MakeFixture fx{2};
  test::TempFolder scratch;

  void SetUp() override {
    fx.LoadKeys();
    fx.ws.app.m_strInputDir = fx.inputDir;
    std::string error;
    ASSERT_TRUE(demo::WritePackageSamples(fx.inputDir, error)) << error;
  }

  std::string TempDir() const { return fx.ws.app.TempDir(); }
  std::string PackagePath() const { return TempDir() + kPackageName; }
  std::string SignedPackagePath() const { return TempDir() + kSignedPackageName; }

  bool Make() {
    RunServices ctx(fx.ws, fx.reporter);
    const bool ok = MakeUpgradePackage(ctx, fx.ws, PackagePath());
    upgradeFlashName = PlanRun(fx.ws).package.flashName;
    return ok;
  }
  void SignApk() {
    RunServices ctx(fx.ws, fx.reporter);
    RunSignApk(ctx, fx.ws.app);
  }
  // Seals the Android-signed package as the run does, for the upgrade flash `flashName`.
  bool Seal(const std::string& flashName) {
    RunServices ctx(fx.ws, fx.reporter);
    const tagFlashData* flash = FindFlash(fx.ws.flashTable, flashName);
    const std::optional<FlashGeometry> geometry = flash ? PackageGeometry(*flash) : std::nullopt;
    const Key128 v1 = DecodeKey128(fx.ws.keyLines.back());
    return SignUpgradePackage(ctx, geometry, v1, IsFirstGeneration(fx.ws.app.m_nBoardType),
                              fx.outputDir + "update.zip", SignedPackagePath());
  }
  bool RunWholeMake() { return RunMake(fx.ws, fx.reporter).Succeeded(); }

  // The build's program folder links the system's Java and signapk.jar;
  // the fixture's program folder links those links.
  bool LinkJavaAndSignApk() {
    const std::string home = std::string(TARNEL_HOME_DIR) + "/";
    if (!IsRegularFile(home + "jre/bin/java") || !IsRegularFile(home + "Config/signapk.jar")) return false;
    fs::create_directory_symlink(home + "jre", fx.ws.app.m_strAppDir + "jre");
    fs::create_symlink(home + "Config/signapk.jar", fx.ws.app.m_strAppDir + "Config/signapk.jar");
    return true;
  }

  // A stand-in for Java that records how it was started.
  void FakeJava(const std::string& body) {
    const std::string bin = fx.ws.app.m_strAppDir + "jre/bin/";
    fs::create_directories(bin);
    test::WriteText(bin + "java", "#!/bin/sh\n" + body);
    fs::permissions(bin + "java", fs::perms(0755));
    test::WriteText(fx.ws.app.m_strAppDir + "Config/signapk.jar", "jar");
  }

  std::string upgradeFlashName;
};

// Template entries first, then per upgrade row in table order: the
// signature file of a later-board Ext4/UBI row, then the image (the unsigned
// file itself for a "None" row).
TEST_F(UpgradePackageTest, PackageHoldsTemplateThenUpgradeRowsInTableOrder) {
  const auto raw = test::PatternBytes(3000, 4);
  fx.AddRow("system", "Ext4 File System", "NAND_2K", "Yes", "system.raw", test::PatternBytes(10));
  fx.AddRow("kernel", "Non-File System", "nand_2k", "yes", "kernel.bin", test::PatternBytes(10));
  fx.AddRow("logo", "Non-File System", "NAND_2K", "No", "logo.bin", test::PatternBytes(10));
  fx.AddRow("off", "Non-File System", "EMMC_8G", "Yes", "off.bin", test::PatternBytes(10)).checked = false;
  fx.AddRow("raw", "None", "NAND_2K", "Yes", "raw.bin", raw).unsignedFile = "raw.bin";  // read from the input folder
  fx.AddRow("rootfs", "Ubi File System", "NAND_2K", "Yes", "rootfs.ubi", test::PatternBytes(10));
  std::map<std::string, std::vector<uint8_t>> images;
  for (const char* name : {"system_Sign.img", "system.img", "kernel.img", "rootfs_Sign.img", "rootfs.img"}) {
    images[name] = test::PatternBytes(20000 + images.size(), static_cast<uint32_t>(images.size()) + 11);
    WriteBytes(fx.outputDir + name, images[name]);
  }
  images["raw.img"] = raw;

  ASSERT_TRUE(Make()) << testing::PrintToString(fx.reporter.Messages());
  EXPECT_TRUE(fx.reporter.Messages().empty());
  EXPECT_EQ(upgradeFlashName, "NAND_2K");
  std::string out;
  EXPECT_TRUE(test::UnzipTestPasses(PackagePath(), &out)) << out;
  EXPECT_EQ(test::ZipNames(PackagePath()),
            (std::vector<std::string>{kBinaryEntry, kScriptEntry, "system_Sign.img", "system.img", "kernel.img",
                                      "raw.img", "rootfs_Sign.img", "rootfs.img"}));
  for (const auto& [name, content] : images)
    EXPECT_EQ(test::UnzipEntry(PackagePath(), name, scratch / "x"), content) << name;

  // A first-generation board has no signature files: images only.
  fx.ws.app.m_nBoardType = 0;
  ASSERT_TRUE(Make());
  EXPECT_EQ(test::ZipNames(PackagePath()),
            (std::vector<std::string>{kBinaryEntry, kScriptEntry, "system.img", "kernel.img", "raw.img",
                                      "rootfs.img"}));
}

TEST_F(UpgradePackageTest, EachFailureShowsItsMessageAndLeavesNoPackage) {
  auto expectFailure = [&](const std::string& message) {
    fx.reporter.Clear();
    WriteBytes(PackagePath(), {'o', 'l', 'd'});  // a package from an earlier run
    EXPECT_FALSE(Make());
    EXPECT_EQ(fx.reporter.Messages(), std::vector<std::string>{message});
  };
  fx.AddRow("kernel", "Non-File System", "NAND_2K", "Yes", "kernel.bin", test::PatternBytes(10));
  PartitionRow& second = fx.AddRow("logo", "Non-File System", "NAND_4K", "Yes", "logo.bin", test::PatternBytes(10));
  expectFailure("It must be the same for Flash Name to upgrade item!");

  fx.ws.table.rows[0].flashName = second.flashName = "NOR_1M";
  expectFailure("Found not the flash config!");

  fx.ws.table.rows[0].flashName = second.flashName = "NAND_2K";
  const std::string templ = fx.inputDir + "META-INF.zip";
  RemoveFile(templ);
  expectFailure("\"META-INF.zip\" file not found!");
  fs::create_directory(templ);
  expectFailure("\"META-INF.zip\" file not found!");
  fs::remove(templ);

  test::WriteText(templ, "not an archive\n");
  expectFailure("Failed to create the upgrade package!");
  EXPECT_EQ(GetPathKind(PackagePath()), PathKind::Missing);

  std::string error;
  ASSERT_TRUE(demo::WritePackageSamples(fx.inputDir, error)) << error;
  WriteBytes(fx.outputDir + "kernel.img", test::PatternBytes(100));
  expectFailure("Failed to add the '" + fx.outputDir + "logo.img' file to the upgrade package!");
  EXPECT_EQ(GetPathKind(PackagePath()), PathKind::Missing);
}

// Links planted in Temp where the run writes signapk's log and output are
// replaced, never written through.
TEST_F(UpgradePackageTest, LinksPlantedInTempAreNotFollowed) {
  FakeJava("echo 'fake java ran'\nfor a in \"$@\"; do last=\"$a\"; done\nprintf signed > \"$last\"\n");
  const std::string victim = fx.inputDir + "victim.txt";
  const std::string absent = fx.inputDir + "absent.txt";
  test::WriteText(victim, "mine");
  fs::create_symlink(victim, TempDir() + kSignApkLogName);
  fs::create_symlink(absent, SignedPackagePath());
  SignApk();
  EXPECT_EQ(test::ReadText(victim), "mine");
  EXPECT_FALSE(fs::exists(absent));
  EXPECT_FALSE(fs::is_symlink(TempDir() + kSignApkLogName));
  EXPECT_EQ(test::ReadText(TempDir() + kSignApkLogName), "fake java ran\n");
  EXPECT_EQ(test::ReadText(SignedPackagePath()), "signed");
}

// Java is started with its argument vector in the input folder, after an
// Android-signed package of an earlier run is gone; what a failing Java
// leaves is removed; its output goes to Temp/signapk.log.
TEST_F(UpgradePackageTest, RunSignApkStartsJavaInTheInputFolder) {
  FakeJava(
      "out=\"$(dirname \"$0\")/../../Temp/java-call.txt\"\n"
      "pwd > \"$out\"\n"
      "for a in \"$@\"; do echo \"$a\" >> \"$out\"; last=\"$a\"; done\n"
      "[ -e \"$last\" ] && echo stale >> \"$out\"\n"
      "echo 'fake java ran'\n"
      "printf signed > \"$last\"\n"
      "exit ${FAKE_JAVA_STATUS:-0}\n");
  fx.ws.app.m_nJavaMemory = 700;
  const std::string home = fx.ws.app.m_strAppDir;
  WriteBytes(SignedPackagePath(), {'o', 'l', 'd'});
  SignApk();
  EXPECT_TRUE(fx.reporter.Messages().empty());
  std::string inputFolder = fx.inputDir;
  inputFolder.pop_back();
  EXPECT_EQ(test::SplitLines(test::ReadText(TempDir() + "java-call.txt")),
            (std::vector<std::string>{inputFolder, "-jar", "-Xms32m", "-Xmx700m", home + "Config/signapk.jar", "-w",
                                      "testkey.x509.pem", "testkey.pk8", PackagePath(), SignedPackagePath()}));
  EXPECT_EQ(test::ReadText(SignedPackagePath()), "signed");

  setenv("FAKE_JAVA_STATUS", "3", 1);
  SignApk();
  unsetenv("FAKE_JAVA_STATUS");
  EXPECT_EQ(GetPathKind(SignedPackagePath()), PathKind::Missing);
  EXPECT_EQ(test::ReadText(TempDir() + "signapk.log"), "fake java ran\nfake java ran\n");

  fs::remove(home + "Config/signapk.jar");
  SignApk();
  EXPECT_EQ(fx.reporter.Messages(), std::vector<std::string>{"Found not the signing tool " + home +
                                                             "Config/signapk.jar!"});
  fs::remove_all(home + "jre");
  fx.reporter.Clear();
  SignApk();
  EXPECT_EQ(fx.reporter.Messages(), std::vector<std::string>{"Found not the Java runtime " + home + "jre/bin/java!"});
}

TEST_F(UpgradePackageTest, SealingNeedsAKnownFlashType) {
  fx.ws.flashTable.push_back({"NOR_1M", "Nor", 256, 65536, 0});
  WriteBytes(SignedPackagePath(), test::PatternBytes(100));
  for (const char* name : {"NOR_1M", "MISSING"}) {
    fx.reporter.Clear();
    EXPECT_FALSE(Seal(name));
    EXPECT_EQ(fx.reporter.Messages(), std::vector<std::string>{"Failed to get the flash config!"});
    EXPECT_EQ(GetPathKind(fx.outputDir + "update.zip"), PathKind::Missing);
  }
}

// The seal takes its geometry from the upgrade flash alone: NAND as listed,
// SPI with 1024-byte pages, eMMC with 1024-byte pages in 2048-byte blocks,
// and never a spare size (whatever the last row left in the run's state).
TEST_F(UpgradePackageTest, SealingGeometryFollowsTheUpgradeFlashType) {
  const auto source = test::PatternBytes(5000, 21);
  WriteBytes(SignedPackagePath(), source);
  struct Case {
    const char* flash;
    uint32_t page;
    uint32_t block;
  };
  fx.ws.app.m_nBoardType = 1;
  for (const Case& c : {Case{"NAND_2K", 2048, 131072}, Case{"nand_4k", 4096, 262144}, Case{"SPI_16M", 1024, 65536},
                        Case{"EMMC_8G", 1024, 2048}}) {
    SCOPED_TRACE(c.flash);
    fx.reporter.Clear();
    ASSERT_TRUE(Seal(c.flash));
    EXPECT_TRUE(fx.reporter.Messages().empty());
    const auto sealed = ReadBytes(fx.outputDir + "update.zip");
    ASSERT_GE(sealed.size(), 2u * c.page);
    EXPECT_EQ(GetLe32(&sealed[40]), c.page);
    EXPECT_EQ(GetLe32(&sealed[44]), c.block);
    EXPECT_EQ(GetLe32(&sealed[48]), 0u);
    EXPECT_EQ(GetLe32(&sealed[52]), sealed.size());
    EXPECT_EQ(GetLe32(&sealed[60]), source.size());
    EXPECT_EQ(sealed.size() % c.block, 0u);
    EXPECT_TRUE(std::equal(source.begin(), source.end(), sealed.begin() + c.page)) << "data after the header page";
  }

  // A later board signs the file whole, whatever the flash.
  fx.ws.app.m_nBoardType = 5;
  ASSERT_TRUE(Seal("SPI_16M"));
  const auto sealed = ReadBytes(fx.outputDir + "update.zip");
  ASSERT_EQ(sealed.size(), 2u * 8192);
  EXPECT_TRUE(std::equal(source.begin(), source.end(), sealed.begin()));
  const auto lines = fx.KeyLineTexts();
  EXPECT_TRUE(test::VerifyWithPublicKey(lines[0], lines[1], source.data(), source.size(), sealed.data() + 8192 + 116,
                                        256));
}

// Whole runs with the real Java and signapk.jar: the seal is stripped and
// checked with others' tools, and what it wraps is signapk's archive of the
// template and the upgrade images.
class UpgradeRunTest : public UpgradePackageTest {
 protected:
  void SetUp() override {
    UpgradePackageTest::SetUp();
    if (!LinkJavaAndSignApk()) GTEST_SKIP() << "no Java runtime or signapk.jar in the build's program folder";
  }

  // The Android-signed archive wrapped by the seal: readable by unzip, with
  // the template's entries and ours plus signapk's certificate, each signed
  // image as the run wrote it.
  void ExpectSignedArchive(const std::vector<uint8_t>& wrapped, const std::vector<std::string>& packed) {
    EXPECT_EQ(wrapped, ReadBytes(SignedPackagePath()));
    const std::string archive = scratch / "wrapped.zip";
    WriteBytes(archive, wrapped);
    std::string out;
    EXPECT_TRUE(test::UnzipTestPasses(archive, &out)) << out;
    EXPECT_NE(out.find("signed by SignApk"), std::string::npos) << out;
    std::vector<std::string> expected = {kBinaryEntry, kScriptEntry, kOtaCertEntry};
    expected.insert(expected.end(), packed.begin(), packed.end());
    EXPECT_EQ(Sorted(test::ZipNames(archive)), Sorted(expected));
    for (const std::string& name : packed) {
      if (fs::exists(fx.outputDir + name)) {
        EXPECT_EQ(test::UnzipEntry(archive, name, scratch / "x"), ReadBytes(fx.outputDir + name)) << name;
      }
    }
  }
};

// A small Ext4 image in Android's sparse format (mke2fs, img2simg) and a UBI
// image (mkfs.ubifs, ubinize), as the build of a board delivers them.
std::vector<uint8_t> SparseExt4Image(const std::string& work) {
  fs::create_directories(work + "root");
  test::WriteBytes(work + "root/firmware.bin", test::PatternBytes(2500000, 12));
  std::string log;
  EXPECT_EQ(test::RunShell("mke2fs -q -F -t ext4 -b 4096 -d " + test::Q(work + "root") + " " +
                           test::Q(work + "fs.raw") + " 8M && img2simg " + test::Q(work + "fs.raw") + " " +
                           test::Q(work + "fs.simg"), &log), 0) << log;
  return ReadBytes(work + "fs.simg");
}

std::vector<uint8_t> UbiImage(const std::string& work) {
  fs::create_directories(work + "root");
  test::WriteBytes(work + "root/payload.bin", test::PatternBytes(2500000, 13));
  test::WriteText(work + "ubinize.ini", "[rootfs]\nmode=ubi\nimage=" + work +
                                        "rootfs.ubifs\nvol_id=0\nvol_type=dynamic\nvol_name=rootfs\n"
                                        "vol_flags=autoresize\n");
  std::string log;
  EXPECT_EQ(test::RunShell("mkfs.ubifs -x none -r " + test::Q(work + "root") + " -m 2048 -e 126976 -c 64 -o " +
                           test::Q(work + "rootfs.ubifs") + " && ubinize -o " + test::Q(work + "rootfs.ubi") +
                           " -m 2048 -p 128KiB -s 2048 " + test::Q(work + "ubinize.ini"), &log), 0) << log;
  return ReadBytes(work + "rootfs.ubi");
}

TEST_F(UpgradeRunTest, LaterBoardPackageIsSignedByJavaThenByRsa) {
  const auto raw = test::PatternBytes(5000, 8);
  fx.AddRow("kernel", "Non-File System", "NAND_2K", "Yes", "kernel.bin", test::PatternBytes(300000, 5));
  fx.AddRow("raw", "None", "NAND_2K", "Yes", "raw.bin", raw);
  fx.AddRow("system", "Ext4 File System", "NAND_2K", "Yes", "system.simg", SparseExt4Image(scratch / "ext4/"));
  fx.AddRow("rootfs", "Ubi File System", "NAND_2K", "Yes", "rootfs.ubi", UbiImage(scratch / "ubi/"));
  fx.AddRow("logo", "Non-File System", "NAND_2K", "No", "logo.bin", test::PatternBytes(9000, 6));
  ASSERT_TRUE(RunWholeMake()) << testing::PrintToString(fx.reporter.Messages())
                              << test::ReadText(TempDir() + "signapk.log");
  EXPECT_EQ(fx.reporter.Messages(), std::vector<std::string>{"Generate release package successfully!"});
  const std::vector<std::string> signedImages = {"kernel.img", "logo.img", "rootfs.img", "rootfs_Sign.img",
                                                 "system.img", "system_Sign.img"};
  std::vector<std::string> outputs = signedImages;
  outputs.push_back("update.zip");
  EXPECT_EQ(FilesIn(fx.outputDir), outputs);

  const auto sealed = ReadBytes(fx.outputDir + "update.zip");
  ASSERT_GE(sealed.size(), 8192u * 2);
  ASSERT_EQ(sealed.size() % 8192, 0u);
  const uint8_t* block = sealed.data() + sealed.size() - 8192;
  const uint32_t length = GetLe32(block + 52);
  ASSERT_EQ((length + 8191) / 8192 * 8192 + 8192, sealed.size());
  const auto lines = fx.KeyLineTexts();
  EXPECT_TRUE(test::VerifyWithPublicKey(lines[0], lines[1], sealed.data(), length, block + 116, 256));
  ExpectSignedArchive({sealed.begin(), sealed.begin() + length},
                      {"kernel.img", "raw.img", "system_Sign.img", "system.img", "rootfs_Sign.img", "rootfs.img"});
  const std::string wrapped = scratch / "wrapped.zip";
  EXPECT_EQ(test::UnzipEntry(wrapped, "raw.img", scratch / "x"), raw);
  for (const std::string& name : signedImages) {
    if (name == "logo.img") continue;  // not marked for upgrade
    EXPECT_EQ(test::UnzipEntry(wrapped, name, scratch / "x"), ReadBytes(fx.outputDir + name)) << name;
  }
}

TEST_F(UpgradeRunTest, FirstGenerationPackageIsSealedWithTheMacContainer) {
  fx.ws.app.m_nBoardType = 0;
  fx.AddRow("kernel", "Non-File System", "EMMC_8G", "Yes", "kernel.bin", test::PatternBytes(70000, 5));
  fx.AddRow("system", "Ext4 File System", "EMMC_8G", "Yes", "system.raw", test::PatternBytes(1100000, 6));
  ASSERT_TRUE(RunWholeMake()) << testing::PrintToString(fx.reporter.Messages())
                              << test::ReadText(TempDir() + "signapk.log");
  EXPECT_EQ(fx.reporter.Messages(), std::vector<std::string>{"Generate release package successfully!"});

  // eMMC packages are sealed with 1024-byte pages in 2048-byte blocks.
  const auto sealed = ReadBytes(fx.outputDir + "update.zip");
  constexpr uint32_t P = 1024, B = 2048;
  ASSERT_GE(sealed.size(), 3u * P);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(sealed.data()), 32),
            std::string("Corvantis_KELVA_ImgHead_MagicNu\0", 32));
  EXPECT_EQ(GetLe32(&sealed[40]), P);
  EXPECT_EQ(GetLe32(&sealed[44]), B);
  EXPECT_EQ(GetLe32(&sealed[48]), 0u);
  EXPECT_EQ(GetLe32(&sealed[52]), sealed.size());
  const uint32_t length = GetLe32(&sealed[60]);
  const uint32_t padded = (length + P - 1) / P * P;
  ASSERT_EQ(sealed.size() % B, 0u);
  ASSERT_GE(sealed.size(), P + padded + P);
  // Ext4 rows of this generation have no signature file to pack.
  ExpectSignedArchive({sealed.begin() + P, sealed.begin() + P + length}, {"kernel.img", "system.img"});

  // CBC-MAC under key list line 23: one AES-128-CBC pass, zero IV.
  long keyLength = 0;
  unsigned char* key = OPENSSL_hexstr2buf(fx.KeyLineTexts()[22].c_str(), &keyLength);
  ASSERT_NE(key, nullptr);
  ASSERT_EQ(keyLength, 16);
  std::vector<uint8_t> cipher(P + padded + 16);
  int n = 0;
  EVP_CIPHER_CTX* c = EVP_CIPHER_CTX_new();
  const uint8_t iv[16] = {};
  ASSERT_EQ(EVP_EncryptInit_ex(c, EVP_aes_128_cbc(), nullptr, key, iv), 1);
  EVP_CIPHER_CTX_set_padding(c, 0);
  ASSERT_EQ(EVP_EncryptUpdate(c, cipher.data(), &n, sealed.data(), static_cast<int>(P + padded)), 1);
  EVP_CIPHER_CTX_free(c);
  OPENSSL_free(key);
  ASSERT_EQ(n, static_cast<int>(P + padded));
  EXPECT_TRUE(std::equal(cipher.begin() + n - 16, cipher.begin() + n, sealed.begin() + P + padded));
}

// The archive of a later board's update.zip: the seal's block says how long it is.
std::vector<uint8_t> Unsealed(const std::vector<uint8_t>& sealed) {
  if (sealed.size() < 8192) return {};
  const uint32_t length = GetLe32(sealed.data() + sealed.size() - 8192 + 52);
  if (length > sealed.size() - 8192) return {};
  return {sealed.begin(), sealed.begin() + length};
}

// The Make run signs the upgrade archive natively by default, in one pass
// from the template and the images: with several large entries (and a stored
// one), the sealed update.zip is the very file Java's signapk gives for the
// package built first, whatever the number of threads; the step's progress
// moves with the bytes.
TEST_F(UpgradeRunTest, NativeAndJavaArchiveSignersSealTheSameBytes) {
  for (int k = 0; k < 3; ++k) {
    std::vector<uint8_t> image = test::PatternBytes(1500000, 20 + k);
    for (size_t i = 0; i < image.size(); i += 3) image[i] = 0;  // compressible, but not too well
    fx.AddRow("part" + std::to_string(k), "Non-File System", "NAND_2K", "Yes", "part" + std::to_string(k), image);
  }
  fx.AddRow("tiny", "None", "NAND_2K", "Yes", "tiny.bin", {1, 2, 3});
  const EnvGuard epoch("SOURCE_DATE_EPOCH", "1700000000");  // the seal's stamps
  fx.ws.app.m_archiveSigner = ArchiveSigner::Java;
  ASSERT_TRUE(RunWholeMake()) << testing::PrintToString(fx.reporter.Messages());
  const auto byJava = ReadBytes(fx.outputDir + "update.zip");
  fx.ws.app.m_archiveSigner = ArchiveSigner::Native;
  for (const unsigned threads : test::kThreadCounts) {
    test::ScopedWorkerThreads scoped(threads);
    fx.reporter.Clear();
    fs::remove(fx.outputDir + "update.zip");
    ASSERT_TRUE(RunWholeMake()) << testing::PrintToString(fx.reporter.Messages());
    EXPECT_EQ(fx.reporter.Messages(), std::vector<std::string>{"Generate release package successfully!"});
    EXPECT_TRUE(ReadBytes(fx.outputDir + "update.zip") == byJava) << threads << " threads";
    EXPECT_FALSE(fs::exists(PackagePath())) << "signed in one pass, without a package in Temp";
    // The archive's signing moved to its end. On one thread the writer reads
    // every byte itself and passes progress on in several steps; with more,
    // how often it looks depends on how the threads are scheduled.
    std::map<uint64_t, std::vector<uint64_t>> byTotal;
    for (const auto& [done, total] : fx.reporter.StepProgress()) byTotal[total].push_back(done);
    std::string seen;
    for (const auto& [t, d] : byTotal) seen += std::to_string(t) + ": " + testing::PrintToString(d) + "\n";
    const size_t steps = threads == 1 ? 4 : 1;
    EXPECT_TRUE(std::count_if(byTotal.begin(), byTotal.end(), [steps](const auto& t) {
                  return t.second.size() >= steps && t.second.back() == t.first &&
                         std::is_sorted(t.second.begin(), t.second.end());
                }) >= 1) << seen;
  }
}

// A template holding the pin hints: the native signer refuses it, saying
// why, and the run signs it with Java when Java is there, saying so once.
TEST_F(UpgradeRunTest, PinHintsFallBackToJava) {
  std::string out;
  ASSERT_EQ(test::RunShell("python3 -c \"import zipfile; zipfile.ZipFile('" + fx.inputDir +
                               "META-INF.zip', 'a').writestr('assets/com.android.hints.pins.txt', 'x')\"",
                           &out),
            0)
      << out;
  fx.AddRow("kernel", "Non-File System", "NAND_2K", "Yes", "kernel.bin", test::PatternBytes(5000, 5));
  const RunOutcome outcome = RunMake(fx.ws, fx.reporter);
  ASSERT_TRUE(outcome.Succeeded()) << testing::PrintToString(fx.reporter.Messages());
  EXPECT_EQ(outcome.archiveSigner, ArchiveSigner::Java);
  const auto& messages = fx.reporter.Messages();
  ASSERT_EQ(messages.size(), 2u);
  EXPECT_NE(messages[0].find("pinlist.meta"), std::string::npos) << messages[0];
  EXPECT_NE(messages[0].find("with Java instead"), std::string::npos) << messages[0];
  EXPECT_EQ(messages[1], "Generate release package successfully!");
  WriteBytes(scratch / "wrapped.zip", Unsealed(ReadBytes(fx.outputDir + "update.zip")));
  EXPECT_TRUE(test::UnzipTestPasses(scratch / "wrapped.zip", &out)) << out;
  EXPECT_NE(out.find("pinlist.meta"), std::string::npos) << "signapk's own addition: " << out;
}

// Without Java in the program folder the run signs natively; an input only
// Java could sign then fails cleanly with the native signer's reason.
TEST_F(UpgradePackageTest, WithoutJavaTheArchiveIsSignedNatively) {
  fx.AddRow("kernel", "Non-File System", "NAND_2K", "Yes", "kernel.bin", test::PatternBytes(300000, 5));
  fx.AddRow("raw", "None", "NAND_2K", "Yes", "raw.bin", test::PatternBytes(4, 6));
  ASSERT_FALSE(JavaSignerPresent(fx.ws.app));
  ASSERT_TRUE(RunWholeMake()) << testing::PrintToString(fx.reporter.Messages());
  EXPECT_EQ(fx.reporter.Messages(), std::vector<std::string>{"Generate release package successfully!"});
  const std::string archive = scratch / "wrapped.zip";
  WriteBytes(archive, Unsealed(ReadBytes(fx.outputDir + "update.zip")));
  std::string out;
  EXPECT_TRUE(test::UnzipTestPasses(archive, &out)) << out;
  test::ExpectCmsVerifies(archive, fx.inputDir + kAndroidCertName, scratch / "cms");
  EXPECT_EQ(test::UnzipEntry(archive, "kernel.img", scratch / "x"), ReadBytes(fx.outputDir + "kernel.img"));
  EXPECT_EQ(test::UnzipEntry(archive, "raw.img", scratch / "x"), test::PatternBytes(4, 6));

  // A template the package for Java could not be built from fails the same
  // way here: not an archive, or one behind a stub.
  const std::string templ = fx.inputDir + "META-INF.zip";
  const std::vector<uint8_t> goodTemplate = ReadBytes(templ);
  std::vector<uint8_t> stubbed(64, 'S');
  stubbed.insert(stubbed.end(), goodTemplate.begin(), goodTemplate.end());
  for (const std::vector<uint8_t>& bad : {std::vector<uint8_t>{'n', 'o', 't'}, stubbed}) {
    WriteBytes(templ, bad);
    fx.reporter.Clear();
    EXPECT_FALSE(RunWholeMake());
    EXPECT_EQ(fx.reporter.Messages(),
              (std::vector<std::string>{"Failed to create the upgrade package!", "Failed to make upgrade package!"}));
  }
  WriteBytes(templ, goodTemplate);

  ASSERT_EQ(test::RunShell("python3 -c \"import zipfile; zipfile.ZipFile('" + fx.inputDir +
                               "META-INF.zip', 'a').writestr('assets/com.android.hints.pins.txt', 'x')\"",
                           &out),
            0)
      << out;
  fx.reporter.Clear();
  fs::remove(fx.outputDir + "update.zip");
  EXPECT_FALSE(RunWholeMake());
  const auto& messages = fx.reporter.Messages();
  ASSERT_EQ(messages.size(), 2u);
  EXPECT_NE(messages[0].find("Sign this archive with Java"), std::string::npos) << messages[0];
  EXPECT_EQ(messages[1], "Failed to sign package for android!,please config Memory!");
  EXPECT_FALSE(fs::exists(fx.outputDir + "update.zip"));
  EXPECT_FALSE(fs::exists(SignedPackagePath()));
}

// native-parallel: a signed archive that unzip, the openssl tool and the
// board seal's check accept, the same bytes with any number of threads.
TEST_F(UpgradePackageTest, NativeParallelArchivesVerifyWithAnyThreadCount) {
  const EnvGuard epoch("SOURCE_DATE_EPOCH", "1700000000");
  std::vector<uint8_t> image = test::PatternBytes(900000, 9);
  for (size_t i = 0; i < image.size(); i += 2) image[i] = 'x';
  fx.AddRow("kernel", "Non-File System", "NAND_2K", "Yes", "kernel.bin", image);
  fx.AddRow("raw", "None", "NAND_2K", "Yes", "raw.bin", {});
  fx.ws.app.m_archiveSigner = ArchiveSigner::NativeParallel;
  std::vector<uint8_t> first;
  for (const unsigned threads : test::kThreadCounts) {
    test::ScopedWorkerThreads scoped(threads);
    fx.reporter.Clear();
    ASSERT_TRUE(RunWholeMake()) << testing::PrintToString(fx.reporter.Messages());
    const auto sealed = ReadBytes(fx.outputDir + "update.zip");
    if (first.empty()) first = sealed;
    EXPECT_TRUE(sealed == first) << threads << " threads";
  }
  const auto lines = fx.KeyLineTexts();
  const auto archiveBytes = Unsealed(first);
  EXPECT_TRUE(test::VerifyWithPublicKey(lines[0], lines[1], archiveBytes.data(), archiveBytes.size(),
                                        first.data() + first.size() - 8192 + 116, 256));
  const std::string archive = scratch / "wrapped.zip";
  WriteBytes(archive, archiveBytes);
  std::string out;
  EXPECT_TRUE(test::UnzipTestPasses(archive, &out)) << out;
  test::ExpectCmsVerifies(archive, fx.inputDir + kAndroidCertName, scratch / "cms");
  EXPECT_EQ(test::UnzipEntry(archive, "kernel.img", scratch / "x"), ReadBytes(fx.outputDir + "kernel.img"));
  EXPECT_TRUE(test::UnzipEntry(archive, "raw.img", scratch / "x").empty());
}

// The archive key in a token (SoftHSM2): the sealed update.zip is the one
// the key file gives, also when the run's signer is the same token (the
// archive key then needs no PIN of its own); Java cannot use such a key.
TEST_F(UpgradePackageTest, ArchiveKeyInATokenSealsTheFileKeysBytes) {
  if (test::SoftHsmModule().empty()) GTEST_SKIP() << "softhsm2 is not installed (scripts/bootstrap installs it)";
  test::SoftHsmToken token;
  ASSERT_TRUE(token.Ready());
  const test::EnvGuard noPin(kPinEnv, nullptr);
  const test::EnvGuard epoch("SOURCE_DATE_EPOCH", "1700000000");
  const std::vector<std::string> lines = fx.KeyLineTexts();
  ASSERT_TRUE(token.Import(lines, 0, kTokenExternalLabel, "01"));
  ASSERT_TRUE(token.Import(lines, 10, kTokenRootLabel, "02"));
  std::string out;
  ASSERT_EQ(test::RunShell("openssl pkcs8 -inform DER -nocrypt -in " + test::Q(fx.inputDir + kAndroidKeyName) +
                               " -out " + test::Q(scratch / "archive.pem") + " && softhsm2-util --import " +
                               test::Q(scratch / "archive.pem") + " --token " + test::SoftHsmToken::kLabel +
                               " --label archive --id 03 --pin " + test::SoftHsmToken::kPin + " 2>&1",
                           &out),
            0)
      << out;
  fx.AddRow("kernel", "Non-File System", "NAND_2K", "Yes", "kernel.bin", test::PatternBytes(300000, 5));
  fx.AddRow("raw", "None", "NAND_2K", "Yes", "raw.bin", test::PatternBytes(3, 6));
  ASSERT_TRUE(RunWholeMake()) << testing::PrintToString(fx.reporter.Messages());
  const auto byFile = ReadBytes(fx.outputDir + "update.zip");

  fs::remove(fx.inputDir + kAndroidKeyName);
  fx.ws.app.m_archiveKey = token.Uri("");  // no PIN: the run's signer logged in
  for (const std::string& runSigner : {token.Uri(), std::string()}) {
    if (runSigner.empty()) fx.ws.app.m_archiveKey = token.Uri();
    fx.LoadKeys();  // a token run wipes the private lines it does not need
    fx.reporter.Clear();
    fs::remove(fx.outputDir + "update.zip");
    RunOptions options;
    options.signerSpec = runSigner;
    ASSERT_TRUE(RunMake(fx.ws, fx.reporter, options).Succeeded()) << testing::PrintToString(fx.reporter.Messages());
    EXPECT_TRUE(ReadBytes(fx.outputDir + "update.zip") == byFile) << runSigner;
  }

  fx.reporter.Clear();
  fx.ws.app.m_archiveSigner = ArchiveSigner::Java;
  EXPECT_FALSE(RunWholeMake());
  EXPECT_EQ(fx.reporter.Messages(), std::vector<std::string>{kMsgArchiveKeyNeedsNative});
}

// Java that cannot sign (1 MB heap) or is missing: the run says so, an old
// Android-signed package is not sealed in its place, and the output folder
// holds no package at all.
TEST_F(UpgradeRunTest, JavaFailuresLeaveNoPackage) {
  fx.AddRow("kernel", "Non-File System", "NAND_2K", "Yes", "kernel.bin", test::PatternBytes(5000, 5));
  WriteBytes(SignedPackagePath(), test::PatternBytes(4000, 1));  // left by an earlier run
  fx.ws.app.m_archiveSigner = ArchiveSigner::Java;
  fx.ws.app.m_nJavaMemory = 1;
  EXPECT_FALSE(RunWholeMake());
  EXPECT_EQ(fx.reporter.Messages(),
            std::vector<std::string>{"Failed to sign package for android!,please config Memory!"});
  EXPECT_EQ(FilesIn(fx.outputDir), std::vector<std::string>{"kernel.img"});
  EXPECT_EQ(GetPathKind(SignedPackagePath()), PathKind::Missing);
  EXPECT_NE(test::ReadText(TempDir() + "signapk.log").find("heap"), std::string::npos);

  fs::remove(fx.ws.app.m_strAppDir + "jre");
  fx.ws.app.m_nJavaMemory = 512;
  fx.reporter.Clear();
  EXPECT_FALSE(RunWholeMake());
  EXPECT_EQ(fx.reporter.Messages(),
            (std::vector<std::string>{"Found not the Java runtime " + fx.ws.app.m_strAppDir + "jre/bin/java!",
                                      "Failed to sign package for android!,please config Memory!"}));
  EXPECT_EQ(FilesIn(fx.outputDir), std::vector<std::string>{"kernel.img"});
}

}  // namespace
}  // namespace tarnel
