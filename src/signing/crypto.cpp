#include "signing/crypto.h"

#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/param_build.h>
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

BigNum KeyComponentFromLine(std::string line) {
  if (!line.empty() && line.back() == '\n') line.pop_back();
  if (!line.empty() && line.back() == '\r') line.pop_back();
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
  Cleanse(line);
  // Secure numbers: OpenSSL wipes them, and the key parameters built from them, when freed.
  BigNum bn(BN_secure_new());
  if (!bn || BN_bin2bn(bytes.data(), static_cast<int>(count), bn.get()) == nullptr) return nullptr;
  return bn;
}

bool ReadKeyComponent(InFile& file, BigNum& out) {
  std::string line;
  if (!file.ReadLine(line, kKeyLineMaxChars)) return false;
  out = KeyComponentFromLine(std::move(line));
  return out != nullptr;
}

namespace {

// The private key from its eight components, in key list order.
PKey RsaPrivateKeyFromParts(BigNum (&parts)[8], KeyLoad* status) {
  if (status) *status = KeyLoad::BuildFailed;
  // The primes must multiply to the modulus; otherwise the private-key
  // operation would silently fall back to other components.
  {
    BigNum product(BN_new());
    std::unique_ptr<BN_CTX, decltype(&BN_CTX_free)> bnCtx(BN_CTX_new(), &BN_CTX_free);
    if (!product || !bnCtx || BN_mul(product.get(), parts[3].get(), parts[4].get(), bnCtx.get()) != 1 ||
        BN_cmp(product.get(), parts[0].get()) != 0 || BN_is_zero(parts[0].get()))
      return nullptr;
  }
  std::unique_ptr<OSSL_PARAM_BLD, ParamBldFree> bld(OSSL_PARAM_BLD_new());
  if (!bld) return nullptr;
  static const char* const kNames[8] = {
      OSSL_PKEY_PARAM_RSA_N,         OSSL_PKEY_PARAM_RSA_E,         OSSL_PKEY_PARAM_RSA_D,
      OSSL_PKEY_PARAM_RSA_FACTOR1,   OSSL_PKEY_PARAM_RSA_FACTOR2,   OSSL_PKEY_PARAM_RSA_EXPONENT1,
      OSSL_PKEY_PARAM_RSA_EXPONENT2, OSSL_PKEY_PARAM_RSA_COEFFICIENT1};
  for (int i = 0; i < 8; ++i)
    if (OSSL_PARAM_BLD_push_BN(bld.get(), kNames[i], parts[i].get()) != 1) return nullptr;
  std::unique_ptr<OSSL_PARAM, ParamsFree> params(OSSL_PARAM_BLD_to_param(bld.get()));
  if (!params) return nullptr;
  PKeyCtx ctx(EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr));
  EVP_PKEY* raw = nullptr;
  if (!ctx || EVP_PKEY_fromdata_init(ctx.get()) != 1 ||
      EVP_PKEY_fromdata(ctx.get(), &raw, EVP_PKEY_KEYPAIR, params.get()) != 1)
    return nullptr;
  if (status) *status = KeyLoad::Ok;
  return PKey(raw);
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

PKey RsaPrivateKeyFromLines(const std::vector<std::string>& lines, size_t first, KeyLoad* status) {
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
