// Every RSA private-key operation of a run goes through one Signer: the
// external key (key list lines 1 to 8: whole images, sections, the parameter
// and boot areas) and the root key (lines 11 to 18: the key area). A signer
// takes a SHA-256 digest and gives the 256-byte RSASSA-PKCS1-v1_5 signature;
// every signature is checked with the role's public key from the key list
// (lines 1-2, respectively 11-12) before it is handed out.
//
// Back ends, chosen by one signer text:
//   keylist           the private components of the loaded key list (default)
//   pkcs11:<URI>      a PKCS#11 token (RFC 7512 URI with module-path)
//   exec:<program>    a signing helper: `<program> <role> <public key PEM>`,
//                     the 32-byte digest on standard input, the 256-byte
//                     signature on standard output, exit status 0
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/model.h"
#include "signing/crypto.h"

namespace tarnel {

inline constexpr size_t kRsaSignatureBytes = 256;

enum class KeyRole { External, Root };
[[nodiscard]] const char* RoleName(KeyRole role);  // "external", "root"

inline constexpr const char* kSignerKeyList = "keylist";
inline constexpr const char* kSignerPkcs11Scheme = "pkcs11:";
inline constexpr const char* kSignerExecScheme = "exec:";
inline constexpr const char* kSignerEnv = "TARNEL_SIGNER";
inline constexpr const char* kPinEnv = "TARNEL_PKCS11_PIN";
inline constexpr const char* kHelperTimeoutEnv = "TARNEL_SIGNER_TIMEOUT";
inline constexpr int kDefaultHelperTimeoutSeconds = 120;

// The public key files a signing helper is given, in the program folder's Temp.
inline constexpr const char* kHelperPublicKeyFiles[2] = {"ExternalPublicKey.pem", "RootPublicKey.pem"};

// Labels of the token keys that `keygen --signer` makes.
inline constexpr const char* kTokenExternalLabel = "tarnel-external";
inline constexpr const char* kTokenRootLabel = "tarnel-root";

// Messages of the signers. The PIN and the URI (which may carry a pin-value)
// never appear in them.
inline constexpr const char* kMsgSignerUnknown =
    "Unknown signer \"%s\": give keylist, pkcs11:<URI> or exec:<program>!";
inline constexpr const char* kMsgPublicKeyLines = "The %s public key lines of the key list do not form an RSA key!";
inline constexpr const char* kMsgSignatureMismatch =
    "The signature made by %s with the %s key does not verify with the %s public key of the key list!";
inline constexpr const char* kMsgPkcs11BadUri = "The PKCS#11 URI of the signer is not valid: %s!";
inline constexpr const char* kMsgPkcs11NoModulePath = "The PKCS#11 URI of the signer names no module-path!";
inline constexpr const char* kMsgPkcs11ModuleLoad = "Failed to load the PKCS#11 module %s!";
inline constexpr const char* kMsgPkcs11NoToken = "No PKCS#11 token of the module %s matches the signer URI!";
inline constexpr const char* kMsgPkcs11NoPin = "No PIN was given for the token \"%s\"!";
inline constexpr const char* kMsgPkcs11PinFile = "Failed to read the PIN file %s!";
inline constexpr const char* kMsgPkcs11WrongPin = "The PIN for the token \"%s\" is wrong!";
inline constexpr const char* kMsgPkcs11Locked = "The token \"%s\" is locked: its PIN was entered wrongly too often!";
inline constexpr const char* kMsgPkcs11Session = "Failed to open a session on the token \"%s\" (PKCS#11 error 0x%lX)!";
inline constexpr const char* kMsgPkcs11KeyMissing =
    "The token \"%s\" holds no private key for the %s key (SHA-256 of its modulus: %s)!";
inline constexpr const char* kMsgPkcs11SignFailed =
    "The token \"%s\" failed to sign with the %s key (PKCS#11 error 0x%lX)!";
inline constexpr const char* kMsgPkcs11KeygenFailed =
    "Failed to generate the %s key in the token \"%s\" (PKCS#11 error 0x%lX)!";
inline constexpr const char* kMsgKeygenRandomFailed = "Failed to generate the 128-bit keys!";
inline constexpr const char* kMsgHelperStart = "The signing helper %s could not be started for the %s key!";
inline constexpr const char* kMsgHelperExit = "The signing helper %s failed for the %s key (exit status %d)!";
inline constexpr const char* kMsgHelperTimeout = "The signing helper %s did not answer for the %s key within %d s!";
inline constexpr const char* kMsgHelperLength =
    "The signing helper %s answered %s bytes for the %s key instead of a 256-byte signature!";
inline constexpr const char* kMsgHelperPublicKey = "Failed to write the %s public key file %s for the signing helper!";
inline constexpr const char* kMsgHelperNotAbsolute = "The signing helper %s must be given as an absolute path!";
inline constexpr const char* kMsgPkcs11ModuleNotAbsolute = "The PKCS#11 module-path %s must be an absolute path!";
inline constexpr const char* kMsgPkcs11PinFileAccess =
    "The PIN file %s must be owned by you and readable by you alone!";
inline constexpr const char* kMsgSignerKeyListOnly =
    "%s holds only the keys of the key list; the upgrade archive's key can be read from its file or a PKCS#11 token!";
inline constexpr const char* kMsgArchiveSignatureMismatch =
    "The signature made by %s with the archive key does not verify with the public key of the certificate!";
// The detail after a failed signature when the key list's private lines are placeholders.
inline constexpr const char* kMsgPlaceholderLines = "lines %s are placeholders: sign with --signer";
inline constexpr const char* kMsgPinValueOnCommandLine =
    "A pin-value in --signer can be seen by every user in the process list: name a file holding the PIN with "
    "pin-source=file:<path> instead";

// Why a signature could not be had. A back end that knows more says it in
// `message`; the key list back end leaves it empty, and the signers show the
// messages they always showed for a key list whose lines are missing or do
// not form a key.
enum class SignFault { None, KeyLinesMissing, KeyUnusable, BackEnd };
struct SignError {
  SignFault fault = SignFault::None;
  std::string message;
  // The key list back end, when the role's private lines hold placeholders
  // ("3-8"): the key list was made for a token or a helper.
  std::string placeholderLines;
};

// What a front end can tell the person it asks for a token's PIN, from the
// token's own flags.
struct PinPrompt {
  std::string tokenLabel;
  bool retry = false;     // the PIN given just before was wrong
  bool countLow = false;  // the token has counted wrong PINs
  bool finalTry = false;  // one more wrong PIN locks the token
  // A front end that only names the token takes the prompt as its label.
  operator const std::string&() const { return tokenLabel; }  // NOLINT(google-explicit-constructor)
};

// Gives the PIN of a token (nullopt: none, the run ends). The front end asks
// the person; the core never does. A wrong PIN that came from here is asked
// for again, with `retry` set, a few times.
using PinSource = std::function<std::optional<std::string>(const PinPrompt& prompt)>;

class Signer {
 public:
  virtual ~Signer() = default;
  Signer(const Signer&) = delete;
  Signer& operator=(const Signer&) = delete;

  // Whatever the back end needs before the first row (load the module, log
  // in). The key list back end needs nothing.
  [[nodiscard]] virtual bool Open(SignError& error);
  // Checks that the role's key can be used, before anything is written.
  [[nodiscard]] bool CheckKey(KeyRole role, SignError& error);
  // The 256-byte signature of a SHA-256 digest, verified with the role's
  // public key. Safe to call from several threads: calls are serialised.
  [[nodiscard]] bool Sign(KeyRole role, const uint8_t* digest32, uint8_t* signature256, SignError& error);
  // How messages name the back end ("the signing helper /x/y").
  [[nodiscard]] virtual std::string Describe() const = 0;

  // A key from outside the key list, named by its public key (the upgrade
  // archive's, from its certificate): the RSASSA-PKCS1-v1_5 signature of a
  // SHA-1 or SHA-256 digest by the private key that belongs to `publicKey`,
  // as long as the key's modulus, verified with `publicKey` before it is
  // handed out. Only a token holds such keys; the other back ends refuse.
  [[nodiscard]] bool SignForPublicKey(EVP_PKEY* publicKey, bool sha256, const uint8_t* digest,
                                      std::vector<uint8_t>& signature, SignError& error);

 protected:
  explicit Signer(const KeyLines& lines) : lines_(lines) {}
  [[nodiscard]] virtual bool CheckKeyLocked(KeyRole role, SignError& error) = 0;
  [[nodiscard]] virtual bool SignLocked(KeyRole role, const uint8_t* digest32, uint8_t* signature256,
                                        SignError& error) = 0;
  // The signature for SignForPublicKey, unchecked; `n` and `e` are the
  // public key's modulus and exponent (big-endian, no leading zeros).
  [[nodiscard]] virtual bool SignForPublicKeyLocked(const std::string& n, const std::string& e, bool sha256,
                                                    const uint8_t* digest, std::vector<uint8_t>& signature,
                                                    SignError& error);
  // The role's public key from the key list (cached); null when the lines
  // are missing or do not form a key (error filled).
  [[nodiscard]] EVP_PKEY* PublicKey(KeyRole role, SignError& error);
  // The role's modulus and public exponent as big-endian bytes without leading zeros.
  [[nodiscard]] bool PublicComponents(KeyRole role, std::string& n, std::string& e, SignError& error);

  const KeyLines& lines_;

 private:
  std::mutex mutex_;
  PKey publicKeys_[2];
};

// The back end named by `signerText` ("" means keylist). `tempDir` takes the
// helper's public key files. Null, with the message in `error`, when the
// text names no back end.
[[nodiscard]] std::unique_ptr<Signer> MakeSigner(const std::string& signerText, const KeyLines& lines,
                                                 const std::string& tempDir, PinSource pinSource,
                                                 std::string& error);
// Schemes ignore case: the text with its scheme ("keylist", "pkcs11:",
// "exec:") in lower case; other texts unchanged.
[[nodiscard]] std::string NormalizeSignerText(const std::string& signerText);
// What messages may show of a signer text: its scheme only (up to and with
// the first colon), never what follows, which may carry a PIN.
[[nodiscard]] std::string SignerTextForMessages(const std::string& signerText);
// True for a token whose URI carries its PIN as a pin-value: allowed in
// TARNEL_SIGNER and BurnConfig.ini, refused on a command line.
[[nodiscard]] bool SignerCarriesPinValue(const std::string& signerText);
// True when the text names a known back end.
[[nodiscard]] bool IsSignerSpec(const std::string& signerText);
// True for a token whose URI carries no PIN while TARNEL_PKCS11_PIN is not
// set either: the front end has to ask for it.
[[nodiscard]] bool SignerNeedsPin(const std::string& signerText);

// True when the text names the key list back end (the default).
[[nodiscard]] bool SignerUsesKeyList(const std::string& signerText);
// Wipes the private components of both keys (key list lines 3-8 and 13-18):
// with a token or a helper they are never needed, and are not kept.
void WipePrivateKeyLines(KeyLines& lines);

// A key component line that stands in for a private component: its digits
// read as zero ("0x00", as keygen --signer writes them).
[[nodiscard]] bool IsPlaceholderKeyLine(std::string_view line);
// The 1-based numbers of the role's private lines (3-8, respectively 13-18)
// that hold placeholders.
[[nodiscard]] std::vector<size_t> PlaceholderKeyLines(const KeyLines& lines, KeyRole role);
// "3-8", "3, 5-6": line numbers in ascending order, runs joined.
[[nodiscard]] std::string LineRanges(const std::vector<size_t>& numbers);

// SHA-256 of a big-endian modulus in lower-case hexadecimal: how messages
// name a key.
[[nodiscard]] std::string ModulusFingerprint(const std::string& modulusBytes);

// keygen into a token: two RSA-2048 key pairs made inside the token (private
// halves sensitive and not extractable, labels tarnel-external and
// tarnel-root); `keyListText` receives the 23 lines with their public lines,
// "0x00" in place of every private component and fresh 128-bit keys.
[[nodiscard]] bool GenerateTokenKeyList(const std::string& signerText, PinSource pinSource, std::string& keyListText,
                                        std::string& error);

}  // namespace tarnel
