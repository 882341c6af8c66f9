// CBC-MAC and the first-generation containers, checked against one EVP
// AES-128-CBC pass over the whole covered range.
#include "signing/mac_containers.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <memory>
#include <vector>

#include "support/test_support.h"

namespace tarnel {
namespace {

using test::PatternBytes;

Key128 TestKey(uint8_t seed) {
  Key128 k{};
  for (size_t i = 0; i < k.size(); ++i) k[i] = static_cast<uint8_t>(seed * 17 + i * 29 + 3);
  return k;
}

// Reference MAC: one EVP encryption call over the whole buffer, last block.
std::vector<uint8_t> ReferenceMac(const Key128& key, const uint8_t* data, size_t n) {
  std::unique_ptr<EVP_CIPHER_CTX, decltype(&EVP_CIPHER_CTX_free)> ctx(EVP_CIPHER_CTX_new(), EVP_CIPHER_CTX_free);
  const uint8_t iv[16] = {};
  EXPECT_EQ(EVP_EncryptInit_ex(ctx.get(), EVP_aes_128_cbc(), nullptr, key.data(), iv), 1);
  EVP_CIPHER_CTX_set_padding(ctx.get(), 0);
  std::vector<uint8_t> out(n + 16);
  int len = 0;
  EXPECT_EQ(EVP_EncryptUpdate(ctx.get(), out.data(), &len, data, static_cast<int>(n)), 1);
  EXPECT_EQ(static_cast<size_t>(len), n);
  return std::vector<uint8_t>(out.begin() + len - 16, out.begin() + len);
}

TEST(CbcMacTest, OneShotAndStreamedMatchOneEvpPass) {
  const Key128 key = TestKey(1);
  for (size_t n : {16u, 32u, 4096u, 4112u, 70000u - 70000u % 16u}) {
    const std::vector<uint8_t> data = PatternBytes(n, static_cast<uint32_t>(n));
    const std::vector<uint8_t> expected = ReferenceMac(key, data.data(), n);
    std::vector<uint8_t> mac(16);
    ASSERT_TRUE(ComputeCbcMac(key, data.data(), n, mac.data())) << n;
    EXPECT_EQ(mac, expected) << n;

    // Uneven pieces, some not block-aligned, some longer than the work buffer.
    for (size_t step : {1u, 7u, 16u, 100u, 5000u}) {
      CbcMac streamed(key);
      for (size_t at = 0; at < n; at += step) {
        const size_t piece = n - at < step ? n - at : step;
        ASSERT_TRUE(streamed.Update(data.data() + at, piece));
      }
      std::vector<uint8_t> got(16);
      ASSERT_TRUE(streamed.Final(got.data()));
      EXPECT_EQ(got, expected) << n << " in pieces of " << step;
    }
  }
}

TEST(CbcMacTest, RefusesIncompleteOrEmptyInput) {
  const Key128 key = TestKey(2);
  const std::vector<uint8_t> data = PatternBytes(40);
  uint8_t mac[16];
  EXPECT_FALSE(ComputeCbcMac(key, data.data(), 0, mac));
  EXPECT_FALSE(ComputeCbcMac(key, data.data(), 40, mac));
  CbcMac partial(key);
  ASSERT_TRUE(partial.Update(data.data(), 40));
  EXPECT_FALSE(partial.Final(mac));
  CbcMac empty(key);
  EXPECT_FALSE(empty.Final(mac));
}

TEST(CbcMacTest, KeyChangesTheMac) {
  const std::vector<uint8_t> data = PatternBytes(64);
  uint8_t a[16], b[16];
  ASSERT_TRUE(ComputeCbcMac(TestKey(3), data.data(), data.size(), a));
  ASSERT_TRUE(ComputeCbcMac(TestKey(4), data.data(), data.size(), b));
  EXPECT_NE(std::vector<uint8_t>(a, a + 16), std::vector<uint8_t>(b, b + 16));
}

}  // namespace
}  // namespace tarnel
