// Key lines, digests and signatures. Signatures are checked with the public
// key alone (a PEM written from key list lines 1 and 2 and read back by
// OpenSSL), digests against one EVP call over the whole buffer.
#include <gtest/gtest.h>

#include <openssl/pem.h>
#include <openssl/rsa.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "common/secure.h"
#include "signing/crypto.h"
#include "signing/signer.h"
#include "support/test_support.h"

namespace tarnel {
namespace {

// As in the front ends, from before OpenSSL's first allocation in this process.
const bool kOpenSslFreesWiped = WipeOpenSslFrees();

using test::ReadBytes;
using test::SplitLines;
using test::TempFolder;
using test::WriteBytes;
using test::WriteText;

std::string Hex(const BIGNUM* bn) {
  if (bn == nullptr) return "<null>";
  char* h = BN_bn2hex(bn);
  std::string s(h);
  OPENSSL_free(h);
  return s;
}

std::string HexOfLine(const std::string& line) { return Hex(KeyComponentFromLine(line).get()); }

std::string JoinLines(const std::vector<std::string>& lines, size_t count, const char* end = "\n") {
  std::string out;
  for (size_t i = 0; i < count && i < lines.size(); ++i) out += lines[i] + end;
  return out;
}

// The public key of key list lines 1 and 2, through a PEM file and OpenSSL's reader.
struct PublicKeyFromLines {
  EVP_PKEY* key = nullptr;
  PublicKeyFromLines(const std::string& nLine, const std::string& eLine) {
    TempFolder dir;
    test::WritePublicKeyPem(nLine, eLine, dir / "pub.pem");
    FILE* f = std::fopen((dir / "pub.pem").c_str(), "r");
    if (f != nullptr) {
      key = PEM_read_PUBKEY(f, nullptr, nullptr, nullptr);
      std::fclose(f);
    }
  }
  ~PublicKeyFromLines() { EVP_PKEY_free(key); }
};

TEST(KeyComponentLine, DigitRules) {
  EXPECT_EQ(HexOfLine("0xABCD\n"), "ABCD");
  EXPECT_EQ(HexOfLine("0xabcd\r\n"), "ABCD");
  // The first two characters are skipped even when they are digits.
  EXPECT_EQ(HexOfLine("12ABCD"), "ABCD");
  EXPECT_EQ(HexOfLine("ABCDEF"), "CDEF");
  // A final unpaired digit is dropped.
  EXPECT_EQ(HexOfLine("0xABC"), "AB");
  EXPECT_EQ(HexOfLine("0x1\n"), "0");
  // Anything that is not a hexadecimal digit is ignored, pairs run across it.
  EXPECT_EQ(HexOfLine("0xA:B C\tD-xyz"), "ABCD");
  EXPECT_EQ(HexOfLine("0x 01:00:01 "), "010001");
  // Empty or digit-less lines give zero.
  EXPECT_EQ(HexOfLine(""), "0");
  EXPECT_EQ(HexOfLine("0x"), "0");
  EXPECT_EQ(HexOfLine("0xzz\r\n"), "0");
  // Leading zero bytes vanish in the number.
  EXPECT_EQ(HexOfLine("0x0000FF"), "FF");
}

TEST(KeyComponentLine, ReadsLinesOfAtMost1022Characters) {
  TempFolder dir;
  const std::string longDigits(1100, 'A');
  WriteText(dir / "k.txt", "0x" + longDigits + "\n0x0102\r\n");
  InFile f;
  ASSERT_TRUE(f.Open(dir / "k.txt", true));
  BigNum bn;
  // First read: 1022 characters, "0x" and 1020 digits.
  ASSERT_TRUE(ReadKeyComponent(f, bn));
  EXPECT_EQ(BN_num_bytes(bn.get()), 510);
  // The rest of the long line comes as a new line whose first two characters are skipped.
  ASSERT_TRUE(ReadKeyComponent(f, bn));
  EXPECT_EQ(BN_num_bytes(bn.get()), 39);  // 80 digits left, 2 skipped
  ASSERT_TRUE(ReadKeyComponent(f, bn));
  EXPECT_EQ(Hex(bn.get()), "0102");
  EXPECT_FALSE(ReadKeyComponent(f, bn));
}

class KeyLoading : public ::testing::Test {
 protected:
  TempFolder dir;
  std::vector<std::string> lines = SplitLines(test::SharedKeyListText());
  std::string Write(const std::string& text) {
    const std::string path = dir / "keys.txt";
    WriteText(path, text);
    return path;
  }
};

TEST_F(KeyLoading, SignatureVerifiesWithPublicHalfAndHasTheStandardEncoding) {
  KeyLoad status = KeyLoad::ReadFailed;
  PKey key = LoadRsaPrivateKey(Write(test::SharedKeyListText()), &status);
  ASSERT_TRUE(key);
  EXPECT_EQ(status, KeyLoad::Ok);

  const auto data = test::PatternBytes(1000, 7);
  const auto digest = test::Sha256Of(data.data(), data.size());
  uint8_t sig[256];
  ASSERT_TRUE(SignDigest(key.get(), digest.data(), sig));
  EXPECT_TRUE(test::VerifyWithPublicKey(lines[0], lines[1], data.data(), data.size(), sig, 256));
  auto other = data;
  other[0] ^= 1;
  EXPECT_FALSE(test::VerifyWithPublicKey(lines[0], lines[1], other.data(), other.size(), sig, 256));

  // The public operation gives back 00 01 FF..FF 00, the SHA-256 DigestInfo, the digest.
  PublicKeyFromLines pub(lines[0], lines[1]);
  ASSERT_NE(pub.key, nullptr);
  EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new_from_pkey(nullptr, pub.key, nullptr);
  ASSERT_NE(ctx, nullptr);
  std::vector<uint8_t> block(256);
  size_t len = block.size();
  ASSERT_EQ(EVP_PKEY_verify_recover_init(ctx), 1);
  ASSERT_EQ(EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_NO_PADDING), 1);
  ASSERT_EQ(EVP_PKEY_verify_recover(ctx, block.data(), &len, sig, 256), 1);
  EVP_PKEY_CTX_free(ctx);
  ASSERT_EQ(len, 256u);
  // 00 01, 202 bytes FF, 00 at 204, the DigestInfo prefix at 205, the digest at 224.
  std::vector<uint8_t> expected(256, 0xFF);
  expected[0] = 0x00;
  expected[1] = 0x01;
  expected[204] = 0x00;
  const uint8_t prefix[19] = {0x30, 0x31, 0x30, 0x0d, 0x06, 0x09, 0x60, 0x86, 0x48, 0x01,
                              0x65, 0x03, 0x04, 0x02, 0x01, 0x05, 0x00, 0x04, 0x20};
  std::copy(prefix, prefix + 19, expected.begin() + 205);
  ASSERT_EQ(digest.size(), 32u);
  std::copy(digest.begin(), digest.end(), expected.begin() + 224);
  EXPECT_EQ(block, expected);
}

TEST_F(KeyLoading, OnlyTheFirstEightLinesCount) {
  // Lines 9 onwards may be anything.
  PKey key = LoadRsaPrivateKey(Write(JoinLines(lines, 8, "\r\n") + "garbage\n"));
  ASSERT_TRUE(key);
  uint8_t digest[32] = {1, 2, 3};
  uint8_t sig[256];
  EXPECT_TRUE(SignDigest(key.get(), digest, sig));
}

TEST_F(KeyLoading, FailuresAreTold) {
  KeyLoad status = KeyLoad::Ok;
  EXPECT_FALSE(LoadRsaPrivateKey(dir / "missing.txt", &status));
  EXPECT_EQ(status, KeyLoad::OpenFailed);
  EXPECT_FALSE(LoadRsaPrivateKey(dir.Path(), &status));
  EXPECT_EQ(status, KeyLoad::OpenFailed);

  EXPECT_FALSE(LoadRsaPrivateKey(Write(JoinLines(lines, 7)), &status));
  EXPECT_EQ(status, KeyLoad::ReadFailed);
  EXPECT_FALSE(LoadRsaPrivateKey(Write(""), &status));
  EXPECT_EQ(status, KeyLoad::ReadFailed);

  // The root key's p (line 14) in place of the external key's p.
  auto swapped = lines;
  swapped[3] = lines[13];
  EXPECT_FALSE(LoadRsaPrivateKey(Write(JoinLines(swapped, 8)), &status));
  EXPECT_EQ(status, KeyLoad::BuildFailed);
}

TEST_F(KeyLoading, MismatchedComponentsNeverYieldABadSignature) {
  const auto data = test::PatternBytes(64, 5);
  const auto digest = test::Sha256Of(data.data(), data.size());
  // d from the other key: the CRT components still make a good signature.
  auto mixed = lines;
  mixed[2] = lines[12];
  PKey key = LoadRsaPrivateKey(Write(JoinLines(mixed, 8)));
  ASSERT_TRUE(key);
  uint8_t sig[256];
  ASSERT_TRUE(SignDigest(key.get(), digest.data(), sig));
  EXPECT_TRUE(test::VerifyWithPublicKey(lines[0], lines[1], data.data(), data.size(), sig, 256));

  // d and d mod (p-1) both from the other key: whatever the private operation
  // gives would not verify on the board, so there is no signature.
  mixed[5] = lines[15];
  key = LoadRsaPrivateKey(Write(JoinLines(mixed, 8)));
  ASSERT_TRUE(key);
  EXPECT_FALSE(SignDigest(key.get(), digest.data(), sig));
}

TEST(SignDigestSize, OnlyA2048BitKeySigns) {
  TempFolder dir;
  uint8_t digest[32] = {};
  uint8_t sig[256];
  WriteText(dir / "keys.txt", test::KeyListTextWithBits(1024, 2048));
  PKey key = LoadRsaPrivateKey(dir / "keys.txt");
  ASSERT_TRUE(key);
  EXPECT_FALSE(SignDigest(key.get(), digest, sig));

  // A 4096-bit modulus line is longer than one read, so its components come
  // out shifted and never form a key.
  WriteText(dir / "keys.txt", test::KeyListTextWithBits(4096, 2048));
  KeyLoad status = KeyLoad::Ok;
  EXPECT_FALSE(LoadRsaPrivateKey(dir / "keys.txt", &status));
  EXPECT_EQ(status, KeyLoad::BuildFailed);

  EXPECT_FALSE(SignDigest(nullptr, digest, sig));
}

TEST(StoreKeyComponent256, RightAlignedBigEndianLeavingBytesBefore) {
  std::vector<uint8_t> field(256, 0xAA);
  BigNum bn(KeyComponentFromLine("0x010203"));
  ASSERT_TRUE(StoreKeyComponent256(field.data(), bn.get()));
  EXPECT_EQ(field[252], 0xAA);
  EXPECT_EQ(field[253], 0x01);
  EXPECT_EQ(field[254], 0x02);
  EXPECT_EQ(field[255], 0x03);

  std::vector<uint8_t> zero(256, 0xAA);
  BigNum z(KeyComponentFromLine(""));
  ASSERT_TRUE(StoreKeyComponent256(zero.data(), z.get()));
  EXPECT_EQ(zero, std::vector<uint8_t>(256, 0xAA));

  // 257 bytes do not fit: refused, field untouched.
  std::vector<uint8_t> untouched(256, 0xAA);
  BigNum big(KeyComponentFromLine("0x" + std::string(514, 'F')));
  EXPECT_FALSE(StoreKeyComponent256(untouched.data(), big.get()));
  EXPECT_EQ(untouched, std::vector<uint8_t>(256, 0xAA));

  std::vector<uint8_t> full(256, 0);
  BigNum exact(KeyComponentFromLine("0x" + std::string(512, 'F')));
  ASSERT_TRUE(StoreKeyComponent256(full.data(), exact.get()));
  EXPECT_EQ(full, std::vector<uint8_t>(256, 0xFF));
}

TEST(Hashing, FileAndPiecewiseDigestsMatchOneShot) {
  TempFolder dir;
  for (const size_t n : {size_t{0}, size_t{1}, size_t{511}, size_t{512}, size_t{513}, size_t{100000}}) {
    const auto data = test::PatternBytes(n, static_cast<uint32_t>(n + 3));
    WriteBytes(dir / "f.bin", data);
    InFile f;
    ASSERT_TRUE(f.Open(dir / "f.bin"));
    uint8_t digest[32];
    ASSERT_TRUE(HashFileSha256(f, digest)) << n;
    EXPECT_FALSE(f.IsOpen());
    EXPECT_EQ(std::vector<uint8_t>(digest, digest + 32), test::Sha256Of(data.data(), data.size())) << n;

    Sha256Stream hash;
    ASSERT_TRUE(hash.Begin());
    for (size_t off = 0; off < n; off += 777)
      ASSERT_TRUE(hash.Update(data.data() + off, std::min<size_t>(777, n - off)));
    ASSERT_TRUE(hash.Final(digest));
    EXPECT_FALSE(hash.Update(data.data(), n));  // spent
    EXPECT_EQ(std::vector<uint8_t>(digest, digest + 32), test::Sha256Of(data.data(), data.size())) << n;
  }
  InFile notOpen;
  uint8_t digest[32];
  EXPECT_FALSE(HashFileSha256(notOpen, digest));
}

}  // namespace
}  // namespace tarnel

namespace tarnel {
namespace {

// Bytes on the secure heap, which the memory scan below leaves out: the
// windows looked for, and the scan's own reads.
struct SecureHeapBuffer {
  explicit SecureHeapBuffer(size_t n) : data(static_cast<uint8_t*>(OPENSSL_secure_zalloc(n))), size(n) {}
  ~SecureHeapBuffer() { OPENSSL_secure_clear_free(data, size); }
  SecureHeapBuffer(const SecureHeapBuffer&) = delete;
  SecureHeapBuffer& operator=(const SecureHeapBuffer&) = delete;
  uint8_t* data;
  size_t size;
};

constexpr size_t kWindow = 16;

// Which of `count` 16-byte windows some readable, writable mapping of the
// process outside the secure heap holds, read through /proc/self/mem. The
// stack is left out: it is overwritten call by call, and this test's own
// frames hold the numbers while it cuts the windows.
std::vector<size_t> WindowsInOrdinaryMemory(const uint8_t* windows, size_t count) {
  std::vector<size_t> found;
  SecureHeapBuffer chunk(1 << 16);
  const int mem = ::open("/proc/self/mem", O_RDONLY | O_CLOEXEC);
  if (mem < 0 || chunk.data == nullptr) return {SIZE_MAX};
  std::ifstream maps("/proc/self/maps");
  std::string line;
  while (std::getline(maps, line)) {
    std::istringstream fields(line);
    unsigned long long start = 0, end = 0;
    char dash = 0;
    std::string perms, offset, dev, inode, path;
    fields >> std::hex >> start >> dash >> end >> perms >> offset >> dev >> inode >> path;
    if (perms.size() < 2 || perms[0] != 'r' || perms[1] != 'w' || end - start > (1ull << 30) || path == "[vvar]" ||
        path == "[stack]")
      continue;
    for (unsigned long long at = start; at < end; at += chunk.size - kWindow) {
      const size_t want = static_cast<size_t>(std::min<unsigned long long>(chunk.size, end - at));
      const ssize_t got = ::pread(mem, chunk.data, want, static_cast<off_t>(at));
      if (got < static_cast<ssize_t>(kWindow)) break;
      for (size_t w = 0; w < count; ++w) {
        const uint8_t* hit = static_cast<const uint8_t*>(
            memmem(chunk.data, static_cast<size_t>(got), windows + w * kWindow, kWindow));
        if (hit != nullptr && CRYPTO_secure_allocated(reinterpret_cast<const void*>(at + (hit - chunk.data))) == 0)
          found.push_back(w);
      }
      if (static_cast<size_t>(got) < want) break;
    }
  }
  ::close(mem);
  std::sort(found.begin(), found.end());
  found.erase(std::unique(found.begin(), found.end()), found.end());
  return found;
}

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kAddressSanitizer = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool kAddressSanitizer = true;
#else
constexpr bool kAddressSanitizer = false;
#endif
#else
constexpr bool kAddressSanitizer = false;
#endif

// The private numbers of a key list key live on OpenSSL's secure heap, and
// no ordinary memory holds them, in either byte order: not once the key is
// loaded, not while it signs (d and the CRT numbers; OpenSSL's signing code
// copies p and q into its Montgomery contexts), not after it is gone.
TEST(SecureHeap, PrivateNumbersLiveThereAndNoOrdinaryCopyIsLeft) {
  ASSERT_TRUE(kOpenSslFreesWiped) << "OpenSSL allocated before this test's static set-up";
  if (CRYPTO_secure_malloc_initialized() == 0) {
    ASSERT_NE(CRYPTO_secure_malloc_init(1 << 18, 32), 0);
  }
  const KeyLines lines(SplitLines(test::SharedKeyListText()));

  // Windows of lines 3-8 and 13-18 in binary, big-endian then reversed (the
  // order of a number's words in memory): d, p, q, d mod (p-1), d mod (q-1), q^-1 mod p.
  constexpr size_t kPrivate[] = {2, 3, 4, 5, 6, 7, 12, 13, 14, 15, 16, 17};
  constexpr size_t kCount = std::size(kPrivate) * 2;
  SecureHeapBuffer windows(kCount * kWindow);
  ASSERT_NE(windows.data, nullptr);
  size_t privateBytes = 0;
  for (size_t k = 0; k < std::size(kPrivate); ++k) {
    BigNum bn = KeyComponentFromLine(lines[kPrivate[k]]);
    ASSERT_TRUE(bn);
    const size_t n = static_cast<size_t>(BN_num_bytes(bn.get()));
    privateBytes += n;
    SecureHeapBuffer bytes(n);
    ASSERT_EQ(BN_bn2bin(bn.get(), bytes.data), static_cast<int>(n));
    uint8_t* bigEndian = windows.data + 2 * k * kWindow;
    std::memcpy(bigEndian, bytes.data + n / 2, kWindow);
    for (size_t i = 0; i < kWindow; ++i) bigEndian[kWindow + i] = bigEndian[kWindow - 1 - i];
  }

  const size_t before = CRYPTO_secure_used();
  {
    std::string error;
    std::unique_ptr<Signer> signer = MakeSigner(kSignerKeyList, lines, "", nullptr, error);
    ASSERT_TRUE(signer);
    for (KeyRole role : {KeyRole::External, KeyRole::Root}) {
      SignError loadError;
      ASSERT_TRUE(signer->CheckKey(role, loadError));
    }
    EXPECT_GE(CRYPTO_secure_used() - before, privateBytes);
    if (!kAddressSanitizer) {
      EXPECT_EQ(WindowsInOrdinaryMemory(windows.data, kCount), std::vector<size_t>{});
    }
    for (KeyRole role : {KeyRole::External, KeyRole::Root}) {
      const uint8_t digest[32] = {1, 2, 3};
      uint8_t signature[256];
      SignError signError;
      ASSERT_TRUE(signer->Sign(role, digest, signature, signError));
    }
    if (!kAddressSanitizer) {
      // Windows 0-1 d, 6-11 the CRT numbers; likewise 12-13 and 18-23 for the root key.
      std::vector<size_t> whileSigning;
      for (size_t w : WindowsInOrdinaryMemory(windows.data, kCount))
        if (!(w >= 2 && w < 6) && !(w >= 14 && w < 18)) whileSigning.push_back(w);
      EXPECT_EQ(whileSigning, std::vector<size_t>{});
    }
  }
  if (!kAddressSanitizer) {
    EXPECT_EQ(WindowsInOrdinaryMemory(windows.data, kCount), std::vector<size_t>{});
  }
}

}  // namespace
}  // namespace tarnel
