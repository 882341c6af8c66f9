// The whole-file archive signer: writes the same bytes as AOSP's
// `signapk.jar -w <cert> <key> <in> <out>` (Android 10 SignApk on OpenJDK 17
// with the stock zlib), without Java.
//
// The output is the input's entries re-written (directories, old signature
// files and the archive comment dropped; stored entries first, each group in
// the order of Java's String.compareTo; deflated entries deflated again at
// level 6, one stream per entry), the certificate file as
// META-INF/com/android/otacert, and a detached CMS signature over the whole
// archive in the archive comment. Nothing in it depends on the clock.
#pragma once

#include <openssl/types.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace tarnel {

enum class ApkSignStatus {
  Signed,
  // signapk could sign this input, but not with bytes another signer can
  // write (an EC key, the pin-hint asset, an encrypted key): Java only.
  Refused,
  // signapk fails on this input too, or the output could not be written.
  Failed,
  // A file to be added (SignApkWithFiles) could not be read whole, changed
  // while it was read, or is too large for the package: `file` names it.
  FileUnreadable,
};

struct ApkSignResult {
  ApkSignStatus status = ApkSignStatus::Failed;
  std::string message;  // empty when signed
  std::string file;     // the file added that could not be read (FileUnreadable)
  [[nodiscard]] bool Ok() const { return status == ApkSignStatus::Signed; }
};

// A file added to the archive as one more entry.
struct ApkAddedFile {
  std::string diskPath;
  std::string entryName;
};

// Signs the archive's digest with a key kept elsewhere (a token), found by
// the certificate's public key: the PKCS #1 v1.5 signature of the SHA-256 (or,
// as the certificate asks, SHA-1) digest, or false with a message.
using ApkKeySigner = std::function<bool(EVP_PKEY* certificateKey, bool sha256, const uint8_t* digest,
                                        std::vector<uint8_t>& signature, std::string& message)>;

struct ApkSignOptions {
  // Deflates each entry in independent 128 KiB blocks on the worker threads
  // (as the ZIP writer does): a valid signed archive, the same whatever the
  // number of threads, but not signapk's bytes.
  bool parallelDeflate = false;
  // Called now and then with the input bytes handled so far and their total.
  std::function<void(uint64_t done, uint64_t total)> progress;
  // Signs in place of the key file (which is then not read); the signature
  // must verify with the certificate's public key.
  ApkKeySigner keySigner;
};

// Signs `inputPath` into `outputPath`. The output appears whole or not at all:
// on failure a file that was at `outputPath` before stays as it was, and
// nothing else is left there.
//
// Deflated entries are compressed side by side on the worker threads, whole
// entries each (one stream per entry), into bounded buffers that spill into
// files beside the output; they are written and hashed in order. The bytes
// are the same whatever the number of threads.
[[nodiscard]] ApkSignResult SignApkWholeFile(const std::string& certPath, const std::string& keyPath,
                                             const std::string& inputPath, const std::string& outputPath,
                                             const ApkSignOptions& options = {});

// In one pass, the bytes SignApkWholeFile writes for `templatePath` with
// `files` appended to it by the ZIP writer (CZipArchive::AddDiskFile, in this
// order): no such archive is built. Each file is read once and deflated once
// (stored when shorter than 5 bytes, with its Unix mode, as the ZIP writer
// stores it); a file of 4 GiB or more is refused, as the ZIP writer refuses it.
[[nodiscard]] ApkSignResult SignApkWithFiles(const std::string& certPath, const std::string& keyPath,
                                             const std::string& templatePath, const std::vector<ApkAddedFile>& files,
                                             const std::string& outputPath, const ApkSignOptions& options = {});

// A certificate and its key, read once for any number of archives (the same
// checks, refusals and messages as the two calls above, which read them on
// every call).
struct ApkSigningIdentity;

struct ApkSigningIdentityResult {
  ApkSignResult result;
  std::shared_ptr<const ApkSigningIdentity> identity;  // set exactly when result.Ok()
};

// Reads the certificate, then the key file unless `readKey` is false (a
// keySigner in the options then signs; `keyPath` only names the key in
// messages).
[[nodiscard]] ApkSigningIdentityResult LoadApkSigningIdentity(const std::string& certPath, const std::string& keyPath,
                                                              bool readKey = true);

// SignApkWholeFile with an identity read before: the same bytes and messages.
// An identity read without its key fails to sign unless options.keySigner signs.
[[nodiscard]] ApkSignResult SignApkWithIdentity(const ApkSigningIdentity& identity, const std::string& inputPath,
                                                const std::string& outputPath, const ApkSignOptions& options = {});

}  // namespace tarnel
