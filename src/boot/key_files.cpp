#include "boot/key_files.h"

#include <openssl/bio.h>
#include <openssl/core_names.h>
#include <openssl/decoder.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <algorithm>
#include <cstring>

#include "common/files.h"
#include "common/platform.h"
#include "common/secure.h"
#include "signing/signer.h"

namespace tarnel {

namespace {

struct DecoderCtxFree {
  void operator()(OSSL_DECODER_CTX* c) const { OSSL_DECODER_CTX_free(c); }
};
using DecoderCtx = std::unique_ptr<OSSL_DECODER_CTX, DecoderCtxFree>;

struct PKeyCtxFree {
  void operator()(EVP_PKEY_CTX* c) const { EVP_PKEY_CTX_free(c); }
};
using PKeyCtx = std::unique_ptr<EVP_PKEY_CTX, PKeyCtxFree>;

struct BioFree {
  void operator()(BIO* b) const { BIO_free(b); }
};
using Bio = std::unique_ptr<BIO, BioFree>;

// Key list positions (0-based) of each role's first line.
constexpr size_t kExternalFirst = 0;
constexpr size_t kRootFirst = 10;
constexpr size_t kPublicCopyFirst = 8;

std::string Hex(const uint8_t* bytes, size_t n) {
  static const char kHex[] = "0123456789abcdef";
  std::string out;
  for (size_t i = 0; i < n; ++i) {
    out += kHex[bytes[i] >> 4];
    out += kHex[bytes[i] & 15];
  }
  return out;
}

// What the passphrase callback was asked and whether it answered.
struct PassphraseState {
  const PassphraseSource* source = nullptr;
  const std::string* path = nullptr;
  bool asked = false;
};

int PassphraseCallback(char* pass, size_t passSize, size_t* passLen, const OSSL_PARAM[], void* arg) {
  auto* state = static_cast<PassphraseState*>(arg);
  state->asked = true;
  if (state->source == nullptr || !*state->source) return 0;
  std::optional<std::string> given = (*state->source)(*state->path);
  if (!given || given->size() > passSize) {
    if (given) Cleanse(*given);
    return 0;
  }
  std::memcpy(pass, given->data(), given->size());
  *passLen = given->size();
  Cleanse(*given);
  return 1;
}

// Decodes a key of `selection` from PEM or DER, whatever the structure.
PKey Decode(const SecureBytes& bytes, int selection, PassphraseState* passphrase) {
  EVP_PKEY* raw = nullptr;
  DecoderCtx ctx(OSSL_DECODER_CTX_new_for_pkey(&raw, nullptr, nullptr, nullptr, selection, nullptr, nullptr));
  if (!ctx) return nullptr;
  if (passphrase != nullptr && OSSL_DECODER_CTX_set_passphrase_cb(ctx.get(), PassphraseCallback, passphrase) != 1)
    return nullptr;
  const unsigned char* data = bytes.data();
  size_t length = bytes.size();
  if (OSSL_DECODER_from_data(ctx.get(), &data, &length) != 1) {
    EVP_PKEY_free(raw);
    return nullptr;
  }
  return PKey(raw);
}

bool HasParam(const EVP_PKEY* key, const char* name) {
  BIGNUM* raw = nullptr;
  if (EVP_PKEY_get_bn_param(key, name, &raw) != 1) return false;
  BN_clear_free(raw);
  return true;
}

// A key the eight key list lines can carry and that signs: two primes with
// their CRT components, consistent, and a signature that verifies.
bool UsableRsaKey(EVP_PKEY* key) {
  for (const char* name : {OSSL_PKEY_PARAM_RSA_D, OSSL_PKEY_PARAM_RSA_FACTOR1, OSSL_PKEY_PARAM_RSA_FACTOR2,
                           OSSL_PKEY_PARAM_RSA_EXPONENT1, OSSL_PKEY_PARAM_RSA_EXPONENT2,
                           OSSL_PKEY_PARAM_RSA_COEFFICIENT1})
    if (!HasParam(key, name)) return false;
  if (HasParam(key, OSSL_PKEY_PARAM_RSA_FACTOR3)) return false;
  PKeyCtx ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, key, nullptr));
  if (!ctx || EVP_PKEY_pairwise_check(ctx.get()) != 1) return false;
  uint8_t digest[32] = {};
  uint8_t signature[256];
  return SignDigest(key, digest, signature);
}

KeyListRoleCheck CheckRole(const KeyLines& lines, KeyRole role) {
  const size_t first = role == KeyRole::Root ? kRootFirst : kExternalFirst;
  KeyListRoleCheck check;
  const BigNum n = KeyComponentFromLine(lines[first]);
  const BigNum e = KeyComponentFromLine(lines[first + 1]);
  if (n && e && !BN_is_zero(n.get()) && !BN_is_zero(e.get())) {
    check.publicKey = RsaPublicKeyFromComponents(n.get(), e.get());
    check.bits = BN_num_bits(n.get());
  }
  if (check.publicKey) {
    check.publicSha256 = PublicKeySha256(check.publicKey.get());
    std::string modulus(static_cast<size_t>(BN_num_bytes(n.get())), '\0');
    BN_bn2bin(n.get(), reinterpret_cast<unsigned char*>(modulus.data()));
    check.modulusSha256 = ModulusFingerprint(modulus);
  }
  check.placeholderLines = PlaceholderKeyLines(lines, role);
  if (check.placeholderLines.size() == 6) {
    check.privateLines = KeyListRoleCheck::Private::Placeholders;
  } else if (!check.placeholderLines.empty()) {
    check.privateLines = KeyListRoleCheck::Private::Mixed;
  } else {
    PKey key = RsaPrivateKeyFromLines(lines, first);
    PKeyCtx ctx(key ? EVP_PKEY_CTX_new_from_pkey(nullptr, key.get(), nullptr) : nullptr);
    uint8_t digest[32] = {};
    uint8_t signature[256];
    const bool works = ctx && EVP_PKEY_pairwise_check(ctx.get()) == 1 && SignDigest(key.get(), digest, signature);
    check.privateLines = works ? KeyListRoleCheck::Private::Present : KeyListRoleCheck::Private::Mismatch;
  }
  return check;
}

bool RoleSound(const KeyListRoleCheck& role) {
  return role.publicKey && role.bits == kBoardRsaBits &&
         (role.privateLines == KeyListRoleCheck::Private::Present ||
          role.privateLines == KeyListRoleCheck::Private::Placeholders);
}

}  // namespace

KeyFileRead ReadRsaKeyFile(const std::string& path, const PassphraseSource& passphrase) {
  KeyFileRead result;
  InFile file;
  if (!file.Open(path)) {
    result.status = KeyFileStatus::Unreadable;
    result.why = WhyUnreadable(path);
    if (result.why.empty()) result.why = "cannot be opened";
    return result;
  }
  const uint64_t size = file.Size();
  if (size > kMaxKeyFileBytes) {
    result.status = KeyFileStatus::TooLarge;
    return result;
  }
  SecureBytes bytes(static_cast<size_t>(size));
  if (!file.ReadExact(bytes.data(), bytes.size())) {
    result.status = KeyFileStatus::Unreadable;
    result.why = "read error";
    return result;
  }
  PassphraseState state{&passphrase, &path, false};
  PKey key = Decode(bytes, OSSL_KEYMGMT_SELECT_KEYPAIR, &state);
  if (!key) {
    if (state.asked) {
      result.status = KeyFileStatus::Undecryptable;
    } else if (Decode(bytes, OSSL_KEYMGMT_SELECT_PUBLIC_KEY, nullptr)) {
      result.status = KeyFileStatus::PublicOnly;
    } else {
      result.status = KeyFileStatus::NotAKey;
    }
    return result;
  }
  if (!EVP_PKEY_is_a(key.get(), "RSA")) {
    result.status = KeyFileStatus::NotRsa;
    const char* name = EVP_PKEY_get0_type_name(key.get());
    result.type = name != nullptr ? name : "unknown";
    return result;
  }
  result.bits = EVP_PKEY_get_bits(key.get());
  if (result.bits != kBoardRsaBits) {
    result.status = KeyFileStatus::WrongSize;
    return result;
  }
  if (!UsableRsaKey(key.get())) {
    result.status = KeyFileStatus::Unusable;
    return result;
  }
  result.status = KeyFileStatus::Ok;
  result.key = std::move(key);
  return result;
}

std::string PublicKeyPem(EVP_PKEY* key) {
  Bio bio(BIO_new(BIO_s_mem()));
  if (!bio || key == nullptr || PEM_write_bio_PUBKEY(bio.get(), key) != 1) return {};
  char* data = nullptr;
  const long n = BIO_get_mem_data(bio.get(), &data);
  return n > 0 ? std::string(data, static_cast<size_t>(n)) : std::string();
}

std::string PublicKeySha256(EVP_PKEY* key) {
  if (key == nullptr) return {};
  unsigned char* der = nullptr;
  const int n = i2d_PUBKEY(key, &der);
  if (n <= 0) return {};
  uint8_t digest[32];
  const bool ok = Sha256(der, static_cast<size_t>(n), digest);
  OPENSSL_free(der);
  return ok ? Hex(digest, sizeof digest) : std::string();
}

KeyListCheck CheckKeyListLines(const KeyLines& lines) {
  KeyListCheck check;
  if (lines.size() < 23) return check;
  check.external = CheckRole(lines, KeyRole::External);
  check.root = CheckRole(lines, KeyRole::Root);
  const BigNum n = KeyComponentFromLine(lines[0]), e = KeyComponentFromLine(lines[1]);
  const BigNum copyN = KeyComponentFromLine(lines[kPublicCopyFirst]);
  const BigNum copyE = KeyComponentFromLine(lines[kPublicCopyFirst + 1]);
  check.publicCopyMatches = n && e && copyN && copyE && !BN_is_zero(n.get()) && BN_cmp(n.get(), copyN.get()) == 0 &&
                            BN_cmp(e.get(), copyE.get()) == 0;
  std::array<uint8_t, 16> key{};
  for (size_t i = 20; i < 23; ++i)
    if (!ParseKey128Hex(lines[i], key)) check.bad128Lines.push_back(i + 1);
  OPENSSL_cleanse(key.data(), key.size());
  return check;
}

bool KeyListCheck::Sound() const {
  return RoleSound(external) && RoleSound(root) && publicCopyMatches && bad128Lines.empty();
}

bool ParseKey128Hex(std::string_view text, std::array<uint8_t, 16>& key) {
  if (text.size() != 32) return false;
  const auto nibble = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  };
  for (size_t i = 0; i < 16; ++i) {
    const int hi = nibble(text[2 * i]), lo = nibble(text[2 * i + 1]);
    if (hi < 0 || lo < 0) return false;
    key[i] = static_cast<uint8_t>((hi << 4) | lo);
  }
  return true;
}

}  // namespace tarnel
