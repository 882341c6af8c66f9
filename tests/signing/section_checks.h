// Checks of RSA signature blocks written by the sectioned signers, made with
// the public key alone and a CRC written here bit by bit.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "common/le.h"
#include "support/test_support.h"

namespace tarnel::test {

// CRC-32/MPEG-2 one bit at a time.
inline uint32_t BitwiseCrc32Mpeg2(const uint8_t* data, size_t n) {
  uint32_t crc = 0xFFFFFFFFu;
  for (size_t i = 0; i < n; ++i) {
    crc ^= static_cast<uint32_t>(data[i]) << 24;
    for (int k = 0; k < 8; ++k) crc = (crc & 0x80000000u) ? (crc << 1) ^ 0x04C11DB7u : crc << 1;
  }
  return crc;
}

// A NUL-terminated text field of a header.
inline std::string HeaderText(const uint8_t* field, size_t width) {
  size_t n = 0;
  while (n < width && field[n] != 0) ++n;
  return std::string(reinterpret_cast<const char*>(field), n);
}

struct ExpectedBlock {
  const uint8_t* data = nullptr;  // the signed bytes
  size_t length = 0;
  std::string imagePath;
  std::string keyPath;
  uint32_t index = 0;
  uint32_t sectionSize = 0;
  uint32_t count = 1;
};

// One 8192-byte signature block: every field, the digest of the signed
// bytes, the signature with key list lines 1 and 2, the header checksum.
inline void ExpectSignatureBlock(const uint8_t* block, const ExpectedBlock& e, const std::vector<std::string>& keyLines,
                                 const std::string& what) {
  SCOPED_TRACE(what);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(block), 32), "Corvantis_KELVA_ImgHead_MagicNum");
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(block + 32), 8), "v1.0.0.3");
  EXPECT_EQ(GetLe32(block + 48), 900u);
  EXPECT_EQ(GetLe32(block + 52), e.length);
  EXPECT_EQ(GetLe32(block + 56), 0u);
  EXPECT_EQ(GetLe32(block + 60), 1u);
  EXPECT_EQ(GetLe32(block + 64), 0u);
  EXPECT_EQ(GetLe32(block + 68), 0u);
  EXPECT_EQ(GetLe32(block + 72), 0u);
  EXPECT_EQ(GetLe32(block + 76), 1u);
  EXPECT_EQ(std::vector<uint8_t>(block + 80, block + 112), Sha256Of(e.data, e.length));
  EXPECT_EQ(GetLe32(block + 112), 256u);
  EXPECT_TRUE(VerifyWithPublicKey(keyLines[0], keyLines[1], e.data, e.length, block + 116, 256));
  EXPECT_EQ(HeaderText(block + 372, 256), e.imagePath.substr(0, 255));
  EXPECT_EQ(HeaderText(block + 628, 256), e.keyPath.substr(0, 255));
  EXPECT_EQ(GetLe32(block + 884), e.index);
  EXPECT_EQ(GetLe32(block + 888), e.sectionSize);
  EXPECT_EQ(GetLe32(block + 892), e.count);
  EXPECT_EQ(GetLe32(block + 896), BitwiseCrc32Mpeg2(block, 896));
  bool zeroTail = true;
  for (size_t i = 900; i < 8192; ++i) zeroTail = zeroTail && block[i] == 0;
  EXPECT_TRUE(zeroTail);
}

// The section blocks at the start of a signature file over `data`, 1 MiB each.
inline void ExpectSectionBlocks(const std::vector<uint8_t>& signFile, const std::vector<uint8_t>& data,
                                const std::string& imagePath, const std::string& keyPath,
                                const std::vector<std::string>& keyLines) {
  const size_t sections = (data.size() + 1048575) / 1048576;
  ASSERT_GE(signFile.size(), sections * 8192);
  for (size_t j = 0; j < sections; ++j) {
    ExpectedBlock e;
    e.data = data.data() + j * 1048576;
    e.length = std::min<size_t>(1048576, data.size() - j * 1048576);
    e.imagePath = imagePath;
    e.keyPath = keyPath;
    e.index = static_cast<uint32_t>(j);
    e.sectionSize = 1048576;
    e.count = static_cast<uint32_t>(sections);
    ExpectSignatureBlock(signFile.data() + j * 8192, e, keyLines, "section " + std::to_string(j));
  }
}

// The whole-file block at the end of X_Sign.img over everything before it.
inline void ExpectWholeFileBlock(const std::vector<uint8_t>& signFile, const std::string& tempSignPath,
                                 const std::string& keyPath, const std::vector<std::string>& keyLines) {
  ASSERT_GE(signFile.size(), 8192u);
  ASSERT_EQ(signFile.size() % 8192, 0u);
  ExpectedBlock e;
  e.data = signFile.data();
  e.length = signFile.size() - 8192;
  e.imagePath = tempSignPath;
  e.keyPath = keyPath;
  ExpectSignatureBlock(signFile.data() + e.length, e, keyLines, "whole-file block");
}

}  // namespace tarnel::test
