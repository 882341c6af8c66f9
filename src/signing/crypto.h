// Key lines, digests and signatures, through OpenSSL's EVP interfaces.
#pragma once

#include <openssl/bn.h>
#include <openssl/evp.h>

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "common/files.h"
#include "common/model.h"

namespace tarnel {

struct BnFree {
  void operator()(BIGNUM* bn) const { BN_clear_free(bn); }
};
using BigNum = std::unique_ptr<BIGNUM, BnFree>;

struct PKeyFree {
  void operator()(EVP_PKEY* k) const { EVP_PKEY_free(k); }
};
using PKey = std::unique_ptr<EVP_PKEY, PKeyFree>;

struct MdCtxFree {
  void operator()(EVP_MD_CTX* c) const { EVP_MD_CTX_free(c); }
};
using MdCtx = std::unique_ptr<EVP_MD_CTX, MdCtxFree>;

struct CipherFree {
  void operator()(EVP_CIPHER* c) const { EVP_CIPHER_free(c); }
};
using Cipher = std::unique_ptr<EVP_CIPHER, CipherFree>;

struct CipherCtxFree {
  void operator()(EVP_CIPHER_CTX* c) const { EVP_CIPHER_CTX_free(c); }  // wipes the key schedule
};
using CipherCtx = std::unique_ptr<EVP_CIPHER_CTX, CipherCtxFree>;

// Longest key line read in one go; a longer line continues as the next read.
inline constexpr size_t kKeyLineMaxChars = 1022;

// Reads one key component line: the line end is removed, the first two
// characters are skipped, hexadecimal digits are taken in pairs (big-endian),
// anything else is ignored and a final unpaired digit is dropped.
// False when no line could be read or it holds no number.
[[nodiscard]] bool ReadKeyComponent(InFile& file, BigNum& out);
// The same rule applied to a line already read.
[[nodiscard]] BigNum KeyComponentFromLine(std::string_view line);

enum class KeyLoad { Ok, OpenFailed, ReadFailed, BuildFailed };

// Reads the eight components n, e, d, p, q, d mod (p-1), d mod (q-1),
// q^-1 mod p from the start of a key file and builds the private key. Its
// private numbers live on OpenSSL's secure heap once that is set up.
[[nodiscard]] PKey LoadRsaPrivateKey(const std::string& keyFilePath, KeyLoad* status = nullptr);
// The same from a file already open at the first of the eight lines.
[[nodiscard]] PKey ReadRsaPrivateKey(InFile& file, KeyLoad* status = nullptr);
// The same from eight key lines held in memory, lines[first] to lines[first + 7]
// (ReadFailed when there are fewer).
[[nodiscard]] PKey RsaPrivateKeyFromLines(const KeyLines& lines, size_t first, KeyLoad* status = nullptr);
// A public key from n and e.
[[nodiscard]] PKey RsaPublicKeyFromComponents(const BIGNUM* n, const BIGNUM* e);

// RSASSA-PKCS1-v1_5 with SHA-256 over a 32-byte digest. True when the
// signature came out exactly 256 bytes and verifies with the key's public
// half; false otherwise (wrong key size, components that do not form a key).
[[nodiscard]] bool SignDigest(EVP_PKEY* key, const uint8_t* digest, uint8_t* signature256);

// Writes the number big-endian, right-aligned, into a 256-byte field (bytes
// before it are left as they are). False when it needs more than 256 bytes.
[[nodiscard]] bool StoreKeyComponent256(uint8_t* field256, const BIGNUM* value);

// SHA-256 over data given in pieces.
class Sha256Stream {
 public:
  // False when the digest context could not be made.
  [[nodiscard]] bool Begin();
  [[nodiscard]] bool Update(const uint8_t* data, size_t n);
  // Writes the 32-byte digest; the stream is spent.
  [[nodiscard]] bool Final(uint8_t* digest32);

 private:
  MdCtx md_;
};

// SHA-256 of an open file from where it stands to its end, which must lie
// where its size said; closes the file. False on a read error.
[[nodiscard]] bool HashFileSha256(InFile& file, uint8_t* digest32);
// SHA-256 of a buffer.
[[nodiscard]] bool Sha256(const uint8_t* data, size_t n, uint8_t* digest32);

}  // namespace tarnel
