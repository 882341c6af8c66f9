// The two image headers, declared once. Every field is written and read
// through the little-endian helpers at the offset given in its comment; the
// structs are never copied to disk as they are.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

#include "common/stamps.h"

namespace tarnel {

// ---------------------------------------------------------------------------
// RSA header: 900 bytes at the start of an 8192-byte signature block.
inline constexpr size_t kSignedImageHeaderSize = 900;
inline constexpr size_t kSignatureBlockSize = 8192;
inline constexpr size_t kSignatureSize = 256;
inline constexpr size_t kDigestSize = 32;
inline constexpr size_t kHeaderPathField = 256;
inline constexpr size_t kHeaderPathMaxChars = 255;
inline constexpr uint32_t kSectionSize = 1048576;  // sectioned images: 1 MiB per section

inline constexpr char kSignedImageMagic[] = "Corvantis_KELVA_ImgHead_MagicNum";  // 32 chars, no NUL stored
inline constexpr char kSignedImageVersion[] = "v1.0.0.3";                        // 8 chars, no NUL stored
static_assert(sizeof(kSignedImageMagic) == 32 + 1 && sizeof(kSignedImageVersion) == 8 + 1);

struct SignedImageHeader {
  static constexpr size_t kOffMagic = 0;             // 32 bytes
  static constexpr size_t kOffVersion = 32;          // 8 bytes
  static constexpr size_t kOffStamp1 = 40;           // u32
  static constexpr size_t kOffStamp2 = 44;           // u32
  static constexpr size_t kOffHeaderSize = 48;       // u32, 900
  static constexpr size_t kOffSignedLength = 52;     // u32
  static constexpr size_t kOffReserved56 = 56;       // u32, 0
  static constexpr size_t kOffFixedWord60 = 60;      // u32, 1
  static constexpr size_t kOffReserved64 = 64;       // u32, 0
  static constexpr size_t kOffReserved68 = 68;       // u32, 0
  static constexpr size_t kOffReserved72 = 72;       // u32, 0
  static constexpr size_t kOffFixedWord76 = 76;      // u32, 1
  static constexpr size_t kOffDigest = 80;           // 32 bytes, SHA-256
  static constexpr size_t kOffSignatureLength = 112; // u32, 256
  static constexpr size_t kOffSignature = 116;       // 256 bytes, big-endian
  static constexpr size_t kOffImagePath = 372;       // 256 bytes, at most 255 chars
  static constexpr size_t kOffKeyPath = 628;         // 256 bytes, at most 255 chars
  static constexpr size_t kOffSectionIndex = 884;    // u32
  static constexpr size_t kOffSectionSize = 888;     // u32
  static constexpr size_t kOffSectionCount = 892;    // u32
  static constexpr size_t kOffChecksum = 896;        // u32, CRC-32/MPEG-2 of bytes 0..895
  static constexpr size_t kChecksummedBytes = 896;

  uint32_t stamp1 = 0;
  uint32_t stamp2 = 0;
  uint32_t headerSize = kSignedImageHeaderSize;
  uint32_t signedLength = 0;
  bool signedFieldsSet = false;  // fixed words 1, 0, 0, 0, 1 at 60..76 and signature length 256
  std::array<uint8_t, kDigestSize> digest{};
  std::array<uint8_t, kSignatureSize> signature{};
  std::string imagePath;
  std::string keyPath;
  uint32_t sectionIndex = 0;
  uint32_t sectionSize = 0;
  uint32_t sectionCount = 1;

  // Writes the 900 bytes, checksum included (computed over what was written).
  void Encode(uint8_t* out) const;
};
static_assert(SignedImageHeader::kOffChecksum + 4 == kSignedImageHeaderSize);
static_assert(SignedImageHeader::kOffImagePath + kHeaderPathField == SignedImageHeader::kOffKeyPath);
static_assert(SignedImageHeader::kOffKeyPath + kHeaderPathField == SignedImageHeader::kOffSectionIndex);
static_assert(SignedImageHeader::kOffSignature + kSignatureSize == SignedImageHeader::kOffImagePath);

// A header for one signed range (a whole image: index 0, size 0, count 1).
[[nodiscard]] SignedImageHeader NewSignedHeader(const Stamps& stamps, uint32_t signedLength, uint32_t sectionIndex,
                                                uint32_t sectionSize, uint32_t sectionCount);
// Fills the fields that follow a successful signature.
void SetHeaderSignature(SignedImageHeader& header, const uint8_t* digest, const uint8_t* signature,
                        const std::string& imagePath, const std::string& keyPath);

// Signature block: the header at offset 0, bytes 900 to 8191 zero.
using SignatureBlock = std::array<uint8_t, kSignatureBlockSize>;
void EncodeSignatureBlock(const SignedImageHeader& header, SignatureBlock& block);

// CRC-32/MPEG-2 (poly 0x04C11DB7, MSB first, init 0xFFFFFFFF, no final XOR).
[[nodiscard]] uint32_t Crc32Mpeg2(const uint8_t* data, size_t n, uint32_t crc = 0xFFFFFFFFu);
// The header checksum: CRC-32/MPEG-2 of the first 896 bytes of the encoded header.
[[nodiscard]] uint32_t HeaderCrc32(const SignedImageHeader& header);

// ---------------------------------------------------------------------------
// MAC header of the first-generation containers: 116 bytes (124 for the key
// partition container), zero-filled, inside a page of 0xFF.
inline constexpr size_t kMacImageHeaderSize = 116;
inline constexpr size_t kMacKeyPartHeaderSize = 124;
inline constexpr size_t kMacSize = 16;
inline constexpr uint32_t kMacChunkSize = 1048576;

inline constexpr char kMacImageMagic[] = "Corvantis_KELVA_ImgHead_MagicNu";  // 31 chars + NUL = 32 bytes
inline constexpr char kMacImageVersion[] = "1.0.0.0";                        // 7 chars + NUL
static_assert(sizeof(kMacImageMagic) == 32 && sizeof(kMacImageVersion) == 8);

struct MacImageHeader {
  static constexpr size_t kOffMagic = 0;            // 32 bytes, last one NUL
  static constexpr size_t kOffVersion = 32;         // 8 bytes, "1.0.0.0" NUL
  static constexpr size_t kOffPageSize = 40;        // u32
  static constexpr size_t kOffBlockSize = 44;       // u32
  static constexpr size_t kOffSpareSize = 48;       // u32
  static constexpr size_t kOffTotalLength = 52;     // u32, length of the whole output
  static constexpr size_t kOffPageEcho = 56;        // u32
  static constexpr size_t kOffSourceLength = 60;    // u32
  static constexpr size_t kOffCoveredLength = 64;   // u32
  static constexpr size_t kOffKindValue = 68;       // u32
  static constexpr size_t kOffDataLength = 72;      // u32
  static constexpr size_t kOffCoveredLength2 = 76;  // u32
  static constexpr size_t kOffMacLength = 80;       // u32, 16
  static constexpr size_t kOffChunkCount = 84;      // u32
  static constexpr size_t kOffChunkSize = 88;       // u32
  static constexpr size_t kOffReserved = 92;        // zero up to the header size

  size_t size = kMacImageHeaderSize;  // 116 or 124 (never less than kOffReserved)
  uint32_t pageSize = 0;
  uint32_t blockSize = 0;
  uint32_t spareSize = 0;
  uint32_t totalLength = 0;
  uint32_t pageEcho = 0;
  uint32_t sourceLength = 0;
  uint32_t coveredLength = 0;
  uint32_t kindValue = 0;
  uint32_t dataLength = 0;
  uint32_t coveredLength2 = 0;
  uint32_t macLength = kMacSize;
  uint32_t chunkCount = 0;
  uint32_t chunkSize = 0;

  // Writes `size` bytes.
  void Encode(uint8_t* out) const;
  // The words of the kMacImageHeaderSize bytes at `in` (magic, version and
  // the reserved bytes are the reader's to check).
  [[nodiscard]] static MacImageHeader Decode(const uint8_t* in);
};
static_assert(MacImageHeader::kOffReserved <= kMacImageHeaderSize);

}  // namespace tarnel
