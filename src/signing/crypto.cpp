#include "signing/crypto.h"

#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/param_build.h>
#include <openssl/x509.h>
#include <openssl/rsa.h>

#include <algorithm>
#include <vector>

#include "common/secure.h"
#include "common/stream.h"

namespace tarnel {

namespace {

struct PKeyCtxFree {
  void operator()(EVP_PKEY_CTX* c) const { EVP_PKEY_CTX_free(c); }
};
using PKeyCtx = std::unique_ptr<EVP_PKEY_CTX, PKeyCtxFree>;

struct ParamBldFree {
  void operator()(OSSL_PARAM_BLD* b) const { OSSL_PARAM_BLD_free(b); }
};
struct ParamsFree {
  void operator()(OSSL_PARAM* p) const { OSSL_PARAM_free(p); }
};

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

BigNum KeyComponentFromLine(std::string_view line) {
  if (!line.empty() && line.back() == '\n') line.remove_suffix(1);
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  SecureBytes bytes(line.size() / 2 + 1);
  size_t count = 0;
  int high = -1;
  for (size_t i = 2; i < line.size(); ++i) {
    const int v = HexValue(line[i]);
    if (v < 0) continue;
    if (high < 0) {
      high = v;
    } else {
      bytes[count++] = static_cast<uint8_t>((high << 4) | v);
      high = -1;
    }
  }
  // Secure numbers: OpenSSL wipes them, and the key parameters built from them, when freed.
  BigNum bn(BN_secure_new());
  if (!bn || BN_bin2bn(bytes.data(), static_cast<int>(count), bn.get()) == nullptr) return nullptr;
  return bn;
}

bool ReadKeyComponent(InFile& file, BigNum& out) {
  std::string line;
  if (!file.ReadLine(line, kKeyLineMaxChars)) return false;
  out = KeyComponentFromLine(line);
  Cleanse(line);
  return out != nullptr;
}

namespace {

// Bytes on OpenSSL's secure heap (the ordinary heap until it is set up),
// wiped when freed.
class SecureHeapBytes {
 public:
  explicit SecureHeapBytes(size_t n)
      : data_(n > 0 ? static_cast<unsigned char*>(OPENSSL_secure_zalloc(n)) : nullptr), size_(data_ ? n : 0) {}
  ~SecureHeapBytes() { OPENSSL_secure_clear_free(data_, size_); }
  SecureHeapBytes(const SecureHeapBytes&) = delete;
  SecureHeapBytes& operator=(const SecureHeapBytes&) = delete;
  [[nodiscard]] unsigned char* data() { return data_; }
  [[nodiscard]] size_t size() const { return size_; }

 private:
  unsigned char* data_;
  size_t size_;
};

// DER: a definite length of up to three bytes is all a key needs.
size_t DerLengthSize(size_t n) { return n < 0x80 ? 1 : n < 0x100 ? 2 : n < 0x10000 ? 3 : 4; }

unsigned char* PutDerHeader(unsigned char* out, unsigned char tag, size_t n) {
  *out++ = tag;
  if (n < 0x80) {
    *out++ = static_cast<unsigned char>(n);
  } else {
    const int bytes = n < 0x100 ? 1 : n < 0x10000 ? 2 : 3;
    *out++ = static_cast<unsigned char>(0x80 | bytes);
    for (int i = bytes - 1; i >= 0; --i) *out++ = static_cast<unsigned char>(n >> (8 * i));
  }
  return out;
}

// Content bytes of a non-negative INTEGER: the magnitude, with a 0 in front
// when its top bit is set (zero is one 0 byte).
size_t DerIntegerContentSize(const BIGNUM* bn) {
  const size_t n = static_cast<size_t>(BN_num_bytes(bn));
  return n == 0 || BN_is_bit_set(bn, static_cast<int>(8 * n - 1)) ? n + 1 : n;
}

size_t DerIntegerSize(const BIGNUM* bn) {
  const size_t n = DerIntegerContentSize(bn);
  return 1 + DerLengthSize(n) + n;
}

// RSAPrivateKey ::= SEQUENCE { version 0, n, e, d, p, q, d mod (p-1),
// d mod (q-1), q^-1 mod p }; 0 when a component is too big to be a key.
size_t RsaPrivateKeyDerSize(BigNum (&parts)[8]) {
  size_t body = 3;  // version
  for (const BigNum& part : parts) {
    if (BN_num_bytes(part.get()) > 0x2000) return 0;
    body += DerIntegerSize(part.get());
  }
  return 1 + DerLengthSize(body) + body;
}

void WriteRsaPrivateKeyDer(BigNum (&parts)[8], unsigned char* out) {
  size_t body = 3;
  for (const BigNum& part : parts) body += DerIntegerSize(part.get());
  out = PutDerHeader(out, 0x30, body);
  *out++ = 0x02;
  *out++ = 0x01;
  *out++ = 0x00;
  for (const BigNum& part : parts) {
    const size_t content = DerIntegerContentSize(part.get());
    out = PutDerHeader(out, 0x02, content);
    const size_t magnitude = static_cast<size_t>(BN_num_bytes(part.get()));
    *out = 0;  // the leading 0, or the zero
    (void)BN_bn2bin(part.get(), out + (content - magnitude));
    out += content;
  }
}

// The private key from its eight components, in key list order.
PKey RsaPrivateKeyFromParts(BigNum (&parts)[8], KeyLoad* status) {
  if (status) *status = KeyLoad::BuildFailed;
  // The primes must multiply to the modulus; otherwise the private-key
  // operation would silently fall back to other components.
  {
    BigNum product(BN_new());
    std::unique_ptr<BN_CTX, decltype(&BN_CTX_free)> bnCtx(BN_CTX_secure_new(), &BN_CTX_free);
    if (!product || !bnCtx || BN_mul(product.get(), parts[3].get(), parts[4].get(), bnCtx.get()) != 1 ||
        BN_cmp(product.get(), parts[0].get()) != 0 || BN_is_zero(parts[0].get()))
      return nullptr;
  }
  // The key is decoded from its DER form: OpenSSL's decoder keeps the
  // private numbers on the secure heap, where building it from parameters
  // would copy them into ordinary numbers. The DER text itself is built on
  // the secure heap too.
  SecureHeapBytes der(RsaPrivateKeyDerSize(parts));
  if (der.size() == 0) return nullptr;
  WriteRsaPrivateKeyDer(parts, der.data());
  const unsigned char* next = der.data();
  PKey key(d2i_PrivateKey_ex(EVP_PKEY_RSA, nullptr, &next, static_cast<long>(der.size()), nullptr, nullptr));
  if (!key || next != der.data() + der.size()) return nullptr;
  if (status) *status = KeyLoad::Ok;
  return key;
}

}  // namespace

PKey ReadRsaPrivateKey(InFile& file, KeyLoad* status) {
  BigNum parts[8];
  for (BigNum& part : parts) {
    if (!ReadKeyComponent(file, part)) {
      if (status) *status = KeyLoad::ReadFailed;
      return nullptr;
    }
  }
  return RsaPrivateKeyFromParts(parts, status);
}

PKey RsaPrivateKeyFromLines(const KeyLines& lines, size_t first, KeyLoad* status) {
  if (first > lines.size() || lines.size() - first < 8) {
    if (status) *status = KeyLoad::ReadFailed;
    return nullptr;
  }
  BigNum parts[8];
  for (size_t i = 0; i < 8; ++i) {
    parts[i] = KeyComponentFromLine(lines[first + i]);
    if (!parts[i]) {
      if (status) *status = KeyLoad::BuildFailed;
      return nullptr;
    }
  }
  return RsaPrivateKeyFromParts(parts, status);
}

PKey LoadRsaPrivateKey(const std::string& keyFilePath, KeyLoad* status) {
  InFile file;
  if (!file.Open(keyFilePath, true)) {
    if (status) *status = KeyLoad::OpenFailed;
    return nullptr;
  }
  return ReadRsaPrivateKey(file, status);
}

PKey RsaPublicKeyFromComponents(const BIGNUM* n, const BIGNUM* e) {
  std::unique_ptr<OSSL_PARAM_BLD, ParamBldFree> bld(OSSL_PARAM_BLD_new());
  if (!bld || OSSL_PARAM_BLD_push_BN(bld.get(), OSSL_PKEY_PARAM_RSA_N, n) != 1 ||
      OSSL_PARAM_BLD_push_BN(bld.get(), OSSL_PKEY_PARAM_RSA_E, e) != 1)
    return nullptr;
  std::unique_ptr<OSSL_PARAM, ParamsFree> params(OSSL_PARAM_BLD_to_param(bld.get()));
  PKeyCtx ctx(EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr));
  EVP_PKEY* raw = nullptr;
  if (!params || !ctx || EVP_PKEY_fromdata_init(ctx.get()) != 1 ||
      EVP_PKEY_fromdata(ctx.get(), &raw, EVP_PKEY_PUBLIC_KEY, params.get()) != 1)
    return nullptr;
  return PKey(raw);
}

bool SignDigest(EVP_PKEY* key, const uint8_t* digest, uint8_t* signature256) {
  if (key == nullptr) return false;
  PKeyCtx ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, key, nullptr));
  if (!ctx || EVP_PKEY_sign_init(ctx.get()) != 1 ||
      EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING) != 1 ||
      EVP_PKEY_CTX_set_signature_md(ctx.get(), EVP_sha256()) != 1)
    return false;
  size_t len = 0;
  if (EVP_PKEY_sign(ctx.get(), nullptr, &len, digest, 32) != 1 || len == 0) return false;
  std::vector<uint8_t> sig(len);
  if (EVP_PKEY_sign(ctx.get(), sig.data(), &len, digest, 32) != 1 || len != 256) return false;
  // A signature made from components that do not belong together would not
  // verify on the board: check it with the key's own public half.
  PKeyCtx vctx(EVP_PKEY_CTX_new_from_pkey(nullptr, key, nullptr));
  if (!vctx || EVP_PKEY_verify_init(vctx.get()) != 1 ||
      EVP_PKEY_CTX_set_rsa_padding(vctx.get(), RSA_PKCS1_PADDING) != 1 ||
      EVP_PKEY_CTX_set_signature_md(vctx.get(), EVP_sha256()) != 1 ||
      EVP_PKEY_verify(vctx.get(), sig.data(), len, digest, 32) != 1)
    return false;
  std::copy(sig.begin(), sig.end(), signature256);
  return true;
}

bool StoreKeyComponent256(uint8_t* field256, const BIGNUM* value) {
  const int n = BN_num_bytes(value);
  if (n < 0 || n > 256) return false;
  return n == 0 || BN_bn2bin(value, field256 + (256 - n)) == n;
}

bool Sha256Stream::Begin() {
  md_.reset(EVP_MD_CTX_new());
  return md_ && EVP_DigestInit_ex(md_.get(), EVP_sha256(), nullptr) == 1;
}

bool Sha256Stream::Update(const uint8_t* data, size_t n) {
  return md_ && EVP_DigestUpdate(md_.get(), data, n) == 1;
}

bool Sha256Stream::Final(uint8_t* digest32) {
  if (!md_) return false;
  unsigned int len = 0;
  const bool ok = EVP_DigestFinal_ex(md_.get(), digest32, &len) == 1 && len == 32;
  md_.reset();
  return ok;
}

bool HashFileSha256(InFile& file, uint8_t* digest32) {
  if (!file.IsOpen()) return false;
  Sha256Stream hash;
  bool ok = hash.Begin();
  if (ok) {
    StreamStages stages;
    ReadFrom(file, stages);
    stages.compute = [&hash](const uint8_t* data, size_t n) { return hash.Update(data, n); };
    const uint64_t size = file.Size();
    const uint64_t at = file.Tell();
    ok = at <= size && StreamThrough(size - at, stages) == StreamStatus::Ok;
  }
  file.Close();
  return hash.Final(digest32) && ok;
}

bool Sha256(const uint8_t* data, size_t n, uint8_t* digest32) {
  unsigned int len = 0;
  return EVP_Digest(data, n, digest32, &len, EVP_sha256(), nullptr) == 1 && len == 32;
}

}  // namespace tarnel
