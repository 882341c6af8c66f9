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

#include <cstdint>
#include <functional>
#include <string>

namespace tarnel {

enum class ApkSignStatus {
  Signed,
  // signapk could sign this input, but not with bytes another signer can
  // write (an EC key, the pin-hint asset, an encrypted key): Java only.
  Refused,
  // signapk fails on this input too, or the output could not be written.
  Failed,
};

struct ApkSignResult {
  ApkSignStatus status = ApkSignStatus::Failed;
  std::string message;  // empty when signed
  [[nodiscard]] bool Ok() const { return status == ApkSignStatus::Signed; }
};

struct ApkSignOptions {
  // Deflates each entry in independent 128 KiB blocks on the worker threads
  // (as the ZIP writer does): a valid signed archive, the same whatever the
  // number of threads, but not signapk's bytes.
  bool parallelDeflate = false;
  // Called now and then with the input bytes handled so far and their total.
  std::function<void(uint64_t done, uint64_t total)> progress;
};

// Signs `inputPath` into `outputPath`. The output appears whole or not at all:
// on failure nothing is left under `outputPath` that was not there before.
[[nodiscard]] ApkSignResult SignApkWholeFile(const std::string& certPath, const std::string& keyPath,
                                             const std::string& inputPath, const std::string& outputPath,
                                             const ApkSignOptions& options = {});

}  // namespace tarnel
