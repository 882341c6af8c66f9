// The PKCS#11 back end: p11-kit parses the RFC 7512 URI and loads the module
// its module-path names; the private keys never leave the token. One session
// per run, logged out and closed when the signer goes away.
#include <openssl/bn.h>
#include <openssl/rand.h>
#include <p11-kit/p11-kit.h>
#include <p11-kit/uri.h>

#include <array>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <vector>

#include "common/files.h"
#include "common/platform.h"
#include "common/secure.h"
#include "common/text.h"
#include "signing/signer_backends.h"
#include "signing/messages.h"

namespace tarnel {

namespace {

// DER DigestInfo prefix of a SHA-256 digest (RFC 8017, 9.2 note 1).
constexpr std::array<uint8_t, 19> kSha256DigestInfo = {0x30, 0x31, 0x30, 0x0d, 0x06, 0x09, 0x60, 0x86, 0x48, 0x01,
                                                       0x65, 0x03, 0x04, 0x02, 0x01, 0x05, 0x00, 0x04, 0x20};
// The same for SHA-1 (the upgrade archive's key, when its certificate asks for it).
constexpr std::array<uint8_t, 15> kSha1DigestInfo = {0x30, 0x21, 0x30, 0x09, 0x06, 0x05, 0x2b, 0x0e,
                                                     0x03, 0x02, 0x1a, 0x05, 0x00, 0x04, 0x14};
constexpr size_t kMaxPinFile = 1024;
constexpr CK_ULONG kMaxKeysSearched = 256;
constexpr CK_ULONG kTokenKeyBits = 2048;
// How often a wrong PIN typed by the person is asked for again.
constexpr int kMaxPinAsks = 5;

std::string StripLeadingZeros(std::string bytes) {
  size_t i = 0;
  while (i < bytes.size() && bytes[i] == '\0') ++i;
  return bytes.substr(i);
}

std::string PaddedText(const unsigned char* text, size_t n) {
  std::string s(reinterpret_cast<const char*>(text), n);
  return Trim(s);
}

struct UriFree {
  void operator()(P11KitUri* u) const { p11_kit_uri_free(u); }
};
using Uri = std::unique_ptr<P11KitUri, UriFree>;

Uri ParseUri(const std::string& text, std::string& error) {
  Uri uri(p11_kit_uri_new());
  if (!uri) {
    error = Format(kMsgPkcs11BadUri, "out of memory");
    return nullptr;
  }
  const int rc = p11_kit_uri_parse(text.c_str(), P11_KIT_URI_FOR_ANY, uri.get());
  if (rc != P11_KIT_URI_OK) {
    error = Format(kMsgPkcs11BadUri, p11_kit_uri_message(rc));
    return nullptr;
  }
  return uri;
}

// The modules loaded by the process, shared by every token opened through
// them (the run's signer and the archive key may sit in the same token): a
// module is initialised once, and finalised when the last token that uses it
// closes, since finalising ends every session and login of the process.
struct LoadedModule {
  CK_FUNCTION_LIST* functions = nullptr;
  int users = 0;
};
std::mutex gModulesMutex;
std::map<std::string, LoadedModule>& Modules() {
  static std::map<std::string, LoadedModule> modules;
  return modules;
}

CK_FUNCTION_LIST* AcquireModule(const std::string& path) {
  std::lock_guard<std::mutex> lock(gModulesMutex);
  LoadedModule& m = Modules()[path];
  if (m.users == 0) {
    m.functions = p11_kit_module_load(path.c_str(), P11_KIT_MODULE_UNMANAGED | P11_KIT_MODULE_CRITICAL);
    if (m.functions == nullptr) return nullptr;
    if (p11_kit_module_initialize(m.functions) != CKR_OK) {
      p11_kit_module_release(m.functions);
      m.functions = nullptr;
      return nullptr;
    }
  }
  ++m.users;
  return m.functions;
}

// True when no other token uses the module.
bool SoleModuleUser(const std::string& path) {
  std::lock_guard<std::mutex> lock(gModulesMutex);
  return Modules()[path].users <= 1;
}

void ReleaseModule(const std::string& path) {
  std::lock_guard<std::mutex> lock(gModulesMutex);
  LoadedModule& m = Modules()[path];
  if (--m.users > 0) return;
  (void)p11_kit_module_finalize(m.functions);
  p11_kit_module_release(m.functions);
  Modules().erase(path);
}

// A logged-in session on the token the URI names.
class Token {
 public:
  Token() = default;
  ~Token() { Close(); }
  Token(const Token&) = delete;
  Token& operator=(const Token&) = delete;

  bool Open(const std::string& uriText, bool readWrite, const PinSource& pinSource, std::string& error) {
    uri_ = ParseUri(uriText, error);
    if (!uri_) return false;
    const char* modulePath = p11_kit_uri_get_module_path(uri_.get());
    if (modulePath == nullptr || *modulePath == '\0') {
      error = kMsgPkcs11NoModulePath;
      return false;
    }
    if (modulePath[0] != '/') {
      // A relative module would be loaded from wherever the run starts.
      error = Format(kMsgPkcs11ModuleNotAbsolute, modulePath);
      return false;
    }
    modulePath_ = modulePath;
    module_ = AcquireModule(modulePath_);
    if (module_ == nullptr) {
      error = Format(kMsgPkcs11ModuleLoad, modulePath);
      return false;
    }
    CK_SLOT_ID slot = 0;
    CK_TOKEN_INFO info{};
    if (!FindSlot(slot, info)) {
      error = Format(kMsgPkcs11NoToken, modulePath);
      return false;
    }
    label_ = PaddedText(info.label, sizeof(info.label));
    slot_ = slot;
    CK_FLAGS flags = CKF_SERIAL_SESSION | (readWrite ? CKF_RW_SESSION : 0);
    CK_RV rv = module_->C_OpenSession(slot, flags, nullptr, nullptr, &session_);
    if (rv != CKR_OK) {
      error = Format(kMsgPkcs11Session, label_.c_str(), static_cast<unsigned long>(rv));
      return false;
    }
    sessionOpen_ = true;
    // Logged in already through another session of this process (the same
    // token for the run and the archive key): no PIN is asked again.
    CK_SESSION_INFO session{};
    if (module_->C_GetSessionInfo(session_, &session) == CKR_OK &&
        (session.state == CKS_RO_USER_FUNCTIONS || session.state == CKS_RW_USER_FUNCTIONS)) {
      loggedIn_ = true;
      return true;
    }
    if ((info.flags & CKF_USER_PIN_LOCKED) != 0) {
      error = Format(kMsgPkcs11Locked, label_.c_str());
      return false;
    }
    PinPrompt prompt;
    prompt.tokenLabel = label_;
    for (int asks = 1;; ++asks) {
      // The token's own count of wrong PINs, read afresh before every ask.
      CK_TOKEN_INFO now{};
      if (module_->C_GetTokenInfo(slot_, &now) == CKR_OK) info = now;
      if ((info.flags & CKF_USER_PIN_LOCKED) != 0) {
        error = Format(kMsgPkcs11Locked, label_.c_str());
        return false;
      }
      prompt.countLow = (info.flags & CKF_USER_PIN_COUNT_LOW) != 0;
      prompt.finalTry = (info.flags & CKF_USER_PIN_FINAL_TRY) != 0;
      std::string pin;
      bool asked = false;
      if (!GetPin(pinSource, prompt, pin, asked, error)) return false;
      rv = module_->C_Login(session_, CKU_USER, reinterpret_cast<CK_UTF8CHAR_PTR>(pin.data()), pin.size());
      Cleanse(pin);
      const bool wrong = rv == CKR_PIN_INCORRECT || rv == CKR_PIN_INVALID || rv == CKR_PIN_LEN_RANGE;
      if (!(wrong && asked && asks < kMaxPinAsks)) break;
      prompt.retry = true;
    }
    switch (rv) {
      case CKR_OK:
      case CKR_USER_ALREADY_LOGGED_IN:
        loggedIn_ = true;
        return true;
      case CKR_PIN_INCORRECT:
      case CKR_PIN_INVALID:
      case CKR_PIN_LEN_RANGE:
        error = Format(kMsgPkcs11WrongPin, label_.c_str());
        return false;
      case CKR_PIN_LOCKED:
        error = Format(kMsgPkcs11Locked, label_.c_str());
        return false;
      default:
        error = Format(kMsgPkcs11Session, label_.c_str(), static_cast<unsigned long>(rv));
        return false;
    }
  }

  void Close() {
    if (module_ != nullptr) {
      // A login belongs to the whole process: only the module's last user ends it.
      if (loggedIn_ && SoleModuleUser(modulePath_)) (void)module_->C_Logout(session_);
      if (sessionOpen_) (void)module_->C_CloseSession(session_);
      ReleaseModule(modulePath_);
    }
    module_ = nullptr;
    loggedIn_ = sessionOpen_ = false;
  }

  [[nodiscard]] CK_FUNCTION_LIST* F() const { return module_; }
  [[nodiscard]] CK_SESSION_HANDLE Session() const { return session_; }
  [[nodiscard]] const std::string& Label() const { return label_; }

  // A readable attribute of an object, or false.
  bool Attribute(CK_OBJECT_HANDLE object, CK_ATTRIBUTE_TYPE type, std::string& value) const {
    CK_ATTRIBUTE a{type, nullptr, 0};
    if (module_->C_GetAttributeValue(session_, object, &a, 1) != CKR_OK || a.ulValueLen == CK_UNAVAILABLE_INFORMATION)
      return false;
    value.assign(a.ulValueLen, '\0');
    a.pValue = value.data();
    return module_->C_GetAttributeValue(session_, object, &a, 1) == CKR_OK;
  }

  // The RSA private key whose modulus (and exponent, where the token tells)
  // equal the given ones; 0 when there is none.
  bool FindPrivateKey(const std::string& n, const std::string& e, CK_OBJECT_HANDLE& found) const {
    CK_OBJECT_CLASS cls = CKO_PRIVATE_KEY;
    CK_KEY_TYPE type = CKK_RSA;
    CK_ATTRIBUTE tmpl[] = {{CKA_CLASS, &cls, sizeof(cls)}, {CKA_KEY_TYPE, &type, sizeof(type)}};
    if (module_->C_FindObjectsInit(session_, tmpl, 2) != CKR_OK) return false;
    std::vector<CK_OBJECT_HANDLE> handles(kMaxKeysSearched);
    CK_ULONG count = 0;
    const CK_RV rv = module_->C_FindObjects(session_, handles.data(), kMaxKeysSearched, &count);
    (void)module_->C_FindObjectsFinal(session_);
    if (rv != CKR_OK) return false;
    for (CK_ULONG i = 0; i < count; ++i) {
      std::string modulus, exponent;
      if (!Attribute(handles[i], CKA_MODULUS, modulus) || StripLeadingZeros(modulus) != n) continue;
      if (Attribute(handles[i], CKA_PUBLIC_EXPONENT, exponent) && StripLeadingZeros(exponent) != e) continue;
      found = handles[i];
      return true;
    }
    return false;
  }

 private:
  bool FindSlot(CK_SLOT_ID& slot, CK_TOKEN_INFO& info) {
    CK_ULONG count = 0;
    if (module_->C_GetSlotList(CK_TRUE, nullptr, &count) != CKR_OK || count == 0) return false;
    std::vector<CK_SLOT_ID> slots(count);
    if (module_->C_GetSlotList(CK_TRUE, slots.data(), &count) != CKR_OK) return false;
    for (CK_ULONG i = 0; i < count; ++i) {
      CK_SLOT_INFO slotInfo{};
      CK_TOKEN_INFO tokenInfo{};
      if (module_->C_GetSlotInfo(slots[i], &slotInfo) != CKR_OK ||
          module_->C_GetTokenInfo(slots[i], &tokenInfo) != CKR_OK)
        continue;
      if (p11_kit_uri_match_slot_info(uri_.get(), &slotInfo) != 1 ||
          p11_kit_uri_match_token_info(uri_.get(), &tokenInfo) != 1)
        continue;
      // Only initialised tokens hold keys.
      if ((tokenInfo.flags & CKF_TOKEN_INITIALIZED) == 0) continue;
      slot = slots[i];
      info = tokenInfo;
      return true;
    }
    return false;
  }

  // pin-value, pin-source=file:, TARNEL_PKCS11_PIN, then the front end.
  bool GetPin(const PinSource& pinSource, const PinPrompt& prompt, std::string& pin, bool& asked,
              std::string& error) const {
    asked = false;
    if (const char* value = p11_kit_uri_get_pin_value(uri_.get())) {
      pin = value;
      return true;
    }
    if (const char* source = p11_kit_uri_get_pin_source(uri_.get())) {
      std::string path = source;
      if (path.rfind("file://", 0) == 0)
        path.erase(0, 7);
      else if (path.rfind("file:", 0) == 0)
        path.erase(0, 5);
      // The PIN file is as secret as the PIN: ours alone, read through a
      // buffer that is wiped.
      const FileInfo info = StatPath(path);
      if (info.kind == PathKind::File && (!info.ownedByUs || (info.mode & 044) != 0)) {
        error = Format(kMsgPkcs11PinFileAccess, path.c_str());
        return false;
      }
      InFile file;
      if (!file.Open(path, /*text=*/true) || file.Size() > kMaxPinFile) {
        error = Format(kMsgPkcs11PinFile, path.c_str());
        return false;
      }
      SecureBytes bytes(static_cast<size_t>(file.Size()));
      if (!file.ReadExact(bytes.data(), bytes.size())) {
        error = Format(kMsgPkcs11PinFile, path.c_str());
        return false;
      }
      pin.assign(reinterpret_cast<const char*>(bytes.data()), bytes.size());
      while (!pin.empty() && (pin.back() == '\n' || pin.back() == '\r')) pin.pop_back();
      return true;
    }
    if (const char* env = std::getenv(kPinEnv)) {
      pin = env;
      return true;
    }
    if (pinSource) {
      std::optional<std::string> given = pinSource(prompt);
      if (given) {
        pin = std::move(*given);
        Cleanse(*given);
        asked = true;
        return true;
      }
    }
    error = Format(kMsgPkcs11NoPin, label_.c_str());
    return false;
  }

  Uri uri_;
  std::string modulePath_;
  CK_FUNCTION_LIST* module_ = nullptr;
  CK_SESSION_HANDLE session_ = 0;
  CK_SLOT_ID slot_ = 0;
  bool sessionOpen_ = false;
  bool loggedIn_ = false;
  std::string label_;
};

class Pkcs11Signer final : public Signer {
 public:
  Pkcs11Signer(std::string uri, const KeyLines& lines, PinSource pinSource)
      : Signer(lines), uri_(std::move(uri)), pinSource_(std::move(pinSource)) {}
  ~Pkcs11Signer() override { Cleanse(uri_); }

  bool Open(SignError& error) override {
    std::string message;
    if (token_.F() == nullptr && !token_.Open(uri_, false, pinSource_, message)) {
      token_.Close();
      error.fault = SignFault::BackEnd;
      error.message = message;
      return false;
    }
    return true;
  }
  std::string Describe() const override { return "the token \"" + token_.Label() + "\""; }

 protected:
  bool CheckKeyLocked(KeyRole role, SignError& error) override {
    CK_OBJECT_HANDLE key = 0;
    return Key(role, key, error);
  }
  bool SignForPublicKeyLocked(const std::string& n, const std::string& e, bool sha256, const uint8_t* digest,
                              std::vector<uint8_t>& signature, SignError& error) override {
    if (token_.F() == nullptr && !Open(error)) return false;
    const char* const role = "archive";
    if (!archiveFound_ || archiveN_ != n || archiveE_ != e) {
      archiveFound_ = token_.FindPrivateKey(n, e, archiveKey_);
      archiveN_ = n;
      archiveE_ = e;
    }
    if (!archiveFound_) {
      error.fault = SignFault::BackEnd;
      error.message = Format(kMsgPkcs11KeyMissing, token_.Label().c_str(), role, ModulusFingerprint(n).c_str());
      return false;
    }
    std::vector<uint8_t> info;
    if (sha256)
      info.assign(kSha256DigestInfo.begin(), kSha256DigestInfo.end());
    else
      info.assign(kSha1DigestInfo.begin(), kSha1DigestInfo.end());
    info.insert(info.end(), digest, digest + (sha256 ? 32 : 20));
    CK_MECHANISM mechanism{CKM_RSA_PKCS, nullptr, 0};
    signature.assign(n.size(), 0);
    CK_ULONG length = signature.size();
    CK_RV rv = token_.F()->C_SignInit(token_.Session(), &mechanism, archiveKey_);
    if (rv == CKR_OK) rv = token_.F()->C_Sign(token_.Session(), info.data(), info.size(), signature.data(), &length);
    if (rv != CKR_OK || length != signature.size()) {
      error.fault = SignFault::BackEnd;
      error.message = Format(kMsgPkcs11SignFailed, token_.Label().c_str(), role, static_cast<unsigned long>(rv));
      return false;
    }
    return true;
  }
  bool SignLocked(KeyRole role, const uint8_t* digest32, uint8_t* signature256, SignError& error) override {
    CK_OBJECT_HANDLE key = 0;
    if (!Key(role, key, error)) return false;
    std::array<uint8_t, kSha256DigestInfo.size() + 32> info{};
    std::copy(kSha256DigestInfo.begin(), kSha256DigestInfo.end(), info.begin());
    std::copy(digest32, digest32 + 32, info.begin() + kSha256DigestInfo.size());
    CK_MECHANISM mechanism{CKM_RSA_PKCS, nullptr, 0};
    CK_ULONG length = kRsaSignatureBytes;
    CK_RV rv = token_.F()->C_SignInit(token_.Session(), &mechanism, key);
    if (rv == CKR_OK) rv = token_.F()->C_Sign(token_.Session(), info.data(), info.size(), signature256, &length);
    if (rv != CKR_OK || length != kRsaSignatureBytes) {
      error.fault = SignFault::BackEnd;
      error.message = Format(kMsgPkcs11SignFailed, token_.Label().c_str(), RoleName(role),
                             static_cast<unsigned long>(rv));
      return false;
    }
    return true;
  }

 private:
  bool Key(KeyRole role, CK_OBJECT_HANDLE& key, SignError& error) {
    if (token_.F() == nullptr && !Open(error)) return false;
    const size_t slot = role == KeyRole::Root ? 1 : 0;
    if (found_[slot]) {
      key = keys_[slot];
      return true;
    }
    std::string n, e;
    if (!PublicComponents(role, n, e, error)) return false;
    if (!token_.FindPrivateKey(n, e, keys_[slot])) {
      error.fault = SignFault::BackEnd;
      error.message =
          Format(kMsgPkcs11KeyMissing, token_.Label().c_str(), RoleName(role), ModulusFingerprint(n).c_str());
      return false;
    }
    found_[slot] = true;
    key = keys_[slot];
    return true;
  }

  std::string uri_;
  PinSource pinSource_;
  Token token_;
  CK_OBJECT_HANDLE keys_[2] = {0, 0};
  bool found_[2] = {false, false};
  CK_OBJECT_HANDLE archiveKey_ = 0;
  bool archiveFound_ = false;
  std::string archiveN_, archiveE_;
};

std::string HexLine(const std::string& bytes) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string line = "0x";
  const std::string digits = StripLeadingZeros(bytes);
  for (unsigned char b : digits) {
    line += kHex[b >> 4];
    line += kHex[b & 15];
  }
  if (digits.empty()) line += "00";
  return line;
}

// A key pair made inside the token; its public modulus and exponent.
bool GenerateTokenKey(const Token& token, const char* label, std::string& n, std::string& e, CK_RV& rv) {
  CK_BBOOL yes = CK_TRUE;
  CK_BBOOL no = CK_FALSE;
  CK_ULONG bits = kTokenKeyBits;
  CK_BYTE exponent[] = {0x01, 0x00, 0x01};
  const CK_ULONG labelLen = std::strlen(label);
  CK_ATTRIBUTE pub[] = {
      {CKA_TOKEN, &yes, sizeof(yes)},
      {CKA_VERIFY, &yes, sizeof(yes)},
      {CKA_MODULUS_BITS, &bits, sizeof(bits)},
      {CKA_PUBLIC_EXPONENT, exponent, sizeof(exponent)},
      {CKA_LABEL, const_cast<char*>(label), labelLen},
      {CKA_ID, const_cast<char*>(label), labelLen},
  };
  CK_ATTRIBUTE priv[] = {
      {CKA_TOKEN, &yes, sizeof(yes)},          {CKA_PRIVATE, &yes, sizeof(yes)},
      {CKA_SENSITIVE, &yes, sizeof(yes)},      {CKA_EXTRACTABLE, &no, sizeof(no)},
      {CKA_SIGN, &yes, sizeof(yes)},           {CKA_LABEL, const_cast<char*>(label), labelLen},
      {CKA_ID, const_cast<char*>(label), labelLen},
  };
  CK_MECHANISM mechanism{CKM_RSA_PKCS_KEY_PAIR_GEN, nullptr, 0};
  CK_OBJECT_HANDLE pubKey = 0, privKey = 0;
  rv = token.F()->C_GenerateKeyPair(token.Session(), &mechanism, pub, sizeof(pub) / sizeof(pub[0]), priv,
                                    sizeof(priv) / sizeof(priv[0]), &pubKey, &privKey);
  if (rv != CKR_OK) return false;
  if (!token.Attribute(pubKey, CKA_MODULUS, n) || !token.Attribute(pubKey, CKA_PUBLIC_EXPONENT, e)) {
    rv = CKR_GENERAL_ERROR;
    return false;
  }
  return true;
}

}  // namespace

std::unique_ptr<Signer> MakePkcs11Signer(const std::string& uri, const KeyLines& lines, PinSource pinSource) {
  return std::make_unique<Pkcs11Signer>(uri, lines, std::move(pinSource));
}

bool Pkcs11UriCarriesPinValue(const std::string& uri) {
  std::string error;
  Uri parsed = ParseUri(uri, error);
  return parsed && p11_kit_uri_get_pin_value(parsed.get()) != nullptr;
}

bool GenerateTokenKeyList(const std::string& givenText, PinSource pinSource, std::string& keyListText,
                          std::string& error) {
  const std::string signerText = NormalizeSignerText(givenText);
  if (signerText.rfind(kSignerPkcs11Scheme, 0) != 0) {
    error = Format(kMsgSignerUnknown, SignerTextForMessages(signerText).c_str());
    return false;
  }
  Token token;
  if (!token.Open(signerText, true, pinSource, error)) return false;
  std::string n[2], e[2];
  const char* const labels[2] = {kTokenExternalLabel, kTokenRootLabel};
  for (int i = 0; i < 2; ++i) {
    CK_RV rv = CKR_OK;
    if (!GenerateTokenKey(token, labels[i], n[i], e[i], rv)) {
      error = Format(kMsgPkcs11KeygenFailed, RoleName(i == 0 ? KeyRole::External : KeyRole::Root),
                     token.Label().c_str(), static_cast<unsigned long>(rv));
      return false;
    }
  }
  // Lines 1-8 external (n, e, six placeholders), 9-10 its public key, 11-18
  // root (n, e, six placeholders), 19-20 free, 21-23 fresh 128-bit keys.
  std::string text;
  auto key = [&text](const std::string& modulus, const std::string& exponent) {
    text += HexLine(modulus) + "\n" + HexLine(exponent) + "\n";
    for (int i = 0; i < 6; ++i) text += "0x00\n";
  };
  key(n[0], e[0]);
  text += HexLine(n[0]) + "\n" + HexLine(e[0]) + "\n";
  key(n[1], e[1]);
  text += "Reserved line 19\nReserved line 20\n";
  static const char kHex[] = "0123456789ABCDEF";
  for (int i = 0; i < 3; ++i) {
    SecureBytes bytes(16);
    if (RAND_bytes(bytes.data(), 16) != 1) {
      Cleanse(text);
      error = kMsgKeygenRandomFailed;
      return false;
    }
    for (size_t b = 0; b < 16; ++b) {
      text += kHex[bytes[b] >> 4];
      text += kHex[bytes[b] & 15];
    }
    text += '\n';
  }
  keyListText = std::move(text);
  return true;
}

}  // namespace tarnel
