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
