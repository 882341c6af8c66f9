// Shared test fixtures: temporary folders, key lists made with OpenSSL,
// files of known content and an independent signature check.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
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

// A typical flash table: NAND 2K/128K ECC 4, NAND 4K/256K ECC 24, SPI, eMMC.
[[nodiscard]] FlashTable SampleFlashTable();

}  // namespace tarnel::test
