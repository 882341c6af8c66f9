#include "boot/key_gen.h"

#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

#include <cstring>

#include "common/files.h"
#include "common/platform.h"
#include "common/secure.h"
#include "signing/crypto.h"

namespace tarnel {

namespace {

// Room for every line of two 4096-bit keys: the text never grows in place,
// so no copy of a key is left behind in freed memory.
constexpr size_t kKeyListCapacity = 40960;

const char* const kComponentNames[8] = {
    OSSL_PKEY_PARAM_RSA_N,         OSSL_PKEY_PARAM_RSA_E,         OSSL_PKEY_PARAM_RSA_D,
    OSSL_PKEY_PARAM_RSA_FACTOR1,   OSSL_PKEY_PARAM_RSA_FACTOR2,   OSSL_PKEY_PARAM_RSA_EXPONENT1,
    OSSL_PKEY_PARAM_RSA_EXPONENT2, OSSL_PKEY_PARAM_RSA_COEFFICIENT1};

// Appends "0x" + the component in hexadecimal + a line feed.
bool AppendComponentLine(std::string& text, const EVP_PKEY* key, int index) {
  BIGNUM* raw = nullptr;
  if (EVP_PKEY_get_bn_param(key, kComponentNames[index], &raw) != 1) return false;
  BigNum bn(raw);
  char* hex = BN_bn2hex(bn.get());
  if (hex == nullptr) return false;
  const size_t n = std::strlen(hex);
  text += "0x";
  text.append(hex, n);
  text += '\n';
  OPENSSL_clear_free(hex, n);
  return true;
}

bool AppendRsaKey(std::string& text, const EVP_PKEY* key, int count) {
  for (int i = 0; i < count; ++i)
    if (!AppendComponentLine(text, key, i)) return false;
  return true;
}

void AppendKey128(std::string& text, const std::array<uint8_t, 16>& key) {
  static const char kHex[] = "0123456789ABCDEF";
  for (const uint8_t b : key) {
    text += kHex[b >> 4];
    text += kHex[b & 15];
  }
  text += '\n';
}

bool BuildKeyListText(std::string& text, const EVP_PKEY* external, const EVP_PKEY* root, const KeyListAesKeys& aes) {
  // Lines 1-8 and 9-10 come from the same external key.
  if (!AppendRsaKey(text, external, 8) || !AppendRsaKey(text, external, 2) || !AppendRsaKey(text, root, 8))
    return false;
  text += "Reserved line 19\n";
  text += "Reserved line 20\n";
  for (size_t i = aes.size(); i-- > 0;) AppendKey128(text, aes[i]);
  return true;
}

}  // namespace

bool RandomAesKeys(KeyListAesKeys& aes) {
  for (auto& key : aes)
    if (RAND_bytes(key.data(), static_cast<int>(key.size())) != 1) return false;
  return true;
}

bool KeyListTextFromKeys(const EVP_PKEY* external, const EVP_PKEY* root, const KeyListAesKeys& aes,
                         std::string& text) {
  Cleanse(text);
  text.reserve(kKeyListCapacity);
  if (external == nullptr || root == nullptr || !BuildKeyListText(text, external, root, aes)) {
    Cleanse(text);
    return false;
  }
  return true;
}

bool GenerateKeyListText(std::string& text, int externalBits, int rootBits) {
  PKey external(EVP_PKEY_Q_keygen(nullptr, nullptr, "RSA", static_cast<size_t>(externalBits)));
  PKey root(EVP_PKEY_Q_keygen(nullptr, nullptr, "RSA", static_cast<size_t>(rootBits)));
  struct WipedAes {
    KeyListAesKeys keys{};
    ~WipedAes() { OPENSSL_cleanse(keys.data(), sizeof keys); }
  } aes;
  if (!external || !root || !RandomAesKeys(aes.keys)) {
    Cleanse(text);
    return false;
  }
  return KeyListTextFromKeys(external.get(), root.get(), aes.keys, text);
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
