#include "signing/signer.h"

#include <openssl/bio.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "common/files.h"
#include "common/platform.h"
#include "common/secure.h"
#include "common/text.h"
#include "signing/signer_backends.h"
#include "signing/messages.h"

namespace tarnel {

namespace {

// Key list positions (0-based) of the first line of each role's key.
constexpr size_t kExternalFirstLine = 0;
constexpr size_t kRootFirstLine = 10;

struct PKeyCtxFree {
  void operator()(EVP_PKEY_CTX* c) const { EVP_PKEY_CTX_free(c); }
};
using PKeyCtx = std::unique_ptr<EVP_PKEY_CTX, PKeyCtxFree>;

bool VerifyDigest(EVP_PKEY* key, const uint8_t* digest32, const uint8_t* signature256) {
  PKeyCtx ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, key, nullptr));
  return ctx && EVP_PKEY_verify_init(ctx.get()) == 1 &&
         EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING) == 1 &&
         EVP_PKEY_CTX_set_signature_md(ctx.get(), EVP_sha256()) == 1 &&
         EVP_PKEY_verify(ctx.get(), signature256, kRsaSignatureBytes, digest32, 32) == 1;
}

std::string BnBytes(const BIGNUM* bn) {
  std::string out(static_cast<size_t>(BN_num_bytes(bn)), '\0');
  if (!out.empty()) BN_bn2bin(bn, reinterpret_cast<unsigned char*>(out.data()));
  return out;
}

// The private components of the loaded key list.
class KeyListSigner final : public Signer {
 public:
  explicit KeyListSigner(const KeyLines& lines) : Signer(lines) {}
  std::string Describe() const override { return "the key list"; }

 protected:
  bool CheckKeyLocked(KeyRole role, SignError& error) override { return PrivateKey(role, error) != nullptr; }
  bool SignLocked(KeyRole role, const uint8_t* digest32, uint8_t* signature256, SignError& error) override {
    EVP_PKEY* key = PrivateKey(role, error);
    if (key == nullptr) return false;
    if (!SignDigest(key, digest32, signature256)) {
      error.fault = SignFault::KeyUnusable;  // wrong size, or components that do not belong together
      return false;
    }
    return true;
  }

 private:
  EVP_PKEY* PrivateKey(KeyRole role, SignError& error) {
    PKey& key = keys_[role == KeyRole::Root ? 1 : 0];
    if (!key) {
      KeyLoad status = KeyLoad::Ok;
      key = RsaPrivateKeyFromLines(lines_, role == KeyRole::Root ? kRootFirstLine : kExternalFirstLine, &status);
      if (!key) {
        error.fault = status == KeyLoad::ReadFailed ? SignFault::KeyLinesMissing : SignFault::KeyUnusable;
        error.placeholderLines = LineRanges(PlaceholderKeyLines(lines_, role));
        return nullptr;
      }
    }
    return key.get();
  }

  PKey keys_[2];
};

// A signing helper run once per signature, without a shell.
class ExecSigner final : public Signer {
 public:
  ExecSigner(std::string program, const KeyLines& lines, std::string tempDir, int timeoutSeconds)
      : Signer(lines), program_(std::move(program)), tempDir_(std::move(tempDir)), timeout_(timeoutSeconds) {}
  std::string Describe() const override { return "the signing helper " + program_; }

 protected:
  bool CheckKeyLocked(KeyRole role, SignError& error) override { return PublicKey(role, error) != nullptr; }
  bool SignLocked(KeyRole role, const uint8_t* digest32, uint8_t* signature256, SignError& error) override {
    std::string pemPath;
    if (!PublicKeyFile(role, pemPath, error)) return false;
    std::vector<uint8_t> answer;
    int status = -1;
    const HelperRun run = RunWithInput({program_, RoleName(role), pemPath}, digest32, 32, kRsaSignatureBytes,
                                       timeout_ * 1000, answer, status);
    error.fault = SignFault::BackEnd;
    switch (run) {
      case HelperRun::StartFailed:
        error.message = Format(kMsgHelperStart, program_.c_str(), RoleName(role));
        return false;
      case HelperRun::TimedOut:
        error.message = Format(kMsgHelperTimeout, program_.c_str(), RoleName(role), timeout_);
        return false;
      case HelperRun::Signalled:
        error.message = Format(kMsgHelperExit, program_.c_str(), RoleName(role), -1);
        return false;
      case HelperRun::Exited:
        break;
    }
    if (status != 0) {
      error.message = Format(kMsgHelperExit, program_.c_str(), RoleName(role), status);
      return false;
    }
    if (answer.size() != kRsaSignatureBytes) {
      // Only one byte more than a signature is ever collected.
      const std::string count =
          answer.size() > kRsaSignatureBytes ? std::string("more than 256") : std::to_string(answer.size());
      error.message = Format(kMsgHelperLength, program_.c_str(), count.c_str(), RoleName(role));
      return false;
    }
    std::copy(answer.begin(), answer.end(), signature256);
    error.fault = SignFault::None;
    return true;
  }

 private:
  // The role's public key as PEM in Temp, written once per run.
  bool PublicKeyFile(KeyRole role, std::string& path, SignError& error) {
    EVP_PKEY* key = PublicKey(role, error);
    if (key == nullptr) return false;
    path = tempDir_ + kHelperPublicKeyFiles[role == KeyRole::Root ? 1 : 0];
    bool& written = written_[role == KeyRole::Root ? 1 : 0];
    if (written) return true;
    std::string pem;
    BIO* bio = BIO_new(BIO_s_mem());
    if (bio != nullptr && PEM_write_bio_PUBKEY(bio, key) == 1) {
      char* data = nullptr;
      const long n = BIO_get_mem_data(bio, &data);
      if (n > 0) pem.assign(data, static_cast<size_t>(n));
    }
    BIO_free(bio);
    OutFile out;
    if (pem.empty() || !out.Create(path) || !out.Write(pem.data(), pem.size()) || !out.Commit()) {
      error.fault = SignFault::BackEnd;
      error.message = Format(kMsgHelperPublicKey, RoleName(role), path.c_str());
      return false;
    }
    written = true;
    return true;
  }

  std::string program_;
  std::string tempDir_;
  int timeout_;
  bool written_[2] = {false, false};
};

bool StartsWith(const std::string& text, const char* prefix) { return text.rfind(prefix, 0) == 0; }

int HelperTimeoutSeconds() {
  const char* env = std::getenv(kHelperTimeoutEnv);
  if (env == nullptr) return kDefaultHelperTimeoutSeconds;
  const long long value = LeadingInteger(env);
  return value > 0 && value <= 86400 ? static_cast<int>(value) : kDefaultHelperTimeoutSeconds;
}

}  // namespace

const char* RoleName(KeyRole role) { return role == KeyRole::Root ? "root" : "external"; }

bool Signer::Open(SignError&) { return true; }

EVP_PKEY* Signer::PublicKey(KeyRole role, SignError& error) {
  PKey& key = publicKeys_[role == KeyRole::Root ? 1 : 0];
  if (key) return key.get();
  const size_t first = role == KeyRole::Root ? kRootFirstLine : kExternalFirstLine;
  if (lines_.size() < first + 2) {
    error.fault = SignFault::KeyLinesMissing;
    return nullptr;
  }
  BigNum n = KeyComponentFromLine(lines_[first]);
  BigNum e = KeyComponentFromLine(lines_[first + 1]);
  if (n && e && !BN_is_zero(n.get()) && !BN_is_zero(e.get())) key = RsaPublicKeyFromComponents(n.get(), e.get());
  if (!key) {
    error.fault = SignFault::KeyUnusable;
    error.message = Format(kMsgPublicKeyLines, RoleName(role));
  }
  return key.get();
}

bool Signer::PublicComponents(KeyRole role, std::string& n, std::string& e, SignError& error) {
  EVP_PKEY* key = PublicKey(role, error);
  if (key == nullptr) return false;
  BIGNUM* rawN = nullptr;
  BIGNUM* rawE = nullptr;
  const bool ok = EVP_PKEY_get_bn_param(key, "n", &rawN) == 1 && EVP_PKEY_get_bn_param(key, "e", &rawE) == 1;
  BigNum bnN(rawN), bnE(rawE);
  if (!ok) {
    error.fault = SignFault::KeyUnusable;
    error.message = Format(kMsgPublicKeyLines, RoleName(role));
    return false;
  }
  n = BnBytes(bnN.get());
  e = BnBytes(bnE.get());
  return true;
}

bool Signer::SignForPublicKeyLocked(const std::string&, const std::string&, bool, const uint8_t*,
                                    std::vector<uint8_t>&, SignError& error) {
  error.fault = SignFault::BackEnd;
  error.message = Format(kMsgSignerKeyListOnly, Describe().c_str());
  return false;
}

bool Signer::SignForPublicKey(EVP_PKEY* publicKey, bool sha256, const uint8_t* digest, std::vector<uint8_t>& signature,
                              SignError& error) {
  std::lock_guard<std::mutex> lock(mutex_);
  error = {};
  BIGNUM* rawN = nullptr;
  BIGNUM* rawE = nullptr;
  const bool rsa = EVP_PKEY_get_base_id(publicKey) == EVP_PKEY_RSA &&
                   EVP_PKEY_get_bn_param(publicKey, "n", &rawN) == 1 && EVP_PKEY_get_bn_param(publicKey, "e", &rawE) == 1;
  BigNum n(rawN), e(rawE);
  if (!rsa) {
    error.fault = SignFault::KeyUnusable;
    return false;
  }
  if (!SignForPublicKeyLocked(BnBytes(n.get()), BnBytes(e.get()), sha256, digest, signature, error)) {
    if (error.fault == SignFault::None) error.fault = SignFault::BackEnd;
    return false;
  }
  const size_t digestLength = sha256 ? 32 : 20;
  PKeyCtx ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, publicKey, nullptr));
  const bool verified = ctx && EVP_PKEY_verify_init(ctx.get()) == 1 &&
                        EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING) == 1 &&
                        EVP_PKEY_CTX_set_signature_md(ctx.get(), sha256 ? EVP_sha256() : EVP_sha1()) == 1 &&
                        signature.size() == static_cast<size_t>(EVP_PKEY_get_size(publicKey)) &&
                        EVP_PKEY_verify(ctx.get(), signature.data(), signature.size(), digest, digestLength) == 1;
  if (!verified) {
    error.fault = SignFault::BackEnd;
    error.message = Format(kMsgArchiveSignatureMismatch, Describe().c_str());
    return false;
  }
  return true;
}

bool Signer::CheckKey(KeyRole role, SignError& error) {
  std::lock_guard<std::mutex> lock(mutex_);
  error = {};
  return CheckKeyLocked(role, error);
}

bool Signer::Sign(KeyRole role, const uint8_t* digest32, uint8_t* signature256, SignError& error) {
  std::lock_guard<std::mutex> lock(mutex_);
  error = {};
  uint8_t signature[kRsaSignatureBytes];
  if (!SignLocked(role, digest32, signature, error)) {
    if (error.fault == SignFault::None) error.fault = SignFault::BackEnd;
    return false;
  }
  // Nothing leaves the signer unchecked: a helper or token that signs with
  // another key, or answers garbage, is caught here.
  EVP_PKEY* publicKey = PublicKey(role, error);
  if (publicKey == nullptr) return false;
  if (!VerifyDigest(publicKey, digest32, signature)) {
    error.fault = SignFault::BackEnd;
    error.message = Format(kMsgSignatureMismatch, Describe().c_str(), RoleName(role), RoleName(role));
    return false;
  }
  std::copy(signature, signature + kRsaSignatureBytes, signature256);
  return true;
}

std::string NormalizeSignerText(const std::string& signerText) {
  if (EqualsNoCase(signerText, kSignerKeyList)) return kSignerKeyList;
  for (const char* scheme : {kSignerPkcs11Scheme, kSignerExecScheme}) {
    if (StartsWithNoCase(signerText, scheme)) return scheme + signerText.substr(std::strlen(scheme));
  }
  return signerText;
}

std::string SignerTextForMessages(const std::string& signerText) {
  const size_t colon = signerText.find(':');
  return colon == std::string::npos ? signerText : signerText.substr(0, colon + 1);
}

bool SignerCarriesPinValue(const std::string& signerText) {
  const std::string text = NormalizeSignerText(signerText);
  return StartsWith(text, kSignerPkcs11Scheme) && Pkcs11UriCarriesPinValue(text);
}

bool IsSignerSpec(const std::string& signerText) {
  const std::string text = NormalizeSignerText(signerText);
  return text.empty() || text == kSignerKeyList || (StartsWith(text, kSignerPkcs11Scheme)) ||
         (StartsWith(text, kSignerExecScheme) && text.size() > std::string(kSignerExecScheme).size());
}

std::unique_ptr<Signer> MakeSigner(const std::string& signerText, const KeyLines& lines, const std::string& tempDir,
                                   PinSource pinSource, std::string& error) {
  const std::string text = NormalizeSignerText(signerText);
  if (text.empty() || text == kSignerKeyList) return std::make_unique<KeyListSigner>(lines);
  if (StartsWith(text, kSignerPkcs11Scheme)) return MakePkcs11Signer(text, lines, std::move(pinSource));
  if (StartsWith(text, kSignerExecScheme) && text.size() > std::string(kSignerExecScheme).size()) {
    // A relative program would be looked up from whatever folder the run
    // happens to start in.
    const std::string program = text.substr(std::string(kSignerExecScheme).size());
    if (program[0] != '/') {
      error = Format(kMsgHelperNotAbsolute, program.c_str());
      return nullptr;
    }
    return std::make_unique<ExecSigner>(program, lines, tempDir, HelperTimeoutSeconds());
  }
  error = Format(kMsgSignerUnknown, SignerTextForMessages(text).c_str());
  return nullptr;
}

bool SignerUsesKeyList(const std::string& signerText) {
  const std::string text = NormalizeSignerText(signerText);
  return text.empty() || text == kSignerKeyList;
}

void WipePrivateKeyLines(KeyLines& lines) {
  for (const size_t first : {kExternalFirstLine, kRootFirstLine})
    for (size_t i = first + 2; i < first + 8 && i < lines.size(); ++i) lines.Wipe(i);
}

bool IsPlaceholderKeyLine(std::string_view line) {
  const BigNum value = KeyComponentFromLine(line);
  return value && BN_is_zero(value.get());
}

std::vector<size_t> PlaceholderKeyLines(const KeyLines& lines, KeyRole role) {
  const size_t first = role == KeyRole::Root ? kRootFirstLine : kExternalFirstLine;
  std::vector<size_t> numbers;
  for (size_t i = first + 2; i < first + 8 && i < lines.size(); ++i)
    if (IsPlaceholderKeyLine(lines[i])) numbers.push_back(i + 1);
  return numbers;
}

std::string LineRanges(const std::vector<size_t>& numbers) {
  std::string out;
  for (size_t i = 0; i < numbers.size();) {
    size_t j = i;
    while (j + 1 < numbers.size() && numbers[j + 1] == numbers[j] + 1) ++j;
    if (!out.empty()) out += ", ";
    out += std::to_string(numbers[i]);
    if (j > i) out += "-" + std::to_string(numbers[j]);
    i = j + 1;
  }
  return out;
}

std::string ModulusFingerprint(const std::string& modulusBytes) {
  uint8_t digest[32];
  if (!Sha256(reinterpret_cast<const uint8_t*>(modulusBytes.data()), modulusBytes.size(), digest)) return "?";
  static const char kHex[] = "0123456789abcdef";
  std::string out;
  for (uint8_t b : digest) {
    out += kHex[b >> 4];
    out += kHex[b & 15];
  }
  return out;
}

}  // namespace tarnel
