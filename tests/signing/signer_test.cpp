// The Signer back ends against a real SoftHSM2 token and real helper
// programs: a token or a helper signing with the key list's keys must give
// exactly the files a key list run gives (PKCS #1 v1.5 is deterministic), and
// every way they can fail is named and leaves no output.
#include "signing/signer.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <map>
#include <sstream>
#include <thread>

#include "common/le.h"
#include "common/platform.h"
#include "common/text.h"
#include "pipeline/make_driver.h"
#include "signing/sign_image.h"
#include "support/test_support.h"

namespace tarnel {
namespace {

namespace fs = std::filesystem;
using test::PatternBytes;
using test::ReadBytes;
using test::SplitLines;
using test::WriteText;

// An Android sparse image: one raw chunk of 700 blocks, one don't-care chunk.
// A process that exists and has not ended (a zombie has ended).
bool Alive(pid_t pid) {
  if (pid <= 0 || ::kill(pid, 0) != 0) return false;
  const std::string stat = test::ReadText("/proc/" + std::to_string(pid) + "/stat");
  const size_t paren = stat.rfind(')');
  return paren != std::string::npos && paren + 2 < stat.size() && stat[paren + 2] != 'Z';
}

std::vector<uint8_t> SparseImage() {
  constexpr uint32_t kBlock = 4096, kRaw = 700, kSkip = 100;
  std::vector<uint8_t> out(28 + 12 + kRaw * kBlock + 12);
  uint8_t* h = out.data();
  PutLe32(h, 0xED26FF3A);
  PutLe16(h + 4, 1);
  PutLe16(h + 8, 28);
  PutLe16(h + 10, 12);
  PutLe32(h + 12, kBlock);
  PutLe32(h + 16, kRaw + kSkip);
  PutLe32(h + 20, 2);
  uint8_t* c = h + 28;
  PutLe16(c, 0xCAC1);
  PutLe32(c + 4, kRaw);
  PutLe32(c + 8, 12 + kRaw * kBlock);
  const auto data = PatternBytes(kRaw * kBlock, 3);
  std::copy(data.begin(), data.end(), c + 12);
  c += 12 + kRaw * kBlock;
  PutLe16(c, 0xCAC3);
  PutLe32(c + 4, kSkip);
  PutLe32(c + 8, 12);
  return out;
}

// Every file of a folder, by name.
std::map<std::string, std::vector<uint8_t>> FolderFiles(const std::string& folder) {
  std::map<std::string, std::vector<uint8_t>> files;
  for (const auto& e : fs::directory_iterator(folder)) files[e.path().filename()] = ReadBytes(e.path());
  return files;
}

// A fresh RSA-2048 key made by the openssl command line, as PEM.
std::string OtherKeyPem(const test::TempFolder& dir) {
  const std::string pem = dir / "other.pem";
  std::string out;
  EXPECT_EQ(test::RunShell("openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:2048 -out " + test::ShellQuote(pem),
                           &out),
            0)
      << out;
  return pem;
}

// The key list with "0x00" in place of every private component.
std::string PlaceholderKeyList(const std::vector<std::string>& lines) {
  std::string text;
  for (size_t i = 0; i < lines.size(); ++i) {
    const bool privatePart = (i >= 2 && i < 8) || (i >= 12 && i < 18);
    text += (privatePart ? std::string("0x00") : lines[i]) + "\n";
  }
  return text;
}

class SignerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (test::SoftHsmModule().empty()) GTEST_SKIP() << "softhsm2 is not installed (scripts/bootstrap installs it)";
    ASSERT_TRUE(token.Ready());
    ASSERT_TRUE(token.Import(lines, 0, kTokenExternalLabel, "01"));
    ASSERT_TRUE(token.Import(lines, 10, kTokenRootLabel, "02"));
  }

  // A Make run over rows of every File Type of the board's generation;
  // returns the output folder's files.
  std::map<std::string, std::vector<uint8_t>> RunAll(int board, const std::string& signerSpec,
                                                     const std::string& keyListText, bool* ok = nullptr) {
    test::MakeFixture fx(board);
    WriteText(fx.keyListPath, keyListText);
    fx.LoadKeys();
    WriteText(fx.inputDir + "cfg.bin", "cfg");
    const bool first = IsFirstGeneration(board);
    const char* flash = first ? "NAND_2K" : "EMMC_8G";
    fx.AddRow("fastboot", "Fastboot", flash, "No", "fastboot.bin", PatternBytes(3000, 1));
    fx.AddRow("kernel", "Non-File System", flash, "No", "kernel.bin", PatternBytes(20000, 2));
    fx.AddRow("system", "Ext4 File System", flash, "No", "system.img", SparseImage());
    if (first)
      fx.AddRow("data", "Yaffs File System", flash, "No", "data.yaffs", PatternBytes(8 * 135168, 4));
    else
      fx.AddRow("rootfs", "Ubi File System", flash, "No", "rootfs.ubi", PatternBytes(2500000, 5));
    // Same program, input and output folders for every run: the paths in the
    // headers must not differ either.
    fs::remove_all(stable / "run");
    fs::rename(fx.root.Path(), stable / "run");
    fx.ws.app.m_strAppDir = stable / "run/home/";
    fx.ws.app.m_strInputDir = stable / "run/in/";
    fx.ws.app.m_strOutputPath = stable / "run/out/";
    fx.ws.app.m_strKeysFile = stable / "run/in/Keys_for_signature.txt";
    for (PartitionRow& row : fx.ws.table.rows) row.unsignedFile = AfterSep(row.unsignedFile);
    RunOptions options;
    options.signerSpec = signerSpec;
    const bool done = RunMake(fx.ws, fx.reporter, options).Succeeded();
    if (ok != nullptr) *ok = done;
    EXPECT_TRUE(done) << signerSpec << ": " << testing::PrintToString(fx.reporter.Messages());
    auto files = FolderFiles(stable / "run/out/");
    fs::rename(stable / "run", fx.root.Path());  // the fixture removes its own folder
    return files;
  }

  static std::string AfterSep(const std::string& path) { return path.substr(path.find_last_of('/') + 1); }

  std::vector<std::string> lines = SplitLines(test::SharedKeyListText());
  test::EnvGuard epoch{"SOURCE_DATE_EPOCH", "1700000000"};
  test::EnvGuard noPin{kPinEnv, nullptr};
  test::SoftHsmToken token;
  test::TempFolder stable;
};

TEST_F(SignerTest, TokenRunsGiveTheKeyListRunsBytesForBothGenerations) {
  for (const int board : {0, 2}) {
    const auto expected = RunAll(board, "", test::SharedKeyListText());
    ASSERT_EQ(expected.size(), IsFirstGeneration(board) ? 5u : 6u) << board;  // KeyPart.img, X_Sign.img
    EXPECT_EQ(RunAll(board, token.Uri(), test::SharedKeyListText()), expected) << board;
    // With a token the private lines are never read: placeholders do.
    EXPECT_EQ(RunAll(board, token.Uri(), PlaceholderKeyList(lines)), expected) << board;
  }
}

TEST_F(SignerTest, HelperRunsGiveTheKeyListRunsBytes) {
  // The documented three-line helper, with the key list's keys as PEM files.
  test::WritePrivateKeyPem(lines, 0, token.Dir() / "external.pem");
  test::WritePrivateKeyPem(lines, 10, token.Dir() / "root.pem");
  const std::string helper = token.Dir() / "sign-helper";
  WriteText(helper, "#!/bin/sh\n# $1: external or root, $2: public key PEM; digest on stdin\nexec openssl pkeyutl -sign -inkey " +
                        token.Dir().Path() + "\"$1\".pem -pkeyopt digest:sha256\n");
  ASSERT_EQ(::chmod(helper.c_str(), 0755), 0);
  const auto expected = RunAll(2, "", test::SharedKeyListText());
  EXPECT_EQ(RunAll(2, "exec:" + helper, PlaceholderKeyList(lines)), expected);
}

// One signer used from several threads at once: every signature verifies.
TEST_F(SignerTest, SignIsSafeFromSeveralThreads) {
  std::string error;
  const KeyLines keyLines(lines);
  auto signer = MakeSigner(token.Uri(), keyLines, "", nullptr, error);
  ASSERT_TRUE(signer);
  SignError open;
  ASSERT_TRUE(signer->Open(open)) << open.message;
  std::vector<std::thread> threads;
  std::vector<int> good(4, 0);
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&, t] {
      for (int i = 0; i < 8; ++i) {
        const auto data = PatternBytes(100 + static_cast<size_t>(i), static_cast<uint32_t>(t));
        const auto digest = test::Sha256Of(data.data(), data.size());
        uint8_t sig[256];
        SignError e;
        const KeyRole role = (i % 2) ? KeyRole::Root : KeyRole::External;
        const size_t n = role == KeyRole::Root ? 10 : 0;
        if (signer->Sign(role, digest.data(), sig, e) &&
            test::VerifyWithPublicKey(lines[n], lines[n + 1], data.data(), data.size(), sig, 256))
          ++good[static_cast<size_t>(t)];
      }
    });
  for (auto& t : threads) t.join();
  EXPECT_EQ(good, std::vector<int>(4, 8));
}

// ---------------------------------------------------------------------------
// Failures through the command line: the message, exit status 1, no output.

class SignerCli : public SignerTest {
 protected:
  void SetUp() override {
    SignerTest::SetUp();
    if (IsSkipped()) return;
    for (const char* dir : {"home/Config", "home/jre", "in", "out"}) fs::create_directories(root / dir);
    WriteText(root / "home/Config/FlashConfig.xml",
              "<?xml version=\"1.0\"?>\n<FlashConfigs>\n"
              "  <Flash Name=\"EMMC_8G\" Type=\"eMMC\" PageSize=\"512\" BlockSize=\"512K\" EccType=\"0\"/>\n"
              "</FlashConfigs>\n");
    WriteText(root / "home/BurnConfig.ini", "[BurnConfig]\nMemory=512\n");
    WriteText(root / "in/Keys_for_signature.txt", PlaceholderKeyList(lines));
    WriteText(root / "in/testkey.pk8", "pk8");
    WriteText(root / "in/testkey.x509.pem", "pem");
    WriteText(root / "in/cfg.bin", "cfg");
    test::WriteBytes(root / "in/kernel.bin", PatternBytes(5000, 2));
    test::WriteBytes(root / "in/fastboot.bin", PatternBytes(3000, 1));
  }

  // Signs one row (File Type `type`) on board 2; returns exit status and messages.
  int Make(const std::string& type, const std::string& signer, std::vector<std::string>& messages) {
    const std::string file = type == "Fastboot" ? "fastboot.bin" : "kernel.bin";
    WriteText(root / "in/table.xml",
              "<?xml version=\"1.0\" encoding=\"GB2312\"?>\n<Tarnel_PartConfigs>\n"
              "<PartConfig Sel=\"1\" OutputName=\"part\" FileType=\"" + type +
                  "\" FlashName=\"EMMC_8G\" Upgrade=\"No\" UnsignedFile=\"" + file +
                  "\"/>\n</Tarnel_PartConfigs>\n");
    std::string out;
    // Through TARNEL_SIGNER: a pin-value is refused in --signer.
    const int status = test::RunShell(
        "TARNEL_SIGNER=" + test::ShellQuote(signer) + " " + test::ShellQuote(TARNEL_CLI_PATH) +
            " make --board 2 --home " + test::ShellQuote(root / "home") + " --config " +
            test::ShellQuote(root / "in/table.xml") + " --keys " +
            test::ShellQuote(root / "in/Keys_for_signature.txt") + " --output " + test::ShellQuote(root / "out") +
            " </dev/null",
        &out);
    messages = SplitLines(out);
    return status;
  }

  void ExpectRefused(const std::string& type, const std::string& signer, const std::string& message) {
    std::vector<std::string> messages;
    EXPECT_EQ(Make(type, signer, messages), 1) << signer;
    ASSERT_FALSE(messages.empty()) << signer;
    EXPECT_EQ(messages.front(), message) << signer << testing::PrintToString(messages);
    EXPECT_TRUE(fs::is_empty(root / "out")) << signer << ": an output was written";
    for (const std::string& line : messages)
      for (const char* pin : {test::SoftHsmToken::kPin, "11112222"})
        EXPECT_EQ(line.find(pin), std::string::npos) << "the PIN is shown: " << line;
  }

  // Refused before the run starts: exit status 2, the message, then where the signer text came from.
  void ExpectUsageError(const std::string& signer, const std::string& message) {
    std::vector<std::string> messages;
    EXPECT_EQ(Make("Non-File System", signer, messages), 2) << signer;
    EXPECT_EQ(messages, (std::vector<std::string>{message, "given in TARNEL_SIGNER"}));
    EXPECT_TRUE(fs::is_empty(root / "out")) << signer << ": an output was written";
  }

  std::string Helper(const std::string& name, const std::string& body) {
    const std::string path = root / name;
    WriteText(path, "#!/bin/sh\n" + body + "\n");
    EXPECT_EQ(::chmod(path.c_str(), 0755), 0);
    return path;
  }

  test::TempFolder root;
};

TEST_F(SignerCli, TokenFailuresAreNamed) {
  // A PIN file for CI: the run signs with it.
  const std::string pinFile = root / "pin";
  WriteText(pinFile, std::string(test::SoftHsmToken::kPin) + "\n");
  ASSERT_EQ(::chmod(pinFile.c_str(), 0600), 0);
  std::vector<std::string> messages;
  EXPECT_EQ(Make("Fastboot", token.Uri("pin-source=file:" + pinFile), messages), 0)
      << testing::PrintToString(messages);
  fs::remove(root / "out/part.img");

  ExpectRefused("Non-File System", token.Uri("pin-value=11112222"),
                "The PIN for the token \"tarnel\" is wrong!");
  // The scheme ignores case, and no message shows what follows it.
  ExpectRefused("Non-File System", "PKCS11:" + token.Uri("pin-value=11112222").substr(7),
                "The PIN for the token \"tarnel\" is wrong!");
  // A signer text that names nothing is a usage error, wherever it is given.
  ExpectUsageError("pkcs12:pin-value=11112222",
                   "tarnel-cli: Unknown signer \"pkcs12:\": give keylist, pkcs11:<URI> or exec:<program>!");
  // A PIN file others can read is refused, naming it.
  ASSERT_EQ(::chmod(pinFile.c_str(), 0640), 0);
  ExpectRefused("Non-File System", token.Uri("pin-source=file:" + pinFile),
                "The PIN file " + pinFile + " must be owned by you and readable by you alone!");
  // A module given by a relative path is refused, naming it.
  ExpectRefused("Non-File System", token.Uri("pin-value=1", "softhsm2.so"),
                "The PKCS#11 module-path softhsm2.so must be an absolute path!");
  // On the command line a pin-value is refused, pointing to pin-source.
  std::string out;
  EXPECT_EQ(test::RunShell(test::ShellQuote(TARNEL_CLI_PATH) + " make --board 2 --config x --keys y --output z" +
                               " --signer " + test::ShellQuote(token.Uri("pin-value=11112222")),
                           &out),
            2);
  EXPECT_NE(out.find("pin-source=file:"), std::string::npos) << out;
  EXPECT_EQ(out.find("11112222"), std::string::npos) << out;
  ExpectRefused("Non-File System", token.Uri("pin-value=1", root / "no-such-module.so"),
                "Failed to load the PKCS#11 module " + (root / "no-such-module.so") + "!");
  // A key the token does not hold: named by its role and the SHA-256 of its modulus.
  std::string modulusText;
  ASSERT_EQ(test::RunShell("openssl rsa -noout -modulus -in " + OtherKeyPem(root), &modulusText), 0);
  auto keys = lines;
  keys[10] = "0x" + Trim(modulusText.substr(modulusText.find('=') + 1));
  keys[11] = "0x010001";
  std::string text;
  for (const auto& l : keys) text += l + "\n";
  WriteText(root / "in/Keys_for_signature.txt", text);
  std::vector<uint8_t> modulus;
  for (size_t i = 2; i + 1 < keys[10].size(); i += 2)
    modulus.push_back(static_cast<uint8_t>(std::stoi(keys[10].substr(i, 2), nullptr, 16)));
  std::string fingerprint;
  for (uint8_t b : test::Sha256Of(modulus.data(), modulus.size())) fingerprint += Format("%02x", b);
  ExpectRefused("Fastboot", token.Uri(),
                "The token \"tarnel\" holds no private key for the root key (SHA-256 of its modulus: " + fingerprint +
                    ")!");
}

TEST_F(SignerCli, HelperFailuresAreNamed) {
  const std::string fails = Helper("fails", "exit 1");
  ExpectRefused("Non-File System", "exec:" + fails,
                "The signing helper " + fails + " failed for the external key (exit status 1)!");
  const std::string shortAnswer = Helper("short", "cat >/dev/null; head -c 255 /dev/zero");
  ExpectRefused("Non-File System", "exec:" + shortAnswer,
                "The signing helper " + shortAnswer +
                    " answered 255 bytes for the external key instead of a 256-byte signature!");
  // A valid signature, by another key.
  const std::string wrongKey =
      Helper("wrong", "exec openssl pkeyutl -sign -inkey " + OtherKeyPem(root) + " -pkeyopt digest:sha256");
  ExpectRefused("Non-File System", "exec:" + wrongKey,
                "The signature made by the signing helper " + wrongKey +
                    " with the external key does not verify with the external public key of the key list!");
  ExpectUsageError("exec:fails", "tarnel-cli: The signing helper fails must be given as an absolute path!");
  // A helper that hangs is killed at the time limit, with what it started.
  test::EnvGuard timeout{kHelperTimeoutEnv, "1"};
  const std::string hangs = Helper("hangs", "sleep 30 >/dev/null 2>&1 & echo $! > " + root / "gpid" +
                                                "; exec sleep 30");
  ExpectRefused("Non-File System", "exec:" + hangs,
                "The signing helper " + hangs + " did not answer for the external key within 1 s!");
  EXPECT_FALSE(Alive(std::stoi(test::ReadText(root / "gpid")))) << "the helper's child outlived the time limit";
}

// A helper sees standard input, output and error only, no PIN and no
// signer text, and runs in a process group of its own.
TEST_F(SignerCli, HelperGetsOnlyWhatItNeeds) {
  const std::string probe = Helper("probe", "ls -l /proc/$$/fd > " + root / "fds" + "; env > " + root / "env" +
                                                "; cut -d' ' -f5 /proc/$$/stat > " + root / "pgid" +
                                                "; grep 'core file' /proc/$PPID/limits > " + root / "limits" +
                                                "; echo $$ > " + root / "pid" + "; exit 1");
  test::EnvGuard pin{kPinEnv, "11112222"};
  std::vector<std::string> messages;
  EXPECT_EQ(Make("Non-File System", "exec:" + probe, messages), 1);
  const std::string env = test::ReadText(root / "env");
  EXPECT_EQ(env.find("TARNEL_PKCS11_PIN"), std::string::npos) << env;
  EXPECT_EQ(env.find("TARNEL_SIGNER"), std::string::npos) << env;
  // Nothing of the run is open in the helper: no input, output, Temp or key file.
  const std::string fds = test::ReadText(root / "fds");
  for (const char* folder : {"in/", "out/", "home/"})
    EXPECT_EQ(fds.find(root.Path() + folder), std::string::npos) << folder << "\n" << fds;
  EXPECT_EQ(Trim(test::ReadText(root / "pgid")), Trim(test::ReadText(root / "pid")));
  // The tool itself, holding keys, may write no core file.
  const std::vector<std::string> limit = SplitLines(test::ReadText(root / "limits"));
  ASSERT_EQ(limit.size(), 1u);
  std::istringstream fields(limit[0]);
  std::string max, core, file, size, soft, hard;
  fields >> max >> core >> file >> size >> soft >> hard;
  EXPECT_EQ(soft + " " + hard, "0 0") << limit[0];
}

// SIGTERM to the tool alone stops the helper and what it started, and the
// tool waits for them before it ends.
TEST_F(SignerCli, HelperStopsWithTheTool) {
  const std::string slow = Helper("slow", "sleep 30 >/dev/null 2>&1 & echo $! > " + root / "gpid" + "; echo $$ > " +
                                              root / "pid" + "; wait");
  WriteText(root / "in/table.xml",
            "<?xml version=\"1.0\" encoding=\"GB2312\"?>\n<Tarnel_PartConfigs>\n"
            "<PartConfig Sel=\"1\" OutputName=\"part\" FileType=\"Non-File System\" FlashName=\"EMMC_8G\" "
            "Upgrade=\"No\" UnsignedFile=\"kernel.bin\"/>\n</Tarnel_PartConfigs>\n");
  const pid_t tool = fork();
  ASSERT_GE(tool, 0);
  if (tool == 0) {
    const int devnull = ::open("/dev/null", O_RDWR);
    ::dup2(devnull, 0);
    ::dup2(devnull, 1);
    ::dup2(devnull, 2);
    execl(TARNEL_CLI_PATH, TARNEL_CLI_PATH, "make", "--board", "2", "--home", (root / "home").c_str(), "--config",
          (root / "in/table.xml").c_str(), "--keys", (root / "in/Keys_for_signature.txt").c_str(), "--output",
          (root / "out").c_str(), "--signer", ("exec:" + slow).c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  bool started = false;
  for (int i = 0; i < 1000 && !started; ++i) {
    started = fs::exists(root / "gpid") && fs::exists(root / "pid") && !test::ReadText(root / "pid").empty();
    if (!started) ::usleep(10000);
  }
  ::kill(tool, SIGTERM);
  int status = 0;
  ASSERT_EQ(::waitpid(tool, &status, 0), tool);
  ASSERT_TRUE(started) << "the helper did not start";
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM);
  EXPECT_FALSE(Alive(std::stoi(test::ReadText(root / "pid")))) << "the helper outlived the tool";
  EXPECT_FALSE(Alive(std::stoi(test::ReadText(root / "gpid")))) << "the helper's child outlived the tool";
}

// keygen --signer: the keys are made in the token; its key list signs a run
// whose signatures the openssl command line accepts with the public key only.
TEST_F(SignerCli, KeygenInTheTokenSignsARun) {
  const std::string keys = root / "in/Keys_for_signature.txt";
  fs::remove(keys);
  std::string out;
  ASSERT_EQ(test::RunShell("TARNEL_PKCS11_PIN=" + std::string(test::SoftHsmToken::kPin) + " " +
                               test::ShellQuote(TARNEL_CLI_PATH) + " keygen --signer " +
                               test::ShellQuote(token.Uri("")) + " " + test::ShellQuote(keys),
                           &out),
            0)
      << out;
  const auto made = SplitLines(test::ReadText(keys));
  ASSERT_EQ(made.size(), 23u);
  for (size_t i : {2, 7, 12, 17}) EXPECT_EQ(made[i], "0x00") << i;
  EXPECT_EQ(made[8], made[0]);
  struct stat st {};
  ASSERT_EQ(::stat(keys.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  // The private keys are not extractable.
  std::string objects;
  test::RunShell("pkcs11-tool --module " + test::SoftHsmModule() + " --token-label tarnel --login --pin " +
                     test::SoftHsmToken::kPin + " --list-objects --type privkey",
                 &objects);
  EXPECT_NE(objects.find("tarnel-external"), std::string::npos) << objects;
  EXPECT_NE(objects.find("never extractable"), std::string::npos) << objects;

  std::vector<std::string> messages;
  ASSERT_EQ(Make("Non-File System", token.Uri(), messages), 0) << testing::PrintToString(messages);
  const auto image = ReadBytes(root / "out/part.img");
  ASSERT_EQ(image.size(), 2u * 8192);
  test::WriteBytes(root / "sig.bin", std::vector<uint8_t>(image.begin() + 8192 + 116, image.begin() + 8192 + 372));
  test::WriteBytes(root / "data.bin", PatternBytes(5000, 2));
  test::WritePublicKeyPem(made[0], made[1], root / "pub.pem");
  EXPECT_EQ(test::RunShell("openssl dgst -sha256 -verify " + (root / "pub.pem") + " -signature " +
                               (root / "sig.bin") + " " + (root / "data.bin"),
                           &out),
            0)
      << out;
}

}  // namespace
}  // namespace tarnel
