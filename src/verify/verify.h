// Readers for every kind of output Tarnel writes, independent of the code
// that writes them. Each reader walks the file with bounded memory: it checks
// the length, the magic, the version and every offset and size read from the
// file (overflow-checked) before it trusts them, and only then the digests,
// signatures and MACs.
//
// A file's kind is recognised from its bytes; the Ext4 and UBI outputs are a
// pair X.img / X_Sign.img, and naming either one checks both. Without keys
// (`info`) only the structure is checked and every header field is reported.
//
// The formats' declarations are shared with the writers (signing/
// image_headers.h, boot/boot_image.h's parameter words, boot/key_list.h's
// KeyRecord, package/zip_format.h); the algorithms are not, so that a fault
// in a writer's arithmetic cannot hide itself:
//   - re-derived here: the header CRC-32/MPEG-2 (bitwise), the AES-128
//     CBC-MAC of the containers and their chunk tables, the sparse Ext4 walk
//     and expansion, the key record's Triple-DES decryption under the derived
//     key, the container and boot layouts from their header words, the ZIP
//     directory walk; SHA-256, RSA verification, inflate and the entry CRC
//     come from OpenSSL and zlib.
//   - shared with the writers and pinned by fixed test vectors: the boot
//     parity test's one-block SHA-256 compression (Sha256FirstBlock, against
//     the standard digests of padded one-block messages) and the key
//     derivation blocks (KeyDerivationBlock, against their literal bytes).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "common/secure.h"
#include "signing/crypto.h"

namespace tarnel::verify {

// The public halves and 128-bit keys of a key list.
struct Keys {
  PKey external;        // lines 1-2: n, e of the external private key (images, boot areas)
  PKey externalPublic;  // lines 9-10: the external public key carried in boot images
  PKey root;            // lines 11-12: n, e of the root private key (boot key area)
  Key128 v1{};          // line 23: MAC key of the images; the key stored in KeyPart.img
  Key128 v2{};          // line 22: MAC key of KeyPart.img
  Key128 v3{};          // line 21: root key of the key partition encryption
  std::string keyListPath;
  Keys() = default;
  ~Keys();
  Keys(const Keys&) = delete;
  Keys& operator=(const Keys&) = delete;
};

// Loads the keys of a key list; false with a one-line reason.
[[nodiscard]] bool LoadKeys(const std::string& keyListPath, Keys& out, std::string& why);

struct Field {
  std::string name;
  std::string value;
};

struct FileResult {
  std::string file;
  std::string kind;  // empty: not a known format
  bool ok = false;
  std::vector<std::string> problems;  // the first one names where the file went wrong
  std::vector<Field> fields;          // decoded header fields
  std::vector<std::string> fingerprints;  // "<what>: <SHA-256 of the public key, hex>"
  std::vector<std::string> entries;       // archive entries: "<name> <size> bytes"
  // The layout cannot be told from the bytes alone: --board must decide.
  bool needsBoard = false;
  // The check could not be finished for a reason that is not the file's
  // (the scratch folder ran out of space): neither OK nor FAIL.
  std::string cannotCheck;
  [[nodiscard]] std::string KindOrUnknown() const;
};

struct Options {
  const Keys* keys = nullptr;  // null: structure only (info)
  int32_t board = -1;          // -1: not given
  std::string androidCert;     // PEM certificate of the Android signature; empty: none given
};

// Checks one file on disk (and its partner when it is one of a pair).
[[nodiscard]] FileResult CheckFile(const std::string& path, const Options& options);

// The same over bytes held in memory (the fuzz target); `signFile` is the
// partner X_Sign.img when the bytes are an X.img (may be null).
[[nodiscard]] FileResult CheckBytes(const uint8_t* data, size_t size, const uint8_t* signFile, size_t signSize,
                                    const Options& options);

// A file or entry name as one line of output: unchanged when it holds no
// control character, else in double quotes with C escapes.
[[nodiscard]] std::string DisplayName(const std::string& name);

// SHA-256 of the DER SubjectPublicKeyInfo, lower-case hex (what
// `openssl pkey -pubin -outform DER | sha256sum` prints).
[[nodiscard]] std::string PublicKeyFingerprint(EVP_PKEY* key);

}  // namespace tarnel::verify
