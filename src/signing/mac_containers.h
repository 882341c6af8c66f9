// First-generation containers sealed with an AES-128 CBC-MAC under the
// image MAC key, laid out by the flash geometry.
#pragma once

#include <cstdint>
#include <string>

#include "common/signing_context.h"

namespace tarnel {

inline constexpr const char* kMsgMacSourceNotFound = "Found not the source file!";
inline constexpr const char* kMsgMacOpenSourceFailed = "Failed to open the source file!";
inline constexpr const char* kMsgMacCreateDestinationFailed = "Failed to create the destination file!";
inline constexpr const char* kMsgBlockSizeZero = "nBlockSize is 0";
inline constexpr const char* kMsgSourceTooSmall = "The source file is too small, please select again!";
inline constexpr const char* kMsgMallocFailed = "malloc failed!";

// AES-128-CBC, zero IV, over n bytes (a multiple of 16); the MAC is the last
// ciphertext block. Returns false when OpenSSL refuses.
[[nodiscard]] bool ComputeCbcMac(const Key128& key, const uint8_t* data, size_t n, uint8_t* mac16);

// Streaming form of the same MAC, for data that is never held whole.
class CbcMac {
 public:
  explicit CbcMac(const Key128& key);
  ~CbcMac();
  CbcMac(const CbcMac&) = delete;
  CbcMac& operator=(const CbcMac&) = delete;
  [[nodiscard]] bool Update(const uint8_t* data, size_t n);  // n a multiple of 16
  [[nodiscard]] bool Final(uint8_t* mac16);

 private:
  struct Impl;
  Impl* impl_;
};

[[nodiscard]] bool SealRawImage(SigningContext& ctx, uint32_t pageSize, const std::string& outputPath,
                                const std::string& sourcePath, uint32_t blockSize, uint32_t spareValue);
[[nodiscard]] bool SealKeyPartition(SigningContext& ctx, uint32_t pageSize, const std::string& outputPath,
                                    const std::string& sourcePath, uint32_t blockSize, uint32_t spareValue);
[[nodiscard]] bool SealChunkedImage(SigningContext& ctx, const std::string& outputPath, const std::string& sourcePath,
                                    uint32_t pageSize, uint32_t blockSize, uint32_t spareSize);

}  // namespace tarnel
