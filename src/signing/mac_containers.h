// First-generation containers sealed with an AES-128 CBC-MAC under the
// image MAC key, laid out by the flash geometry.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "common/secure.h"
#include "signing/flash_geometry.h"
#include "signing/run_services.h"

namespace tarnel {

// The kind word of the image containers' headers (the key partition stores
// its record count there instead).
inline constexpr uint32_t kMacHeaderKind = 2;

// AES-128-CBC, zero IV, over n bytes (a nonzero multiple of 16); the MAC is
// the last ciphertext block. Returns false when n is 0 or not a multiple of
// 16, or when OpenSSL refuses.
[[nodiscard]] bool ComputeCbcMac(const Key128& key, const uint8_t* data, size_t n, uint8_t* mac16);

// Streaming form of the same MAC, for data that is never held whole: any
// split of the same bytes over Update calls gives exactly ComputeCbcMac's
// result. Pieces may have any length; the total must be a nonzero multiple of
// 16 when Final is called. The key schedule is wiped when the object goes
// away. After a failure every later call fails.
class CbcMac {
 public:
  explicit CbcMac(const Key128& key);
  ~CbcMac();
  CbcMac(const CbcMac&) = delete;
  CbcMac& operator=(const CbcMac&) = delete;
  [[nodiscard]] bool Update(const uint8_t* data, size_t n);
  // Writes the MAC; the object is spent afterwards.
  [[nodiscard]] bool Final(uint8_t* mac16);
  // Bytes fed so far.
  [[nodiscard]] uint64_t Fed() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// The containers stream the source through fixed buffers and write the output
// all-or-nothing; each shows one message and returns false on failure.

// The signers below take the run's services, the flash geometry, the MAC
// key, then the output and the source.

// Header page, source padded with 0xFF to whole pages, MAC page, 0xFF to the
// next block boundary. The MAC covers the header page and the padded data.
[[nodiscard]] bool SealRawImage(RunServices& ctx, const FlashGeometry& geometry, const Key128& key,
                                const std::string& outputPath, const std::string& sourcePath);
[[nodiscard]] bool SealKeyPartition(RunServices& ctx, const FlashGeometry& geometry, const Key128& key,
                                    const std::string& outputPath, const std::string& sourcePath);
// The same from key records held in memory (they never touch the disk).
[[nodiscard]] bool SealKeyPartition(RunServices& ctx, const FlashGeometry& geometry, const Key128& key,
                                    const std::string& outputPath, const uint8_t* records, size_t recordsSize);
// Source padded with 0xFF to whole blocks, header page, table of one MAC per
// 1 MiB of (padded data + header page), 0xFF to the next block boundary.
// Advances the run's progress by three steps.
[[nodiscard]] bool SealChunkedImage(RunServices& ctx, const FlashGeometry& geometry, const Key128& key,
                                    const std::string& outputPath, const std::string& sourcePath);

}  // namespace tarnel
