// Shared test fixtures: temporary folders, key lists made with OpenSSL,
// files of known content and an independent signature check.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "common/model.h"
#include "common/reporter.h"

namespace tarnel::test {

// A fresh folder under the system temp folder, removed with its contents.
class TempFolder {
 public:
  TempFolder();
  ~TempFolder();
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;
  // The folder, ending with a separator.
  [[nodiscard]] const std::string& Path() const { return path_; }
  [[nodiscard]] std::string operator/(const std::string& name) const { return path_ + name; }

 private:
  std::string path_;
};

[[nodiscard]] std::vector<uint8_t> ReadBytes(const std::string& path);
void WriteBytes(const std::string& path, const std::vector<uint8_t>& bytes);
void WriteText(const std::string& path, const std::string& text);
[[nodiscard]] std::string ReadText(const std::string& path);
// n bytes of a repeatable pseudo-random pattern.
[[nodiscard]] std::vector<uint8_t> PatternBytes(size_t n, uint32_t seed = 1);
[[nodiscard]] std::vector<std::string> SplitLines(const std::string& text);

// A valid 23-line key list (2048-bit keys), made once per test process.
[[nodiscard]] const std::string& SharedKeyListText();
// A key list with other key sizes, made on demand (cached per size pair).
[[nodiscard]] const std::string& KeyListTextWithBits(int externalBits, int rootBits);

// PEM public key built from two key component lines (n, e) of a key list,
// written to `pemPath`. Independent of the production key parser.
void WritePublicKeyPem(const std::string& nLine, const std::string& eLine, const std::string& pemPath);
// PKCS #8 PEM private key from eight key component lines lines[first..first+7],
// read independently of the production key parser.
void WritePrivateKeyPem(const std::vector<std::string>& lines, size_t first, const std::string& pemPath);
// RSASSA-PKCS1-v1_5/SHA-256 check of `signature` over `data` with the public
// key (n, e) only, through EVP_DigestVerify over the whole buffer.
[[nodiscard]] bool VerifyWithPublicKey(const std::string& nLine, const std::string& eLine,
                                       const uint8_t* data, size_t n, const uint8_t* signature, size_t sigLen);
[[nodiscard]] std::vector<uint8_t> Sha256Of(const uint8_t* data, size_t n);

// Runs a shell command; returns its exit status and fills `output` (stdout+stderr).
int RunShell(const std::string& command, std::string* output = nullptr);
[[nodiscard]] std::string ShellQuote(const std::string& s);

// A program folder (Temp/, Config/, Output/) under a temp folder, a key list,
// the Android test key files and an input folder: what a Make run needs.
struct MakeFixture {
  TempFolder root;
  Workspace ws;
  RecordingReporter reporter;
  std::string inputDir;   // ends with a separator
  std::string outputDir;  // ends with a separator
  std::string keyListPath;

  explicit MakeFixture(int boardType = 2);
  // As the Keys File Browse does: m_strInputDir = input folder, then the key list
  // is loaded into ws.keyLines / m_strKeysFile (fails the test otherwise).
  void LoadKeys();
  // Adds a checked row whose unsigned file is written to the input folder.
  PartitionRow& AddRow(const std::string& outputName, const std::string& fileType, const std::string& flashName,
                       const std::string& upgrade, const std::string& fileName, const std::vector<uint8_t>& content);
  [[nodiscard]] std::vector<std::string> KeyLineTexts() const;
};

// Fixes the worker thread count for the parallel stages while it lives.
class ScopedWorkerThreads {
 public:
  explicit ScopedWorkerThreads(unsigned threads);
  ~ScopedWorkerThreads();
  ScopedWorkerThreads(const ScopedWorkerThreads&) = delete;
  ScopedWorkerThreads& operator=(const ScopedWorkerThreads&) = delete;
};
// Lowers the process's file size limit (writes past it fail with EFBIG
// instead of raising SIGXFSZ) while it lives: a real write error mid-file.
class ScopedFileSizeLimit {
 public:
  explicit ScopedFileSizeLimit(uint64_t bytes);
  ~ScopedFileSizeLimit();
  ScopedFileSizeLimit(const ScopedFileSizeLimit&) = delete;
  ScopedFileSizeLimit& operator=(const ScopedFileSizeLimit&) = delete;

 private:
  uint64_t oldLimit_ = 0;
  void (*oldHandler_)(int) = nullptr;
};
// Names in a folder, for checks that nothing (not even a temporary file) was left.
[[nodiscard]] std::vector<std::string> FolderEntries(const std::string& folder);
// The thread counts every parallel stage is checked with.
inline constexpr unsigned kThreadCounts[] = {1, 2, 8};
// Files under `folders` (recursively) that hold secret key material of the key
// list: the digits of a private RSA component (lines 3-8, 13-18) or of a
// 128-bit key (lines 21-23) as text in either case, or their leading bytes in
// binary. Each hit as "path: line N".
[[nodiscard]] std::vector<std::string> FilesHoldingKeyMaterial(const std::vector<std::string>& keyLines,
                                                               const std::vector<std::string>& folders);

// Sets (or clears) an environment variable for one test and puts it back.
class EnvGuard {
 public:
  EnvGuard(const char* name, const char* value);
  ~EnvGuard();
  EnvGuard(const EnvGuard&) = delete;
  EnvGuard& operator=(const EnvGuard&) = delete;

 private:
  std::string name_;
  std::optional<std::string> old_;
};

// The SoftHSM2 PKCS#11 module, or "" when it is not installed.
[[nodiscard]] std::string SoftHsmModule();

// A SoftHSM2 token of its own (label "tarnel", user PIN 12345678) in a
// temporary folder; SOFTHSM2_CONF points at it until the object goes.
class SoftHsmToken {
 public:
  static constexpr const char* kLabel = "tarnel";
  static constexpr const char* kPin = "12345678";
  SoftHsmToken();
  [[nodiscard]] bool Ready() const { return ready_; }
  // Imports the RSA key of lines[first..first+7] (key list form).
  bool Import(const std::vector<std::string>& lines, size_t first, const std::string& label, const std::string& id);
  // pkcs11:token=tarnel?module-path=...[&pinAttribute]
  [[nodiscard]] std::string Uri(const std::string& pinAttribute = "pin-value=12345678",
                                const std::string& module = "") const;
  [[nodiscard]] const TempFolder& Dir() const { return dir_; }

 private:
  EnvGuard conf_;
  TempFolder dir_;
  std::string module_;
  bool ready_ = false;
};

// A typical flash table: NAND 2K/128K ECC 4, NAND 4K/256K ECC 24, SPI, eMMC.
[[nodiscard]] FlashTable SampleFlashTable();

}  // namespace tarnel::test
