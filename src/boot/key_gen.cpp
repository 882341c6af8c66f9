#include "boot/key_gen.h"

#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

#include "common/files.h"
#include "common/platform.h"
#include "common/secure.h"
#include <cstring>
#include "signing/crypto.h"

namespace tarnel {

namespace {

std::string HexLine(const BIGNUM* bn) {
  char* hex = BN_bn2hex(bn);
  if (hex == nullptr) return {};
  std::string line = std::string("0x") + hex + "\n";
  OPENSSL_clear_free(hex, std::strlen(hex));
  return line;
}

bool AppendRsaKey(std::string& text, int bits, bool privateLines) {
  PKey key(EVP_PKEY_Q_keygen(nullptr, nullptr, "RSA", static_cast<size_t>(bits)));
  if (!key) return false;
  static const char* const kPrivate[8] = {
      OSSL_PKEY_PARAM_RSA_N,         OSSL_PKEY_PARAM_RSA_E,         OSSL_PKEY_PARAM_RSA_D,
      OSSL_PKEY_PARAM_RSA_FACTOR1,   OSSL_PKEY_PARAM_RSA_FACTOR2,   OSSL_PKEY_PARAM_RSA_EXPONENT1,
      OSSL_PKEY_PARAM_RSA_EXPONENT2, OSSL_PKEY_PARAM_RSA_COEFFICIENT1};
  const int count = privateLines ? 8 : 2;
  std::string lines;
  for (int i = 0; i < count; ++i) {
    BIGNUM* raw = nullptr;
    if (EVP_PKEY_get_bn_param(key.get(), kPrivate[i], &raw) != 1) return false;
    BigNum bn(raw);
    lines += HexLine(bn.get());
  }
  text += lines;
  Cleanse(lines);
  return true;
}

}  // namespace

bool GenerateKeyListText(std::string& text, int externalBits, int rootBits) {
  text.clear();
  // Lines 1-8 and 9-10 come from one key; generate it once and keep both views.
  PKey external(EVP_PKEY_Q_keygen(nullptr, nullptr, "RSA", static_cast<size_t>(externalBits)));
  if (!external) return false;
  static const char* const kNames[8] = {
      OSSL_PKEY_PARAM_RSA_N,         OSSL_PKEY_PARAM_RSA_E,         OSSL_PKEY_PARAM_RSA_D,
      OSSL_PKEY_PARAM_RSA_FACTOR1,   OSSL_PKEY_PARAM_RSA_FACTOR2,   OSSL_PKEY_PARAM_RSA_EXPONENT1,
      OSSL_PKEY_PARAM_RSA_EXPONENT2, OSSL_PKEY_PARAM_RSA_COEFFICIENT1};
  std::string publicLines;
  for (int i = 0; i < 8; ++i) {
    BIGNUM* raw = nullptr;
    if (EVP_PKEY_get_bn_param(external.get(), kNames[i], &raw) != 1) return false;
    BigNum bn(raw);
    const std::string line = HexLine(bn.get());
    text += line;
    if (i < 2) publicLines += line;
  }
  text += publicLines;
  if (!AppendRsaKey(text, rootBits, true)) return false;
  text += "Reserved line 19\n";
  text += "Reserved line 20\n";
  for (int i = 0; i < 3; ++i) {
    SecureBytes key(16);
    if (RAND_bytes(key.data(), 16) != 1) return false;
    static const char kHex[] = "0123456789ABCDEF";
    std::string line;
    for (size_t b = 0; b < 16; ++b) {
      line += kHex[key[b] >> 4];
      line += kHex[key[b] & 15];
    }
    text += line + "\n";
    Cleanse(line);
  }
  return true;
}

KeyListWrite WriteNewKeyList(const std::string& path, bool force) {
  if (!force && GetPathKind(path) != PathKind::Missing) return KeyListWrite::Exists;
  std::string text;
  if (!GenerateKeyListText(text)) return KeyListWrite::GenerateFailed;
  OutFile out;
  const bool ok = out.Create(path, /*ownerOnly=*/true) && out.Write(text.data(), text.size()) && out.Commit();
  Cleanse(text);
  return ok ? KeyListWrite::Ok : KeyListWrite::WriteFailed;
}

}  // namespace tarnel
