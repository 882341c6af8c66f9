// What the readers share: bounded access to the bytes of a file, the record
// of one file's findings, and streaming digest, MAC and fill checks.
#pragma once

#include <openssl/evp.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "common/files.h"
#include "common/text.h"
#include "verify/verify.h"

namespace tarnel::verify {

// True when [offset, offset + n) lies inside `size` bytes (no wrap-around).
[[nodiscard]] inline bool InRange(uint64_t offset, uint64_t n, uint64_t size) {
  return offset <= size && n <= size - offset;
}

// Random access to bytes whose length is known up front.
class ByteSource {
 public:
  virtual ~ByteSource() = default;
  [[nodiscard]] virtual uint64_t Size() const = 0;
  // False when the range is not inside the source or the read fails.
  [[nodiscard]] virtual bool ReadAt(uint64_t offset, uint8_t* out, size_t n) = 0;
  // The range where it already lies in memory, read in place; null when the
  // source is not in memory or the range is not inside it.
  [[nodiscard]] virtual const uint8_t* InPlace(uint64_t /*offset*/, size_t /*n*/) { return nullptr; }
  // The range: in place when it can be, else read into `buffer`. Null when
  // it is not inside the source or the read fails.
  [[nodiscard]] const uint8_t* View(uint64_t offset, size_t n, std::vector<uint8_t>& buffer);
};

class FileSource : public ByteSource {
 public:
  [[nodiscard]] bool Open(const std::string& path);
  [[nodiscard]] uint64_t Size() const override { return size_; }
  [[nodiscard]] bool ReadAt(uint64_t offset, uint8_t* out, size_t n) override;

 private:
  InFile file_;
  uint64_t size_ = 0;
};

class MemorySource : public ByteSource {
 public:
  MemorySource(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  [[nodiscard]] uint64_t Size() const override { return size_; }
  [[nodiscard]] bool ReadAt(uint64_t offset, uint8_t* out, size_t n) override;
  [[nodiscard]] const uint8_t* InPlace(uint64_t offset, size_t n) override;

 private:
  const uint8_t* data_;
  size_t size_;
};

// A window [offset, offset + length) of another source.
class SliceSource : public ByteSource {
 public:
  SliceSource(ByteSource& base, uint64_t offset, uint64_t length) : base_(base), offset_(offset), length_(length) {}
  [[nodiscard]] uint64_t Size() const override { return length_; }
  [[nodiscard]] bool ReadAt(uint64_t offset, uint8_t* out, size_t n) override;
  [[nodiscard]] const uint8_t* InPlace(uint64_t offset, size_t n) override;

 private:
  ByteSource& base_;
  uint64_t offset_;
  uint64_t length_;
};

// Finds the partner of a file by name: "X_Sign.img" for "X.img" and back.
using SiblingFinder = std::function<std::unique_ptr<ByteSource>(const std::string& name)>;

// One file's findings as a reader builds them.
class Findings {
 public:
  // A badly damaged file could name every section; the first few tell enough.
  static constexpr size_t kMaxProblems = 32;

  Findings(FileResult& result, const Options& options) : r_(result), options_(options) {}
  [[nodiscard]] const Keys* KeysOrNull() const { return options_.keys; }
  [[nodiscard]] const Options& Opts() const { return options_; }
  void Kind(const std::string& kind) { r_.kind = kind; }
  // Records a problem; returns false so a reader can `return f.Problem(...)`.
  bool Problem(const std::string& text) {
    if (r_.problems.size() < kMaxProblems) r_.problems.push_back(text);
    return false;
  }
  void FieldText(const std::string& name, const std::string& value) { r_.fields.push_back({name, value}); }
  void FieldNum(const std::string& name, uint64_t value) { FieldText(name, std::to_string(value)); }
  void FieldHex(const std::string& name, const uint8_t* bytes, size_t n);
  void Fingerprint(const std::string& what, EVP_PKEY* key);
  void Entry(const std::string& text) { r_.entries.push_back(text); }
  void NeedsBoard() { r_.needsBoard = true; }
  // The check cannot be finished, through no fault of the file.
  void CannotCheck(const std::string& why) { r_.cannotCheck = why; }
  [[nodiscard]] bool Clean() const { return r_.problems.empty(); }
  [[nodiscard]] FileResult& Result() { return r_; }

 private:
  FileResult& r_;
  const Options& options_;
};

// Streaming checks over a range of a source, through one bounded buffer.
// Each returns false when the range cannot be read.
[[nodiscard]] bool Sha256Range(ByteSource& src, uint64_t offset, uint64_t length, uint8_t digest[32]);
// Offset of the first byte in the range that is not `value`, or UINT64_MAX.
[[nodiscard]] bool FindOtherByte(ByteSource& src, uint64_t offset, uint64_t length, uint8_t value, uint64_t& at);

// AES-128-CBC with a zero IV; the MAC is the last ciphertext block.
class MacStream {
 public:
  explicit MacStream(const Key128& key);
  ~MacStream();
  MacStream(const MacStream&) = delete;
  MacStream& operator=(const MacStream&) = delete;
  [[nodiscard]] bool Update(const uint8_t* data, size_t n);
  [[nodiscard]] bool UpdateRange(ByteSource& src, uint64_t offset, uint64_t length);
  // True when the bytes fed (a nonzero multiple of 16) give `expected`.
  [[nodiscard]] bool Matches(const uint8_t expected[16]);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// RSASSA-PKCS1-v1_5 / SHA-256 check of a 256-byte signature over a digest.
[[nodiscard]] bool RsaVerifyDigest(EVP_PKEY* key, const uint8_t digest[32], const uint8_t* signature, size_t n);
// A public key from two big-endian byte strings (n, e); null when they do not make one.
[[nodiscard]] PKey PublicKeyFromBytes(const uint8_t* n, size_t nLen, const uint8_t* e, size_t eLen);

[[nodiscard]] std::string Hex(const uint8_t* bytes, size_t n);

// The readers. Each sets the kind once it has recognised the file and
// records what it finds; the dispatcher decides which one runs.
bool CheckWholeImage(ByteSource& src, Findings& f, int depth);
bool CheckSectionPair(ByteSource& image, ByteSource& signFile, Findings& f);
bool CheckMacRaw(ByteSource& src, Findings& f, int depth);
bool CheckMacTrailer(ByteSource& src, Findings& f, uint64_t headerOffset);
bool CheckBootImage(ByteSource& src, Findings& f);
bool CheckArchive(ByteSource& src, Findings& f, int depth);

// Recognisers, cheap: a few reads each.
[[nodiscard]] bool LooksLikeWholeImage(ByteSource& src);
[[nodiscard]] bool LooksLikeSectionFile(ByteSource& src);
[[nodiscard]] bool LooksLikeMacRaw(ByteSource& src);
[[nodiscard]] bool LooksLikeSparse(ByteSource& src);
[[nodiscard]] bool LooksLikeBootImage(ByteSource& src);
[[nodiscard]] bool LooksLikeArchive(ByteSource& src);
// Offset of a first-generation header that sits after the data (chunked and
// Yaffs containers), found from the end; false when there is none.
[[nodiscard]] bool FindMacTrailer(ByteSource& src, uint64_t& headerOffset);

// Dispatch over one source; `sibling` finds the partner of a pair (may be empty).
void CheckSource(ByteSource& src, const std::string& name, const SiblingFinder& sibling, Findings& f, int depth);

// Archives nest: an update package holds images, never archives; deeper is refused.
inline constexpr int kMaxDepth = 2;

}  // namespace tarnel::verify
