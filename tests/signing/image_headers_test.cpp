// The two image headers, checked byte by byte with plain reads at the
// documented offsets, and the header checksum against a bitwise CRC written
// here from the polynomial alone.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "signing/image_headers.h"

namespace tarnel {
namespace {

uint32_t Le32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
         static_cast<uint32_t>(p[3]) << 24;
}

// CRC-32/MPEG-2 one bit at a time: poly 0x04C11DB7, MSB first, init all ones, no final XOR.
uint32_t BitwiseCrc(const uint8_t* data, size_t n) {
  uint32_t crc = 0xFFFFFFFFu;
  for (size_t i = 0; i < n; ++i) {
    crc ^= static_cast<uint32_t>(data[i]) << 24;
    for (int b = 0; b < 8; ++b) crc = (crc & 0x80000000u) ? (crc << 1) ^ 0x04C11DB7u : crc << 1;
  }
  return crc;
}

std::string Field(const uint8_t* p, size_t n) { return std::string(reinterpret_cast<const char*>(p), n); }

bool AllBytes(const uint8_t* p, size_t n, uint8_t v) {
  for (size_t i = 0; i < n; ++i)
    if (p[i] != v) return false;
  return true;
}

SignedImageHeader SampleHeader(const std::string& imagePath, const std::string& keyPath) {
  Stamps stamps;
  stamps.stamp1 = 0x00170A1Eu;
  stamps.stamp2 = 0x00170A3Bu;
  SignedImageHeader h = NewSignedHeader(stamps, 0x12345678u, 3, kSectionSize, 7);
  uint8_t digest[kDigestSize];
  uint8_t signature[kSignatureSize];
  for (size_t i = 0; i < kDigestSize; ++i) digest[i] = static_cast<uint8_t>(0xA0 + i);
  for (size_t i = 0; i < kSignatureSize; ++i) signature[i] = static_cast<uint8_t>(i ^ 0x5A);
  SetHeaderSignature(h, digest, signature, imagePath, keyPath);
  return h;
}

TEST(Crc32Mpeg2, CheckValueAndTableAgreeWithBitwiseForm) {
  const char* text = "123456789";
  EXPECT_EQ(Crc32Mpeg2(reinterpret_cast<const uint8_t*>(text), 9), 0x0376E6E7u);
  EXPECT_EQ(Crc32Mpeg2(nullptr, 0), 0xFFFFFFFFu);
  std::vector<uint8_t> all(256);
  for (size_t i = 0; i < all.size(); ++i) all[i] = static_cast<uint8_t>(i);
  EXPECT_EQ(Crc32Mpeg2(all.data(), all.size()), BitwiseCrc(all.data(), all.size()));
}

TEST(OnDiskSizes, AreFixed) {
  EXPECT_EQ(kSignedImageHeaderSize, 900u);
  EXPECT_EQ(sizeof(SignatureBlock), 8192u);
  EXPECT_EQ(kMacImageHeaderSize, 116u);
  EXPECT_EQ(kMacKeyPartHeaderSize, 124u);
  EXPECT_EQ(kSectionSize, 0x100000u);
}

TEST(SignedImageHeader, EveryFieldAtItsOffset) {
  const SignedImageHeader h = SampleHeader("/in/system.bin", "/keys/Keys_for_signature.txt");
  std::vector<uint8_t> b(kSignedImageHeaderSize, 0xEE);
  h.Encode(b.data());

  EXPECT_EQ(Field(&b[0], 32), "Corvantis_KELVA_ImgHead_MagicNum");
  EXPECT_EQ(Field(&b[32], 8), "v1.0.0.3");
  EXPECT_EQ(Le32(&b[40]), 0x00170A1Eu);
  EXPECT_EQ(Le32(&b[44]), 0x00170A3Bu);
  EXPECT_EQ(Le32(&b[48]), 900u);
  EXPECT_EQ(Le32(&b[52]), 0x12345678u);
  EXPECT_EQ(Le32(&b[56]), 0u);
  EXPECT_EQ(Le32(&b[60]), 1u);
  EXPECT_EQ(Le32(&b[64]), 0u);
  EXPECT_EQ(Le32(&b[68]), 0u);
  EXPECT_EQ(Le32(&b[72]), 0u);
  EXPECT_EQ(Le32(&b[76]), 1u);
  for (size_t i = 0; i < 32; ++i) EXPECT_EQ(b[80 + i], 0xA0 + i) << i;
  EXPECT_EQ(Le32(&b[112]), 256u);
  for (size_t i = 0; i < 256; ++i) ASSERT_EQ(b[116 + i], static_cast<uint8_t>(i ^ 0x5A)) << i;
  const std::string image = "/in/system.bin";
  const std::string key = "/keys/Keys_for_signature.txt";
  EXPECT_EQ(Field(&b[372], image.size()), image);
  EXPECT_TRUE(AllBytes(&b[372 + image.size()], 256 - image.size(), 0));
  EXPECT_EQ(Field(&b[628], key.size()), key);
  EXPECT_TRUE(AllBytes(&b[628 + key.size()], 256 - key.size(), 0));
  EXPECT_EQ(Le32(&b[884]), 3u);
  EXPECT_EQ(Le32(&b[888]), 1048576u);
  EXPECT_EQ(Le32(&b[892]), 7u);
  EXPECT_EQ(Le32(&b[896]), BitwiseCrc(b.data(), 896));
  EXPECT_EQ(HeaderCrc32(h), Le32(&b[896]));
}

TEST(SignedImageHeader, UnsignedHeaderKeepsLaterFieldsZero) {
  // Before a signature is made only the leading fields and the section words are set.
  const SignedImageHeader h = NewSignedHeader(Stamps{}, 5, 0, 0, 1);
  std::vector<uint8_t> b(kSignedImageHeaderSize, 0xEE);
  h.Encode(b.data());
  EXPECT_EQ(Le32(&b[52]), 5u);
  EXPECT_TRUE(AllBytes(&b[56], 884 - 56, 0));
  EXPECT_EQ(Le32(&b[884]), 0u);
  EXPECT_EQ(Le32(&b[888]), 0u);
  EXPECT_EQ(Le32(&b[892]), 1u);
  EXPECT_EQ(Le32(&b[896]), BitwiseCrc(b.data(), 896));
}

TEST(SignedImageHeader, LongPathsAreCutTo255WithByte255Zero) {
  const std::string image(300, 'i');
  const std::string key(256, 'k');
  std::vector<uint8_t> b(kSignedImageHeaderSize);
  SampleHeader(image, key).Encode(b.data());
  EXPECT_EQ(Field(&b[372], 255), image.substr(0, 255));
  EXPECT_EQ(b[372 + 255], 0);
  EXPECT_EQ(Field(&b[628], 255), key.substr(0, 255));
  EXPECT_EQ(b[628 + 255], 0);
  // The section index right after the key path is intact.
  EXPECT_EQ(Le32(&b[884]), 3u);

  const std::string exact(255, 'x');
  SampleHeader(exact, exact).Encode(b.data());
  EXPECT_EQ(Field(&b[372], 255), exact);
  EXPECT_EQ(b[627], 0);
}

TEST(SignedImageHeader, ChecksumCoversEveryByteUpTo895) {
  std::vector<uint8_t> b(kSignedImageHeaderSize);
  SampleHeader("/a", "/b").Encode(b.data());
  const uint32_t stored = Le32(&b[896]);
  for (size_t i = 0; i < 896; ++i) {
    std::vector<uint8_t> changed(b.begin(), b.begin() + 896);
    changed[i] ^= 0x01;
    ASSERT_NE(Crc32Mpeg2(changed.data(), changed.size()), stored) << "byte " << i;
  }
  // Field changes reach the checksum through the encoding.
  SignedImageHeader h = SampleHeader("/a", "/b");
  const uint32_t before = HeaderCrc32(h);
  h.keyPath = "/c";
  EXPECT_NE(HeaderCrc32(h), before);
  h = SampleHeader("/a", "/b");
  h.sectionCount = 8;
  EXPECT_NE(HeaderCrc32(h), before);
}

TEST(SignatureBlock, HeaderThenZeros) {
  SignatureBlock block;
  block.fill(0xAB);
  const SignedImageHeader h = SampleHeader("/x", "/y");
  EncodeSignatureBlock(h, block);
  std::vector<uint8_t> alone(kSignedImageHeaderSize);
  h.Encode(alone.data());
  EXPECT_EQ(std::memcmp(block.data(), alone.data(), alone.size()), 0);
  EXPECT_TRUE(AllBytes(block.data() + 900, 8192 - 900, 0));
}

TEST(MacImageHeader, EveryFieldAtItsOffset) {
  for (const size_t size : {kMacImageHeaderSize, kMacKeyPartHeaderSize}) {
    MacImageHeader h;
    h.size = size;
    h.pageSize = 2048;
    h.blockSize = 131072;
    h.spareSize = 64;
    h.totalLength = 0x01020304;
    h.pageEcho = 2048;
    h.sourceLength = 0x0A0B0C0D;
    h.coveredLength = 0x11121314;
    h.kindValue = 2;
    h.dataLength = 0x21222324;
    h.coveredLength2 = 0x31323334;
    h.chunkCount = 5;
    h.chunkSize = 1048576;
    std::vector<uint8_t> b(size + 8, 0xEE);
    h.Encode(b.data());
    EXPECT_EQ(Field(&b[0], 32), std::string("Corvantis_KELVA_ImgHead_MagicNu") + '\0');
    EXPECT_EQ(Field(&b[32], 8), std::string("1.0.0.0") + '\0');
    EXPECT_EQ(Le32(&b[40]), 2048u);
    EXPECT_EQ(Le32(&b[44]), 131072u);
    EXPECT_EQ(Le32(&b[48]), 64u);
    EXPECT_EQ(Le32(&b[52]), 0x01020304u);
    EXPECT_EQ(Le32(&b[56]), 2048u);
    EXPECT_EQ(Le32(&b[60]), 0x0A0B0C0Du);
    EXPECT_EQ(Le32(&b[64]), 0x11121314u);
    EXPECT_EQ(Le32(&b[68]), 2u);
    EXPECT_EQ(Le32(&b[72]), 0x21222324u);
    EXPECT_EQ(Le32(&b[76]), 0x31323334u);
    EXPECT_EQ(Le32(&b[80]), 16u);
    EXPECT_EQ(Le32(&b[84]), 5u);
    EXPECT_EQ(Le32(&b[88]), 1048576u);
    EXPECT_TRUE(AllBytes(&b[92], size - 92, 0)) << size;
    // Nothing is written past the header size.
    EXPECT_TRUE(AllBytes(&b[size], 8, 0xEE)) << size;
  }
}

}  // namespace
}  // namespace tarnel
