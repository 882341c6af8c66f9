#include "support/test_support.h"

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>
#include <openssl/pem.h>

#include <sys/resource.h>

#include <algorithm>
#include <csignal>
#include <cctype>
#include <cstdio>
#include <ctime>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <sstream>

#include "boot/key_gen.h"
#include "boot/key_list.h"
#include "common/workers.h"

namespace tarnel::test {

TempFolder::TempFolder() {
  std::string templ = (std::filesystem::temp_directory_path() / "tarnel-test-XXXXXX").string();
  std::vector<char> buf(templ.begin(), templ.end());
  buf.push_back('\0');
  if (::mkdtemp(buf.data()) == nullptr) std::abort();
  path_ = std::string(buf.data()) + "/";
}

TempFolder::~TempFolder() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

std::vector<uint8_t> ReadBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary | std::ios::ate);
  if (!in) return {};
  std::vector<uint8_t> bytes(static_cast<size_t>(in.tellg()));
  in.seekg(0);
  in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  return bytes;
}

void WriteBytes(const std::string& path, const std::vector<uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  ASSERT_TRUE(out.good()) << path;
}

void WriteText(const std::string& path, const std::string& text) {
  WriteBytes(path, std::vector<uint8_t>(text.begin(), text.end()));
}

std::string ReadText(const std::string& path) {
  const auto bytes = ReadBytes(path);
  return std::string(bytes.begin(), bytes.end());
}

std::vector<uint8_t> PatternBytes(size_t n, uint32_t seed) {
  std::vector<uint8_t> out(n);
  uint32_t x = seed * 2654435761u + 12345u;
  for (size_t i = 0; i < n; ++i) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    out[i] = static_cast<uint8_t>(x >> 24);
  }
  return out;
}

std::vector<std::string> SplitLines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(line);
  }
  return lines;
}

const std::string& KeyListTextWithBits(int externalBits, int rootBits) {
  static std::map<std::pair<int, int>, std::string> cache;
  auto& text = cache[{externalBits, rootBits}];
  if (text.empty() && rootBits == 2048) {
    // Committed test keys spare every test process the key generation.
    text = ReadText(std::string(TARNEL_TEST_DATA_DIR) + "/key_list_" + std::to_string(externalBits) + ".txt");
  }
  if (text.empty()) {
    if (!GenerateKeyListText(text, externalBits, rootBits)) std::abort();
  }
  return text;
}

const std::string& SharedKeyListText() { return KeyListTextWithBits(2048, 2048); }

namespace {

BIGNUM* BnFromLine(const std::string& line) {
  // Independent reading of a key line: skip two characters, keep hex digits.
  std::string hex;
  for (size_t i = 2; i < line.size(); ++i)
    if (std::isxdigit(static_cast<unsigned char>(line[i]))) hex += line[i];
  if (hex.size() % 2) hex.pop_back();
  BIGNUM* bn = nullptr;
  if (hex.empty()) return BN_new();
  BN_hex2bn(&bn, hex.c_str());
  return bn;
}

EVP_PKEY* PublicKey(const std::string& nLine, const std::string& eLine) {
  BIGNUM* n = BnFromLine(nLine);
  BIGNUM* e = BnFromLine(eLine);
  OSSL_PARAM_BLD* bld = OSSL_PARAM_BLD_new();
  OSSL_PARAM_BLD_push_BN(bld, OSSL_PKEY_PARAM_RSA_N, n);
  OSSL_PARAM_BLD_push_BN(bld, OSSL_PKEY_PARAM_RSA_E, e);
  OSSL_PARAM* params = OSSL_PARAM_BLD_to_param(bld);
  EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr);
  EVP_PKEY* key = nullptr;
  EVP_PKEY_fromdata_init(ctx);
  EVP_PKEY_fromdata(ctx, &key, EVP_PKEY_PUBLIC_KEY, params);
  EVP_PKEY_CTX_free(ctx);
  OSSL_PARAM_free(params);
  OSSL_PARAM_BLD_free(bld);
  BN_free(n);
  BN_free(e);
  return key;
}

}  // namespace

void WritePrivateKeyPem(const std::vector<std::string>& lines, size_t first, const std::string& pemPath) {
  static const char* const kNames[8] = {
      OSSL_PKEY_PARAM_RSA_N,         OSSL_PKEY_PARAM_RSA_E,         OSSL_PKEY_PARAM_RSA_D,
      OSSL_PKEY_PARAM_RSA_FACTOR1,   OSSL_PKEY_PARAM_RSA_FACTOR2,   OSSL_PKEY_PARAM_RSA_EXPONENT1,
      OSSL_PKEY_PARAM_RSA_EXPONENT2, OSSL_PKEY_PARAM_RSA_COEFFICIENT1};
  ASSERT_GE(lines.size(), first + 8);
  OSSL_PARAM_BLD* bld = OSSL_PARAM_BLD_new();
  BIGNUM* parts[8];
  for (size_t i = 0; i < 8; ++i) {
    parts[i] = BnFromLine(lines[first + i]);
    OSSL_PARAM_BLD_push_BN(bld, kNames[i], parts[i]);
  }
  OSSL_PARAM* params = OSSL_PARAM_BLD_to_param(bld);
  EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr);
  EVP_PKEY* key = nullptr;
  EVP_PKEY_fromdata_init(ctx);
  EVP_PKEY_fromdata(ctx, &key, EVP_PKEY_KEYPAIR, params);
  EVP_PKEY_CTX_free(ctx);
  OSSL_PARAM_free(params);
  OSSL_PARAM_BLD_free(bld);
  for (BIGNUM* bn : parts) BN_clear_free(bn);
  ASSERT_NE(key, nullptr);
  FILE* f = std::fopen(pemPath.c_str(), "w");
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(PEM_write_PrivateKey(f, key, nullptr, nullptr, 0, nullptr, nullptr), 1);  // PKCS #8
  std::fclose(f);
  EVP_PKEY_free(key);
}

std::vector<std::string> FilesHoldingKeyMaterial(const std::vector<std::string>& keyLines,
                                                 const std::vector<std::string>& folders) {
  struct Needle {
    std::string bytes;
    size_t line;
  };
  std::vector<Needle> needles;
  for (size_t i = 0; i < keyLines.size(); ++i) {
    const bool secret = (i >= 2 && i < 8) || (i >= 12 && i < 18) || i >= 20;
    if (!secret) continue;
    std::string digits;
    for (size_t k = i >= 20 ? 0 : 2; k < keyLines[i].size(); ++k)
      if (std::isxdigit(static_cast<unsigned char>(keyLines[i][k]))) digits += keyLines[i][k];
    if (digits.size() < 32) continue;  // placeholders hold nothing
    std::string upper = digits, lower = digits, raw;
    for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    for (size_t k = 0; k + 1 < 32; k += 2) raw += static_cast<char>(std::stoi(digits.substr(k, 2), nullptr, 16));
    needles.push_back({upper.substr(0, 32), i + 1});
    needles.push_back({lower.substr(0, 32), i + 1});
    needles.push_back({raw, i + 1});
  }
  std::vector<std::string> hits;
  for (const std::string& folder : folders) {
    if (!std::filesystem::exists(folder)) continue;
    for (const auto& e : std::filesystem::recursive_directory_iterator(folder)) {
      if (!e.is_regular_file()) continue;
      std::ifstream in(e.path(), std::ios::binary);
      const std::string content((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
      for (const Needle& n : needles)
        if (content.find(n.bytes) != std::string::npos)
          hits.push_back(e.path().string() + ": line " + std::to_string(n.line));
    }
  }
  return hits;
}

EnvGuard::EnvGuard(const char* name, const char* value) : name_(name) {
  if (const char* old = std::getenv(name)) old_ = old;
  if (value)
    ::setenv(name, value, 1);
  else
    ::unsetenv(name);
  ::tzset();
}

EnvGuard::~EnvGuard() {
  if (old_)
    ::setenv(name_.c_str(), old_->c_str(), 1);
  else
    ::unsetenv(name_.c_str());
  ::tzset();
}

std::string SoftHsmModule() {
  for (const char* path : {"/usr/lib/softhsm/libsofthsm2.so", "/usr/lib/x86_64-linux-gnu/softhsm/libsofthsm2.so",
                           "/usr/local/lib/softhsm/libsofthsm2.so"})
    if (std::filesystem::exists(path)) return path;
  return {};
}

SoftHsmToken::SoftHsmToken() : conf_("SOFTHSM2_CONF", nullptr) {
  module_ = SoftHsmModule();
  if (module_.empty()) return;
  std::filesystem::create_directories(dir_ / "tokens");
  WriteText(dir_ / "softhsm2.conf",
            "directories.tokendir = " + dir_.Path() + "tokens\nobjectstore.backend = file\nlog.level = ERROR\n");
  ::setenv("SOFTHSM2_CONF", (dir_ / "softhsm2.conf").c_str(), 1);
  std::string out;
  ready_ = RunShell("softhsm2-util --init-token --free --label " + std::string(kLabel) + " --pin " + kPin +
                        " --so-pin 87654321",
                    &out) == 0;
  EXPECT_TRUE(ready_) << out;
}

bool SoftHsmToken::Import(const std::vector<std::string>& lines, size_t first, const std::string& label,
                          const std::string& id) {
  const std::string pem = dir_ / (label + ".pem");
  WritePrivateKeyPem(lines, first, pem);
  std::string out;
  const int rc = RunShell("softhsm2-util --import " + ShellQuote(pem) + " --token " + kLabel + " --label " +
                              ShellQuote(label) + " --id " + id + " --pin " + kPin,
                          &out);
  std::filesystem::remove(pem);
  EXPECT_EQ(rc, 0) << out;
  return rc == 0;
}

std::string SoftHsmToken::Uri(const std::string& pinAttribute, const std::string& module) const {
  return std::string("pkcs11:token=") + kLabel + "?module-path=" + (module.empty() ? module_ : module) +
         (pinAttribute.empty() ? "" : "&" + pinAttribute);
}

void WritePublicKeyPem(const std::string& nLine, const std::string& eLine, const std::string& pemPath) {
  EVP_PKEY* key = PublicKey(nLine, eLine);
  ASSERT_NE(key, nullptr);
  FILE* f = std::fopen(pemPath.c_str(), "w");
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(PEM_write_PUBKEY(f, key), 1);
  std::fclose(f);
  EVP_PKEY_free(key);
}

bool VerifyWithPublicKey(const std::string& nLine, const std::string& eLine, const uint8_t* data, size_t n,
                         const uint8_t* signature, size_t sigLen) {
  EVP_PKEY* key = PublicKey(nLine, eLine);
  if (key == nullptr) return false;
  EVP_MD_CTX* md = EVP_MD_CTX_new();
  const bool ok = EVP_DigestVerifyInit(md, nullptr, EVP_sha256(), nullptr, key) == 1 &&
                  EVP_DigestVerify(md, signature, sigLen, data, n) == 1;
  EVP_MD_CTX_free(md);
  EVP_PKEY_free(key);
  return ok;
}

std::vector<uint8_t> Sha256Of(const uint8_t* data, size_t n) {
  std::vector<uint8_t> out(32);
  unsigned int len = 0;
  EVP_Digest(data, n, out.data(), &len, EVP_sha256(), nullptr);
  return out;
}

int RunShell(const std::string& command, std::string* output) {
  FILE* p = ::popen((command + " 2>&1").c_str(), "r");
  if (p == nullptr) return -1;
  std::string out;
  char buf[4096];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof(buf), p)) > 0) out.append(buf, n);
  const int status = ::pclose(p);
  if (output) *output = out;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string ShellQuote(const std::string& s) {
  std::string out = "'";
  for (char c : s) {
    if (c == '\'') out += "'\\''";
    else out += c;
  }
  return out + "'";
}

MakeFixture::MakeFixture(int boardType) {
  std::filesystem::create_directories(root.Path() + "home/Temp");
  std::filesystem::create_directories(root.Path() + "home/Config");
  std::filesystem::create_directories(root.Path() + "in");
  std::filesystem::create_directories(root.Path() + "out");
  ws.app.m_strAppDir = root.Path() + "home/";
  inputDir = root.Path() + "in/";
  outputDir = root.Path() + "out/";
  ws.app.m_strOutputPath = outputDir;
  ws.app.m_nBoardType = boardType;
  ws.app.m_nJavaMemory = 512;
  ws.flashTable = SampleFlashTable();
  keyListPath = inputDir + "Keys_for_signature.txt";
  WriteText(keyListPath, SharedKeyListText());
  WriteText(inputDir + "testkey.pk8", "pk8");
  WriteText(inputDir + "testkey.x509.pem", "pem");
}

void MakeFixture::LoadKeys() {
  // As the Keys File Browse does: the input folder follows the chosen key list.
  ws.app.m_strInputDir = inputDir;
  RecordingReporter r;
  ASSERT_TRUE(LoadKeyListFile(ws, r, keyListPath));
}

PartitionRow& MakeFixture::AddRow(const std::string& outputName, const std::string& fileType,
                                  const std::string& flashName, const std::string& upgrade,
                                  const std::string& fileName, const std::vector<uint8_t>& content) {
  WriteBytes(inputDir + fileName, content);
  PartitionRow row;
  row.checked = true;
  row.outputName = outputName;
  row.fileType = fileType;
  row.flashName = flashName;
  row.upgrade = upgrade;
  row.unsignedFile = inputDir + fileName;
  ws.table.rows.push_back(row);
  return ws.table.rows.back();
}

std::vector<std::string> MakeFixture::KeyLineTexts() const { return SplitLines(SharedKeyListText()); }

FlashTable SampleFlashTable() {
  return {
      {"NAND_2K", "Nand", 2048, 131072, 4},
      {"NAND_4K", "Nand", 4096, 262144, 24},
      {"SPI_16M", "Spi", 256, 65536, 0},
      {"EMMC_8G", "eMMC", 512, 524288, 0},
  };
}

ScopedWorkerThreads::ScopedWorkerThreads(unsigned threads) { SetWorkerThreads(threads); }
ScopedWorkerThreads::~ScopedWorkerThreads() { SetWorkerThreads(0); }

ScopedFileSizeLimit::ScopedFileSizeLimit(uint64_t bytes) {
  struct rlimit limit {};
  EXPECT_EQ(::getrlimit(RLIMIT_FSIZE, &limit), 0);
  oldLimit_ = limit.rlim_cur;
  oldHandler_ = std::signal(SIGXFSZ, SIG_IGN);
  limit.rlim_cur = bytes;
  EXPECT_EQ(::setrlimit(RLIMIT_FSIZE, &limit), 0);
}

ScopedFileSizeLimit::~ScopedFileSizeLimit() {
  struct rlimit limit {};
  (void)::getrlimit(RLIMIT_FSIZE, &limit);
  limit.rlim_cur = oldLimit_;
  (void)::setrlimit(RLIMIT_FSIZE, &limit);
  std::signal(SIGXFSZ, oldHandler_);
}

std::vector<std::string> FolderEntries(const std::string& folder) {
  std::vector<std::string> names;
  for (const auto& e : std::filesystem::directory_iterator(folder)) names.push_back(e.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

}  // namespace tarnel::test
