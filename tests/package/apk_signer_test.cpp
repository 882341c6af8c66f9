// The native whole-file signer against the real signapk.jar: every archive of
// the matrix is signed by both, in one JVM for all of them, and the outputs
// must be the same bytes; where signapk fails, the native signer fails too
// and leaves nothing behind. Archives are written by python3's zipfile (an
// independent writer) and by our own ZIP writer, keys by the openssl tool.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "cli/demo.h"
#include "common/files.h"
#include "package/apk_signer.h"
#include "package/archive_oracles.h"
#include "package/zip_archive.h"
#include "signing/signer.h"
#include "support/test_support.h"

namespace tarnel {
namespace {

namespace fs = std::filesystem;
using test::Q;

constexpr const char* kSignApkJar = "/usr/share/signapk/signapk.jar";

// The matrix archives. Each case is a function of (path) in the script.
constexpr const char* kArchiveScript = R"PY(
import sys, struct, zipfile, zlib, os
out = sys.argv[1]

def info(name, method=zipfile.ZIP_DEFLATED, mode=None, system=3, extra=b''):
    i = zipfile.ZipInfo(name, (2021, 5, 6, 7, 8, 10))
    i.compress_type = method
    i.create_system = system
    if mode is not None:
        i.external_attr = mode << 16
    i.extra = extra
    return i

S, D = zipfile.ZIP_STORED, zipfile.ZIP_DEFLATED
text = b''.join(b'line %d of a compressible file\n' % k for k in range(20000))
rnd = bytes((k * 2654435761 >> 13) & 255 for k in range(70000))

def write(name, entries, comment=b'', level=None):
    with zipfile.ZipFile(os.path.join(out, name), 'w', compresslevel=level) as z:
        z.comment = comment
        for i, data in entries:
            z.writestr(i, data)

write('empty.zip', [])
write('mixed.zip', [
    (info('a/', S, 0o40755), b''),
    (info('a/b/', S, 0o40700), b''),
    (info('a/stored.txt', S, 0o100644), b'stored text\n' * 10),
    (info('a/run.sh', D, 0o100755), b'#!/bin/sh\necho hi\n' * 40),
    (info('dos-stored.bin', S, None, 0), rnd[:5000]),
    (info('zero-mode-stored', S, 0, 3), b'x'),
    (info('empty-deflated', D, 0o100600), b''),
    (info('empty-stored', S, 0o100600), b''),
    (info('big.txt', D, 0o100644), text),
    (info('random.bin', D), rnd),
], comment=b'an archive comment that is dropped')
write('level9.zip', [(info('big.txt', D, 0o100644), text), (info('random.bin', D), rnd)], level=9)
write('sigfiles.zip', [(info(n, S if k % 2 else D), n.encode() * 3) for k, n in enumerate([
    'META-INF/MANIFEST.MF', 'META-INF/CERT.SF', 'META-INF/CERT.RSA', 'META-INF/sub/dir/X.DSA', 'META-INF/A.EC',
    'META-INF/com/android/otacert', 'META-INF/.SF', 'pinlist.meta',
    'META-INF/x.sf', 'meta-inf/manifest.mf', 'META-INF/MANIFEST.MF.bak', 'META-INF/a\nb.SF', 'META-INF/a\u2028b.RSA',
    'META-INF/a\u0085b.DSA', 'META-INF/CERT.SF.txt', 'XMETA-INF/CERT.SF', 'META-INF/com/android/otacert2', 'keep.txt'])])
write('utf16.zip', [(info(n, S if k % 3 == 0 else D), n.encode() * 5) for k, n in enumerate([
    '\U0001F600.txt', '\uE000.txt', '\uFF21.txt', 'Z.txt', '\u00e9t\u00e9.txt', 'a\U00010000', 'a\uFFFF', 'A', 'a'])])
# A stub before the archive: the offsets in the directory do not count it.
stub = b'#!/bin/sh\necho self-extracting stub\nexit 0\n' * 20
write('stub-inner.zip', [(info('one.txt', S, 0o100644), b'one\n'), (info('two.txt', D), text[:30000])])
with open(os.path.join(out, 'stub.zip'), 'wb') as f:
    f.write(stub + open(os.path.join(out, 'stub-inner.zip'), 'rb').read())
os.remove(os.path.join(out, 'stub-inner.zip'))
# Time extras: UT with modification, access and creation times; NTFS times,
# one of them past 2038; on stored entries they survive, on deflated not.
ut_all = struct.pack('<HHBiii', 0x5455, 13, 7, 1600000000, 1600000100, 1600000200)
ut_m = struct.pack('<HHBi', 0x5455, 5, 1, 1600000000)
ut_a = struct.pack('<HHBi', 0x5455, 5, 2, -5)
def ntfs(m, a, c):
    return struct.pack('<HHIHHQQQ', 0x000a, 32, 0, 1, 24, m, a, c)
win = lambda unix: unix * 10000000 + 116444736000000000 + 1234567
write('times.zip', [
    (info('ut-all', S, 0o100644, extra=ut_all), b'ut all'),
    (info('ut-mtime-only', S, 0o100644, extra=ut_m), b'ut m'),
    (info('ut-atime-negative', S, extra=ut_a), b'ut a'),
    (info('ntfs', S, 0o100644, extra=ntfs(win(1500000000), win(1500000001), win(1500000002))), b'ntfs'),
    (info('ntfs-2040', S, 0o100644, extra=ntfs(win(1500000000), win(2200000000), 1 << 63)), b'ntfs late'),
    (info('ntfs-none', S, extra=ntfs(win(1), 1 << 63, 1 << 63)), b'ntfs none'),
    (info('ut-deflated', D, 0o100644, extra=ut_all), b'deflated times are dropped' * 5),
])
# zip64 extras on the input's entries.
with zipfile.ZipFile(os.path.join(out, 'zip64in.zip'), 'w') as z:
    for name, method in [('z-stored', S), ('z-deflated', D)]:
        with z.open(info(name, method, 0o100644), 'w', force_zip64=True) as f:
            f.write(text[:50000])

# Inputs signapk refuses.
write('duplicate.zip', [(info('same.txt', S), b'one'), (info('same.txt', D), b'two')])
write('bzip2.zip', [(info('b.txt', zipfile.ZIP_BZIP2), text[:1000])])
write('badname.zip', [(info('bad\u00e9name', S), b'x')])
data = bytearray(open(os.path.join(out, 'badname.zip'), 'rb').read())
data = data.replace('bad\u00e9name'.encode(), b'bad\xc3\x28name')
open(os.path.join(out, 'badname.zip'), 'wb').write(bytes(data))
write('storedcrc.zip', [(info('crc.txt', S), b'the crc of this is wrong')])
data = bytearray(open(os.path.join(out, 'storedcrc.zip'), 'rb').read())
cen = data.rfind(b'PK\x01\x02')
data[cen + 16] ^= 0xFF
open(os.path.join(out, 'storedcrc.zip'), 'wb').write(bytes(data))
# Inputs that only Java can sign the way signapk does.
write('pinhints.zip', [(info('assets/com.android.hints.pins.txt', D), b'lib/x.so 0 4096\n')])
)PY";

// Runs SignApk.main once per job in one JVM; prints "OK" or "FAIL" per job.
// A failing job ends in System.exit, which the security manager turns into
// an exception so that the next job still runs.
constexpr const char* kDriverJava = R"JAVA(
public class SignApkBatch {
  static volatile boolean done = false;
  public static void main(String[] args) throws Exception {
    System.setSecurityManager(new SecurityManager() {
      @Override public void checkPermission(java.security.Permission p) {}
      @Override public void checkExit(int status) {
        if (!done) throw new SecurityException("exit " + status);
      }
    });
    for (int i = 0; i + 4 <= args.length; i += 4) {
      String result = "OK";
      try {
        java.lang.reflect.Method main = Class.forName("com.android.signapk.SignApk").getMethod("main", String[].class);
        main.setAccessible(true);
        main.invoke(null, (Object) new String[] {"-w", args[i], args[i + 1], args[i + 2], args[i + 3]});
      } catch (Throwable t) {
        result = "FAIL";
      }
      System.out.println(result);
    }
    done = true;
    System.exit(0);
  }
}
)JAVA";

struct KeyPair {
  std::string cert, key;
};

bool HaveJava() {
  static const bool have = fs::exists(kSignApkJar) && test::RunShell("command -v java && command -v javac") == 0;
  return have;
}

struct Job {
  std::string name;
  KeyPair keys;
  std::string input, javaOut, nativeOut;
};

class ApkSignerTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = std::make_unique<test::TempFolder>();
    const std::string d = dir_->Path();
    std::string out;
    // Keys: the demo's pair (SHA-256, PEM), and others made with openssl.
    ASSERT_TRUE(fs::create_directory(d + "demo"));
    std::string error;
    ASSERT_TRUE(demo::WritePackageSamples(d + "demo/", error)) << error;
    keys_["sha256"] = {d + "demo/testkey.x509.pem", d + "demo/testkey.pk8"};
    const auto make = [&](const std::string& name, const std::string& algo, const std::string& md, bool der) {
      const std::string base = d + name;
      const std::string cmd =
          "(openssl req -x509 -newkey " + algo + " -nodes -keyout " + Q(base + ".key.pem") + " -subj '/O=Tarnel test/CN=" +
          name + "' -" + md + " -days 30 -set_serial 0x00F1E2D3C4B5A69788 -out " + Q(base + ".cert.pem") +
          " && openssl pkcs8 -topk8 -nocrypt -inform PEM -outform DER -in " + Q(base + ".key.pem") + " -out " +
          Q(base + ".pk8") +
          (der ? " && openssl x509 -in " + Q(base + ".cert.pem") + " -outform DER -out " + Q(base + ".cert.der") : "") + ")";
      ASSERT_EQ(test::RunShell(cmd + " 2>&1", &out), 0) << out;
      keys_[name] = {base + (der ? ".cert.der" : ".cert.pem"), base + ".pk8"};
    };
    make("sha1", "rsa:2048", "sha1", false);
    make("md5", "rsa:2048", "md5", false);
    make("rsa4096", "rsa:4096", "sha256", true);
    make("ec", "ec -pkeyopt ec_paramgen_curve:prime256v1", "sha256", false);
    make("sha512", "rsa:2048", "sha512", false);
    ASSERT_EQ(test::RunShell("openssl pkcs8 -topk8 -v2 aes-256-cbc -passout pass:secret -inform DER -outform DER -in " +
                                 Q(keys_["sha1"].key) + " -out " + Q(d + "encrypted.pk8") + " 2>&1",
                             &out),
              0)
        << out;

    // A certificate outside the distinguished encoding: its booleans TRUE
    // written as 01 rather than FF (which BER allows).
    ASSERT_EQ(test::RunShell("openssl x509 -in " + Q(keys_["sha1"].cert) + " -outform DER | python3 -c 'import sys; "
                             "sys.stdout.buffer.write(sys.stdin.buffer.read().replace(b\"\\x01\\x01\\xff\", "
                             "b\"\\x01\\x01\\x01\"))' > " + Q(d + "ber.cert.der") + " 2>&1",
                             &out),
              0)
        << out;
    keys_["ber"] = {d + "ber.cert.der", keys_["sha1"].key};
    ASSERT_TRUE(fs::create_directory(d + "in"));
    ASSERT_EQ(test::RunShell("python3 -c " + Q(kArchiveScript) + " " + Q(d + "in/") + " 2>&1", &out), 0) << out;
    MakeUpgradeArchive(d + "in/upgrade.zip");
  }
  static void TearDownTestSuite() { dir_.reset(); }

  // The demo's template with images appended by our ZIP writer, as the Make
  // run built the upgrade package before signing it (one image short enough
  // to be stored, one too large to stay in memory when deflated ahead).
  static void MakeUpgradeArchive(const std::string& path) {
    const std::string d = dir_->Path();
    ASSERT_TRUE(CopyFileReplace(d + "demo/META-INF.zip", path));
    test::WriteBytes(d + "system.img", test::PatternBytes(600000, 7));
    test::WriteBytes(d + "random.img", test::PatternBytes(3u << 20, 8));
    test::WriteText(d + "tiny.img", "tiny");
    fs::permissions(d + "tiny.img", fs::perms(0640));
    CZipArchive zip;
    ASSERT_TRUE(zip.OpenForAppend(path));
    for (const ApkAddedFile& f : UpgradeFiles()) ASSERT_TRUE(zip.AddDiskFile(f.diskPath, f.entryName));
    ASSERT_TRUE(zip.Close());
  }
  static std::vector<ApkAddedFile> UpgradeFiles() {
    const std::string d = dir_->Path();
    return {{d + "system.img", "system.img"}, {d + "random.img", "a-random.img"}, {d + "tiny.img", "logo.img"}};
  }

  static Job MakeJob(const std::string& archive, const std::string& keyName) {
    const std::string d = dir_->Path();
    const std::string name = archive + "+" + keyName;
    return {name, keys_.at(keyName), d + "in/" + archive, d + "java-" + name, d + "native-" + name};
  }

  // signapk over every job in one JVM: true per job that Java signed.
  static std::vector<bool> RunJava(const std::vector<Job>& jobs) {
    const std::string d = dir_->Path();
    std::string out;
    if (!fs::exists(d + "SignApkBatch.class")) {
      test::WriteText(d + "SignApkBatch.java", kDriverJava);
      EXPECT_EQ(test::RunShell("javac -cp " + Q(kSignApkJar) + " -d " + Q(d) + " " + Q(d + "SignApkBatch.java") + " 2>&1", &out), 0)
          << out;
    }
    std::string cmd = "java -Djava.security.manager=allow -cp " + Q(std::string(kSignApkJar) + ":" + d) + " SignApkBatch";
    for (const Job& j : jobs) cmd += " " + Q(j.keys.cert) + " " + Q(j.keys.key) + " " + Q(j.input) + " " + Q(j.javaOut);
    EXPECT_EQ(test::RunShell(cmd + " 2>/dev/null", &out), 0) << out;
    std::vector<bool> ok;
    for (const std::string& line : test::SplitLines(out)) {
      if (line == "OK" || line == "FAIL") ok.push_back(line == "OK");
    }
    EXPECT_EQ(ok.size(), jobs.size()) << out;
    ok.resize(jobs.size(), false);
    return ok;
  }

  static inline std::unique_ptr<test::TempFolder> dir_;
  static inline std::map<std::string, KeyPair> keys_;
};

// The matrix: every case gives the bytes signapk gives. Without Java the
// outputs are still checked with unzip and the openssl tool.
TEST_F(ApkSignerTest, MatrixIsByteIdenticalToSignApk) {
  const std::vector<Job> jobs = {
      MakeJob("empty.zip", "sha256"),    MakeJob("mixed.zip", "sha1"),        MakeJob("mixed.zip", "rsa4096"),
      MakeJob("level9.zip", "sha256"),   MakeJob("sigfiles.zip", "sha256"),   MakeJob("utf16.zip", "sha1"),
      MakeJob("stub.zip", "md5"),        MakeJob("times.zip", "sha256"),      MakeJob("zip64in.zip", "sha256"),
      MakeJob("upgrade.zip", "sha256"),
  };
  for (const Job& j : jobs) {
    const ApkSignResult r = SignApkWholeFile(j.keys.cert, j.keys.key, j.input, j.nativeOut);
    ASSERT_TRUE(r.Ok()) << j.name << ": " << r.message;
    std::string out;
    EXPECT_TRUE(test::UnzipTestPasses(j.nativeOut, &out)) << j.name << ": " << out;
    test::ExpectCmsVerifies(j.nativeOut, j.keys.cert, j.nativeOut);
  }
  // A certificate and key read once sign every archive of theirs with the
  // same bytes as reading them for each.
  std::map<std::string, std::shared_ptr<const ApkSigningIdentity>> identities;
  for (const Job& j : jobs) {
    std::shared_ptr<const ApkSigningIdentity>& identity = identities[j.keys.cert];
    if (!identity) {
      const ApkSigningIdentityResult loaded = LoadApkSigningIdentity(j.keys.cert, j.keys.key);
      ASSERT_TRUE(loaded.result.Ok()) << loaded.result.message;
      identity = loaded.identity;
    }
    const std::string again = j.nativeOut + "-identity";
    ASSERT_TRUE(SignApkWithIdentity(*identity, j.input, again).Ok()) << j.name;
    EXPECT_TRUE(test::ReadBytes(again) == test::ReadBytes(j.nativeOut)) << j.name;
    fs::remove(again);
  }
  // What was dropped and kept, as unzip lists it.
  std::string names;
  ASSERT_EQ(test::RunShell("python3 -c 'import sys, zipfile; print(*zipfile.ZipFile(sys.argv[1]).namelist(), sep=\"|\")' " +
                               Q(dir_->Path() + "native-sigfiles.zip+sha256"),
                           &names),
            0);
  EXPECT_EQ(test::SplitLines(names).size(), 2u);  // one name holds a line end
  EXPECT_EQ(names,
            // stored, in UTF-16 order, then deflated
            "META-INF/a\nb.SF|META-INF/a\u0085b.DSA|XMETA-INF/CERT.SF|keep.txt|meta-inf/manifest.mf|"
            "META-INF/CERT.SF.txt|META-INF/MANIFEST.MF.bak|META-INF/a\u2028b.RSA|META-INF/com/android/otacert2|"
            "META-INF/x.sf|META-INF/com/android/otacert\n");
  // The upgrade archive in one pass, from the template and the files, with
  // entries deflated side by side: the bytes of the archive built first.
  const Job& upgrade = jobs.back();
  const std::vector<std::string> before = test::FolderEntries(dir_->Path());
  for (const unsigned threads : test::kThreadCounts) {
    test::ScopedWorkerThreads scoped(threads);
    const std::string onePass = upgrade.nativeOut + "-one-pass";
    const ApkSignResult r =
        SignApkWithFiles(upgrade.keys.cert, upgrade.keys.key, dir_->Path() + "demo/META-INF.zip", UpgradeFiles(), onePass);
    ASSERT_TRUE(r.Ok()) << r.message;
    EXPECT_TRUE(test::ReadBytes(onePass) == test::ReadBytes(upgrade.nativeOut)) << threads << " threads";
    fs::remove(onePass);
    EXPECT_EQ(test::FolderEntries(dir_->Path()), before) << "spilled entries were left behind";
  }
  if (!HaveJava()) GTEST_SKIP() << "no Java runtime or " << kSignApkJar << ": signapk comparison skipped";
  const std::vector<bool> javaOk = RunJava(jobs);
  for (size_t i = 0; i < jobs.size(); ++i) {
    ASSERT_TRUE(javaOk[i]) << jobs[i].name << ": signapk failed";
    EXPECT_TRUE(test::ReadBytes(jobs[i].javaOut) == test::ReadBytes(jobs[i].nativeOut))
        << jobs[i].name << ": the outputs differ (cmp " << jobs[i].javaOut << " " << jobs[i].nativeOut << ")";
  }
}

// Where signapk fails, the native signer fails too, with a message, and
// nothing is left at the output path. Inputs signapk signs in a way no one
// else can repeat are refused, saying why.
TEST_F(ApkSignerTest, FailsWhereSignApkFailsAndRefusesWhatOnlyJavaCanSign) {
  const std::string d = dir_->Path();
  const std::vector<Job> failing = {MakeJob("duplicate.zip", "sha256"), MakeJob("bzip2.zip", "sha256"),
                                    MakeJob("badname.zip", "sha256"), MakeJob("storedcrc.zip", "sha256"),
                                    MakeJob("mixed.zip", "sha512")};
  for (const Job& j : failing) {
    const ApkSignResult r = SignApkWholeFile(j.keys.cert, j.keys.key, j.input, j.nativeOut);
    EXPECT_EQ(r.status, ApkSignStatus::Failed) << j.name;
    EXPECT_FALSE(r.message.empty()) << j.name;
    EXPECT_FALSE(fs::exists(j.nativeOut)) << j.name;
  }
  // A file to be added that is not there is named as such.
  std::vector<ApkAddedFile> files = UpgradeFiles();
  files.insert(files.begin() + 1, {d + "missing.img", "missing.img"});
  const ApkSignResult missing =
      SignApkWithFiles(keys_["sha256"].cert, keys_["sha256"].key, d + "demo/META-INF.zip", files, d + "missing.zip");
  EXPECT_EQ(missing.status, ApkSignStatus::FileUnreadable);
  EXPECT_EQ(missing.file, d + "missing.img");
  EXPECT_FALSE(fs::exists(d + "missing.zip"));
  struct Refusal {
    Job job;
    std::string reason;
  };
  Job encrypted = MakeJob("mixed.zip", "sha1");
  encrypted.keys.key = d + "encrypted.pk8";
  encrypted.nativeOut += "-encrypted";
  const std::vector<Refusal> refusals = {{MakeJob("mixed.zip", "ec"), "EC key"},
                                         {MakeJob("pinhints.zip", "sha256"), "pinlist.meta"},
                                         {encrypted, "encrypted PKCS#8"},
                                         {MakeJob("mixed.zip", "ber"), "(DER)"}};
  for (const Refusal& c : refusals) {
    const ApkSignResult r = SignApkWholeFile(c.job.keys.cert, c.job.keys.key, c.job.input, c.job.nativeOut);
    EXPECT_EQ(r.status, ApkSignStatus::Refused) << c.job.name;
    EXPECT_NE(r.message.find(c.reason), std::string::npos) << r.message;
    EXPECT_FALSE(fs::exists(c.job.nativeOut)) << c.job.name;
  }
  if (!HaveJava()) GTEST_SKIP() << "no Java runtime or " << kSignApkJar << ": signapk comparison skipped";
  std::vector<Job> javaJobs = failing;
  javaJobs.push_back(refusals[0].job);
  javaJobs.push_back(refusals[1].job);
  javaJobs.push_back(refusals[3].job);
  const std::vector<bool> javaOk = RunJava(javaJobs);
  for (size_t i = 0; i < failing.size(); ++i) EXPECT_FALSE(javaOk[i]) << failing[i].name << ": signapk signed it";
  EXPECT_TRUE(javaOk[failing.size()]) << "signapk signs with an EC key";
  EXPECT_TRUE(javaOk[failing.size() + 1]) << "signapk signs the pin hints";
  // signapk signs the BER certificate, but embeds it re-encoded: its own
  // bytes are not in the signature.
  ASSERT_TRUE(javaOk[failing.size() + 2]) << "signapk signs with a BER certificate";
  const std::vector<uint8_t> cert = test::ReadBytes(keys_["ber"].cert);
  const std::vector<uint8_t> signedByJava = test::ReadBytes(refusals[3].job.javaOut);
  EXPECT_EQ(std::search(signedByJava.begin(), signedByJava.end(), cert.begin(), cert.end()), signedByJava.end());
}

// The key in a token (SoftHSM2), found by the certificate's public key:
// the same bytes as the key file, with a SHA-1 and a SHA-256 certificate; a
// certificate whose key the token does not hold is named.
TEST_F(ApkSignerTest, KeyInATokenGivesTheKeyFilesBytes) {
  if (test::SoftHsmModule().empty()) GTEST_SKIP() << "softhsm2 is not installed (scripts/bootstrap installs it)";
  test::SoftHsmToken token;
  ASSERT_TRUE(token.Ready());
  const std::string d = dir_->Path();
  std::string out;
  for (const char* name : {"sha1", "sha256"}) {
    ASSERT_EQ(test::RunShell("openssl pkcs8 -inform DER -nocrypt -in " + Q(keys_[name].key) + " -out " +
                                 Q(d + name + ".token.pem") + " && softhsm2-util --import " + Q(d + name + ".token.pem") +
                                 " --token " + test::SoftHsmToken::kLabel + " --label " + name + " --id 0" +
                                 (name[3] == '1' ? "1" : "2") + " --pin " + test::SoftHsmToken::kPin + " 2>&1",
                             &out),
              0)
        << out;
  }
  std::string error;
  std::unique_ptr<Signer> signer = MakeSigner(token.Uri(), KeyLines{}, d, nullptr, error);
  ASSERT_TRUE(signer) << error;
  ApkSignOptions options;
  options.keySigner = [&signer](EVP_PKEY* certificateKey, bool sha256, const uint8_t* digest,
                                std::vector<uint8_t>& signature, std::string& message) {
    SignError failure;
    if (signer->SignForPublicKey(certificateKey, sha256, digest, signature, failure)) return true;
    message = failure.message;
    return false;
  };
  for (const Job& j : {MakeJob("mixed.zip", "sha1"), MakeJob("upgrade.zip", "sha256")}) {
    ASSERT_TRUE(SignApkWholeFile(j.keys.cert, j.keys.key, j.input, j.nativeOut + "-file").Ok()) << j.name;
    const ApkSignResult r = SignApkWholeFile(j.keys.cert, "", j.input, j.nativeOut + "-token", options);
    ASSERT_TRUE(r.Ok()) << j.name << ": " << r.message;
    EXPECT_TRUE(test::ReadBytes(j.nativeOut + "-token") == test::ReadBytes(j.nativeOut + "-file")) << j.name;
  }
  const Job other = MakeJob("mixed.zip", "rsa4096");
  const ApkSignResult r = SignApkWholeFile(other.keys.cert, "", other.input, other.nativeOut + "-token", options);
  EXPECT_EQ(r.status, ApkSignStatus::Failed);
  EXPECT_NE(r.message.find("no private key for the archive key"), std::string::npos) << r.message;
  EXPECT_FALSE(fs::exists(other.nativeOut + "-token"));
}

}  // namespace
}  // namespace tarnel
