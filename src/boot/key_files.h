// Keys as standard files. RSA private keys come in from PEM or DER files
// (PKCS #8, encrypted or not, or PKCS #1 "RSA PRIVATE KEY"), the form teams
// already keep them in; a key list's public keys go out as PEM, with their
// SHA-256 fingerprints and what its lines hold.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/model.h"
#include "signing/crypto.h"

namespace tarnel {

// The one RSA key size the boards take.
inline constexpr int kBoardRsaBits = 2048;
// A key file larger than this is no key file.
inline constexpr size_t kMaxKeyFileBytes = 1u << 20;

enum class KeyFileStatus {
  Ok,
  Unreadable,     // cannot be opened or read (why: the system's reason)
  TooLarge,       // larger than kMaxKeyFileBytes
  PublicOnly,     // holds a public key only
  NotAKey,        // neither PEM nor DER of a private key
  Undecryptable,  // encrypted, and no passphrase (or a wrong one) was given
  NotRsa,         // another kind of key (type: its name, "EC", "ED25519", "RSA-PSS")
  WrongSize,      // an RSA key of another size (bits)
  Unusable,       // an RSA key whose components do not form a working key
};

struct KeyFileRead {
  KeyFileStatus status = KeyFileStatus::NotAKey;
  std::string why;
  std::string type;
  int bits = 0;
  PKey key;  // set when status is Ok
};

// Asked for the passphrase of an encrypted key file (its path); nothing
// when there is none to give.
using PassphraseSource = std::function<std::optional<std::string>(const std::string& path)>;

// Reads one RSA-2048 private key with its CRT components. The file's bytes
// are wiped once read.
[[nodiscard]] KeyFileRead ReadRsaKeyFile(const std::string& path, const PassphraseSource& passphrase);

// The public key as PEM (SubjectPublicKeyInfo, "BEGIN PUBLIC KEY"); empty on failure.
[[nodiscard]] std::string PublicKeyPem(EVP_PKEY* key);
// SHA-256 of the DER SubjectPublicKeyInfo in lower-case hexadecimal, as
// `openssl pkey -pubin -outform DER | sha256sum` gives it; empty on failure.
[[nodiscard]] std::string PublicKeySha256(EVP_PKEY* key);

// What a loaded key list holds for one role (external: lines 1-8, root:
// lines 11-18).
struct KeyListRoleCheck {
  enum class Private {
    Present,       // the six private lines form the key with the public lines
    Placeholders,  // all six are placeholders (a token or a helper signs)
    Mixed,         // some placeholders, some not
    Mismatch,      // they do not form a key with the public lines
  };
  PKey publicKey;  // from lines n and e; null when they do not form an RSA key
  int bits = 0;
  Private privateLines = Private::Mismatch;
  std::vector<size_t> placeholderLines;  // 1-based
  std::string publicSha256;              // SHA-256 of the DER public key
  std::string modulusSha256;             // SHA-256 of the modulus, as token messages name keys
};

struct KeyListCheck {
  KeyListRoleCheck external;
  KeyListRoleCheck root;
  bool publicCopyMatches = false;  // lines 9-10 are the key of lines 1-2
  std::vector<size_t> bad128Lines;  // lines 21-23 that are not 32 hexadecimal digits

  // Nothing in the way of signing: both public keys RSA-2048, the copy in
  // lines 9-10 matching, private lines either present and matching or all
  // placeholders, three 128-bit keys.
  [[nodiscard]] bool Sound() const;
};

// `lines`: the 23 trimmed lines of a key list that loaded.
[[nodiscard]] KeyListCheck CheckKeyListLines(const KeyLines& lines);

// Whether `text` is exactly 32 hexadecimal digits, and its 16 bytes.
[[nodiscard]] bool ParseKey128Hex(std::string_view text, std::array<uint8_t, 16>& key);

}  // namespace tarnel
