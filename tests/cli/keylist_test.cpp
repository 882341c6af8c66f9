// Key lists from and to standard key files, through the built tarnel-cli:
// keys made by the openssl command line go in, the images signed with them
// verify with openssl and the original public keys, and the public keys come
// back out byte for byte as openssl writes them.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <sys/stat.h>

#include "cli/cli_fixture.h"
#include "common/le.h"
#include "common/text.h"
#include "signing/signer.h"
#include "signing/messages.h"

namespace tarnel {
namespace {

class Keylist : public Cli {
 protected:
  // A private key made by openssl, PKCS #8 PEM.
  std::string MakeKey(const std::string& name, const std::string& algorithm = "RSA -pkeyopt rsa_keygen_bits:2048") {
    const std::string pem = root_ / (name + ".pem");
    std::string output;
    EXPECT_EQ(RunShell("openssl genpkey -algorithm " + algorithm + " -out " + ShellQuote(pem), &output), 0) << output;
    return pem;
  }

  std::string Openssl(const std::string& args) {
    std::string output;
    EXPECT_EQ(RunShell("openssl " + args, &output), 0) << output;
    return output;
  }

  // openssl verifies `signature` over `data` with the public key in `pem`.
  void ExpectVerifies(const std::vector<uint8_t>& data, const uint8_t* signature, const std::string& pem) {
    WriteBytes(root_ / "data.bin", data);
    WriteBytes(root_ / "sig.bin", std::vector<uint8_t>(signature, signature + 256));
    std::string output;
    EXPECT_EQ(RunShell("openssl dgst -sha256 -verify " + ShellQuote(pem) + " -signature " +
                           ShellQuote(root_ / "sig.bin") + " " + ShellQuote(root_ / "data.bin"),
                       &output),
              0)
        << output;
  }
};

TEST_F(Keylist, ImportedPemKeysSignWhatOpensslVerifiesWithTheOriginals) {
  const std::string external = MakeKey("external");
  const std::string rootPem = MakeKey("root");
  const std::string rootPk8 = root_ / "root.pk8";
  Openssl("pkcs8 -topk8 -nocrypt -outform DER -in " + ShellQuote(rootPem) + " -out " + ShellQuote(rootPk8));
  const std::string externalPub = Openssl("pkey -pubout -in " + ShellQuote(external));
  const std::string rootPub = Openssl("pkey -pubout -in " + ShellQuote(rootPem));
  WriteText(root_ / "external.pub", externalPub);
  WriteText(root_ / "root.pub", rootPub);

  const std::string v1 = "00112233445566778899AABBCCDDEEFF", v2 = "0F1E2D3C4B5A69788796A5B4C3D2E1F0",
                    v3 = "FEDCBA98765432100123456789ABCDEF";
  const std::string keys = in_ + "imported.txt";
  CliResult r = Run("keylist import --external " + ShellQuote(external) + " --root " + ShellQuote(rootPk8) +
                    " --aes-v1 " + v1 + " --aes-v2 " + v2 + " --aes-v3 " + v3 + " -o " + ShellQuote(keys));
  ASSERT_EQ(r.status, 0) << (r.errLines.empty() ? "" : r.errLines[0]);
  struct stat st {};
  ASSERT_EQ(::stat(keys.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  const std::vector<std::string> lines = SplitLines(ReadText(keys));
  ASSERT_EQ(lines.size(), 23u);
  EXPECT_EQ(lines[20], v3);  // line 21: V3
  EXPECT_EQ(lines[21], v2);
  EXPECT_EQ(lines[22], v1);  // line 23: V1, the image MAC key

  // The public keys come back exactly as openssl writes them.
  r = Run("keylist export-public " + ShellQuote(keys));
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, externalPub + rootPub);
  r = Run("keylist export-public --role root " + ShellQuote(keys));
  EXPECT_EQ(r.out, rootPub);

  // check: nothing is a placeholder, and the fingerprints are those of the DER public keys.
  r = Run("keylist check " + ShellQuote(keys));
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.out.find("lines 9-10: match lines 1-2\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("placeholders: none\n"), std::string::npos) << r.out;
  for (const std::string pub : {"external.pub", "root.pub"}) {
    const std::string digest =
        Openssl("pkey -pubin -outform DER -in " + ShellQuote(root_ / pub) + " | sha256sum").substr(0, 64);
    EXPECT_NE(r.out.find("SHA-256 of the public key (DER): " + digest), std::string::npos) << pub << "\n" << r.out;
  }

  // A boot image and a whole image signed with the imported key list.
  const std::vector<uint8_t> boot = PatternBytes(3000, 3), image = PatternBytes(5000, 4);
  WriteBytes(in_ + "boot.bin", boot);
  WriteBytes(in_ + "image.bin", image);
  WriteBytes(in_ + "cfg.bin", PatternBytes(100, 5));
  const std::string table = WriteTable({{"1", "boot", kFileTypeFastboot, "EMMC_8G", "No", "boot.bin"},
                                        {"1", "image", kFileTypeNonFs, "EMMC_8G", "No", "image.bin"}});
  keys_ = keys;
  r = Run(MakeArgs("2", table));
  ASSERT_EQ(r.status, 0) << (r.errLines.empty() ? "" : r.errLines[0]);

  const std::vector<uint8_t> signedImage = ReadBytes(out_ + "image.img");
  ASSERT_EQ(signedImage.size(), 8192u + kBlock);
  ExpectVerifies(image, signedImage.data() + 8192 + 116, root_ / "external.pub");

  // Key area (root key), boot area (external key): 3000 bytes make a
  // boot area of 3072 after the 6176 bytes before it.
  const std::vector<uint8_t> bootImage = ReadBytes(out_ + "boot.img");
  ASSERT_EQ(bootImage.size(), 6176u + 3072 + 256);
  ExpectVerifies(std::vector<uint8_t>(bootImage.begin(), bootImage.begin() + 516), bootImage.data() + 516,
                 root_ / "root.pub");
  ExpectVerifies(std::vector<uint8_t>(bootImage.begin() + 6176, bootImage.begin() + 6176 + 3072),
                 bootImage.data() + 6176 + 3072, root_ / "external.pub");
}

TEST_F(Keylist, ImportRefusesWhatTheBoardsCannotTake) {
  const std::string external = MakeKey("external");
  const std::string rootPem = MakeKey("root");
  const std::string keys = root_ / "keys.txt";
  const std::string rootArgs = " --root " + ShellQuote(rootPem) + " -o " + ShellQuote(keys);
  const struct {
    const char* name;
    std::string key;
    std::string message;
  } refused[] = {
      {"an EC key", MakeKey("ec", "EC -pkeyopt ec_paramgen_curve:P-256"),
       "holds a key of type EC; the boards take RSA-2048 keys only"},
      {"an RSA-1024 key", MakeKey("small", "RSA -pkeyopt rsa_keygen_bits:1024"),
       "holds an RSA-1024 key; the boards take RSA-2048 keys only"},
      {"a public key", root_ / "external.pub", "holds a public key only; give the private key"},
      {"no key at all", root_ / "table.txt", "holds no private key in PEM or DER (PKCS #8 or PKCS #1)"},
  };
  Openssl("pkey -pubout -in " + ShellQuote(external) + " -out " + ShellQuote(root_ / "external.pub"));
  WriteText(root_ / "table.txt", "not a key\n");
  for (const auto& c : refused) {
    SCOPED_TRACE(c.name);
    const CliResult r = Run("keylist import --external " + ShellQuote(c.key) + rootArgs);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.errLines, std::vector<std::string>{"tarnel-cli: " + c.key + " " + c.message});
    EXPECT_FALSE(fs::exists(keys));
  }

  // Usage: the three 128-bit keys together or none, 32 digits each.
  const std::string args = "keylist import --external " + ShellQuote(external) + rootArgs;
  EXPECT_EQ(Run(args + " --aes-v1 00112233445566778899AABBCCDDEEFF").status, 2);
  EXPECT_EQ(Run(args + " --aes-v1 0011 --aes-v2 0011 --aes-v3 0011").status, 2);
  EXPECT_FALSE(fs::exists(keys));

  // Never over an existing file without --force, never over an input.
  ASSERT_EQ(Run(args).status, 0);
  const std::string first = ReadText(keys);
  CliResult r = Run(args);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.errLines, std::vector<std::string>{"tarnel-cli: " + keys + " already exists; give --force to replace it"});
  EXPECT_EQ(ReadText(keys), first);
  EXPECT_EQ(Run(args + " --force").status, 0);
  EXPECT_NE(ReadText(keys), first);  // fresh 128-bit keys
  const std::string externalText = ReadText(external);
  EXPECT_EQ(Run("keylist import --external " + ShellQuote(external) + " --root " + ShellQuote(rootPem) +
                " --force -o " + ShellQuote(external))
                .status,
            1);
  EXPECT_EQ(ReadText(external), externalText);
}

// A key list made for a token: placeholders in the private lines. check and
// export-public take it; a run without a signer says why it cannot sign.
TEST_F(Keylist, PlaceholderLinesAreNamedByCheckAndByTheRun) {
  std::vector<std::string> lines = SplitLines(test::SharedKeyListText());
  for (size_t i = 2; i < 8; ++i) lines[i] = "0x00";
  std::string text;
  for (const std::string& line : lines) text += line + "\n";
  WriteText(keys_, text);

  CliResult r = Run("keylist check " + ShellQuote(keys_));
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.out.find("external key (lines 1-8): RSA-2048, private lines 3-8 are placeholders\n"),
            std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("placeholders: lines 3-8 (sign with make --signer)\n"), std::string::npos) << r.out;
  r = Run("keylist export-public --role external " + ShellQuote(keys_));
  EXPECT_EQ(r.status, 0);
  test::WritePublicKeyPem(lines[0], lines[1], root_ / "expected.pem");
  EXPECT_EQ(r.out, ReadText(root_ / "expected.pem"));
  // The same as one JSON document, the fingerprint as openssl takes it.
  r = Run("keylist check --json " + ShellQuote(keys_));
  EXPECT_EQ(r.status, 0);
  const nlohmann::json j = nlohmann::json::parse(r.out);
  EXPECT_EQ(j["keys"][0]["id"], "external");
  EXPECT_EQ(j["keys"][0]["private_lines"], "placeholders");
  EXPECT_EQ(j["keys"][0]["placeholder_lines"], nlohmann::json({3, 4, 5, 6, 7, 8}));
  EXPECT_EQ(j["keys"][1]["private_lines"], "present");
  EXPECT_EQ(j["keys"][1]["rsa_bits"], 2048);
  EXPECT_EQ(j["sound"], true);
  std::string sum;
  ASSERT_EQ(RunShell("openssl pkey -pubin -in " + ShellQuote(root_ / "expected.pem") + " -outform DER | sha256sum", &sum),
            0);
  EXPECT_EQ(j["keys"][0]["sha256"], sum.substr(0, 64));

  WriteBytes(in_ + "a.bin", PatternBytes(100));
  const std::string table = WriteTable({{"1", "a", kFileTypeNonFs, "EMMC_8G", "No", "a.bin"}});
  r = Run(MakeArgs("2", table));
  EXPECT_EQ(r.status, 1);
  ASSERT_GE(r.errLines.size(), 2u);
  EXPECT_EQ(r.errLines[1], keys_ + ": " + Format(kMsgPlaceholderLines, "3-8"));
  EXPECT_TRUE(OutputEmpty());

  // Lines 9-10 that are not the key of lines 1-2.
  lines[8] = lines[10];
  text.clear();
  for (const std::string& line : lines) text += line + "\n";
  WriteText(keys_, text);
  r = Run("keylist check " + ShellQuote(keys_));
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.out.find("lines 9-10: DIFFER from lines 1-2"), std::string::npos) << r.out;
  EXPECT_EQ(Run("keylist export-public " + ShellQuote(keys_)).status, 1);
  EXPECT_EQ(Run("keylist export-public --role root " + ShellQuote(keys_)).status, 0);
}

}  // namespace
}  // namespace tarnel
