#include "signing/image_headers.h"

#include <algorithm>
#include <cstring>

#include "common/le.h"

namespace tarnel {

namespace {

void PutPath(uint8_t* field, const std::string& path) {
  const size_t n = std::min(path.size(), kHeaderPathMaxChars);
  std::memcpy(field, path.data(), n);
}

const std::array<uint32_t, 256>& CrcTable() {
  // Built once, on first use (thread-safe static initialisation).
  static const std::array<uint32_t, 256> table = [] {
    std::array<uint32_t, 256> t{};
    for (uint32_t i = 0; i < 256; ++i) {
      uint32_t c = i << 24;
      for (int k = 0; k < 8; ++k) c = (c & 0x80000000u) ? (c << 1) ^ 0x04C11DB7u : (c << 1);
      t[i] = c;
    }
    return t;
  }();
  return table;
}

}  // namespace

uint32_t Crc32Mpeg2(const uint8_t* data, size_t n, uint32_t crc) {
  const auto& table = CrcTable();
  for (size_t i = 0; i < n; ++i) crc = (crc << 8) ^ table[((crc >> 24) ^ data[i]) & 0xFFu];
  return crc;
}

static void EncodeWithoutChecksum(const SignedImageHeader& h, uint8_t* out) {
  using H = SignedImageHeader;
  std::memset(out, 0, kSignedImageHeaderSize);
  std::memcpy(out + H::kOffMagic, kSignedImageMagic, 32);
  std::memcpy(out + H::kOffVersion, kSignedImageVersion, 8);
  PutLe32(out + H::kOffStamp1, h.stamp1);
  PutLe32(out + H::kOffStamp2, h.stamp2);
  PutLe32(out + H::kOffHeaderSize, h.headerSize);
  PutLe32(out + H::kOffSignedLength, h.signedLength);
  if (h.signedFieldsSet) {
    PutLe32(out + H::kOffFixedWord60, 1);
    PutLe32(out + H::kOffFixedWord76, 1);
    std::memcpy(out + H::kOffDigest, h.digest.data(), kDigestSize);
    PutLe32(out + H::kOffSignatureLength, kSignatureSize);
    std::memcpy(out + H::kOffSignature, h.signature.data(), kSignatureSize);
    PutPath(out + H::kOffImagePath, h.imagePath);
    PutPath(out + H::kOffKeyPath, h.keyPath);
  }
  PutLe32(out + H::kOffSectionIndex, h.sectionIndex);
  PutLe32(out + H::kOffSectionSize, h.sectionSize);
  PutLe32(out + H::kOffSectionCount, h.sectionCount);
}

void SignedImageHeader::Encode(uint8_t* out) const {
  EncodeWithoutChecksum(*this, out);
  PutLe32(out + kOffChecksum, Crc32Mpeg2(out, kChecksummedBytes));
}

uint32_t HeaderCrc32(const SignedImageHeader& header) {
  uint8_t bytes[kSignedImageHeaderSize];
  EncodeWithoutChecksum(header, bytes);
  return Crc32Mpeg2(bytes, SignedImageHeader::kChecksummedBytes);
}

SignedImageHeader NewSignedHeader(const Stamps& stamps, uint32_t signedLength, uint32_t sectionIndex,
                                  uint32_t sectionSize, uint32_t sectionCount) {
  SignedImageHeader h;
  h.stamp1 = stamps.stamp1;
  h.stamp2 = stamps.stamp2;
  h.signedLength = signedLength;
  h.sectionIndex = sectionIndex;
  h.sectionSize = sectionSize;
  h.sectionCount = sectionCount;
  return h;
}

void SetHeaderSignature(SignedImageHeader& header, const uint8_t* digest, const uint8_t* signature,
                        const std::string& imagePath, const std::string& keyPath) {
  header.signedFieldsSet = true;
  std::memcpy(header.digest.data(), digest, kDigestSize);
  std::memcpy(header.signature.data(), signature, kSignatureSize);
  header.imagePath = imagePath;
  header.keyPath = keyPath;
}

void EncodeSignatureBlock(const SignedImageHeader& header, SignatureBlock& block) {
  block.fill(0);
  header.Encode(block.data());
}

void MacImageHeader::Encode(uint8_t* out) const {
  using H = MacImageHeader;
  std::memset(out, 0, size);
  std::memcpy(out + H::kOffMagic, kMacImageMagic, 32);  // includes the terminating NUL
  std::memcpy(out + H::kOffVersion, kMacImageVersion, 8);
  PutLe32(out + H::kOffPageSize, pageSize);
  PutLe32(out + H::kOffBlockSize, blockSize);
  PutLe32(out + H::kOffSpareSize, spareSize);
  PutLe32(out + H::kOffTotalLength, totalLength);
  PutLe32(out + H::kOffPageEcho, pageEcho);
  PutLe32(out + H::kOffSourceLength, sourceLength);
  PutLe32(out + H::kOffCoveredLength, coveredLength);
  PutLe32(out + H::kOffKindValue, kindValue);
  PutLe32(out + H::kOffDataLength, dataLength);
  PutLe32(out + H::kOffCoveredLength2, coveredLength2);
  PutLe32(out + H::kOffMacLength, macLength);
  PutLe32(out + H::kOffChunkCount, chunkCount);
  PutLe32(out + H::kOffChunkSize, chunkSize);
}

MacImageHeader MacImageHeader::Decode(const uint8_t* in) {
  using H = MacImageHeader;
  MacImageHeader h;
  h.pageSize = GetLe32(in + H::kOffPageSize);
  h.blockSize = GetLe32(in + H::kOffBlockSize);
  h.spareSize = GetLe32(in + H::kOffSpareSize);
  h.totalLength = GetLe32(in + H::kOffTotalLength);
  h.pageEcho = GetLe32(in + H::kOffPageEcho);
  h.sourceLength = GetLe32(in + H::kOffSourceLength);
  h.coveredLength = GetLe32(in + H::kOffCoveredLength);
  h.kindValue = GetLe32(in + H::kOffKindValue);
  h.dataLength = GetLe32(in + H::kOffDataLength);
  h.coveredLength2 = GetLe32(in + H::kOffCoveredLength2);
  h.macLength = GetLe32(in + H::kOffMacLength);
  h.chunkCount = GetLe32(in + H::kOffChunkCount);
  h.chunkSize = GetLe32(in + H::kOffChunkSize);
  return h;
}

}  // namespace tarnel
