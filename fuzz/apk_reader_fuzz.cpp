// The whole-file archive signer from arbitrary input archives: whatever the
// directory, the local headers and the entries claim, the reader refuses the
// input or signs it, without reading outside it; what it signs is an archive
// whose end record and directory lie where its comment says, and which the
// reader takes in again; a refused input leaves no output behind.
// All in memory: the input in a memfd, the key, certificate and output on tmpfs.
// What each input costs is the reader's own work: the certificate and key are
// read once (512 bits: the signature is made and checked all the same), the
// workers run inline, and freed memory is reused soon, not fresh pages.
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "common/le.h"
#include "common/workers.h"
#include "fuzz_files.h"
#include "package/apk_signer.h"

namespace {

// A fresh RSA-512 key (PKCS #8 DER) and a self-signed certificate (PEM),
// written to tmpfs and read back as an identity.
std::shared_ptr<const tarnel::ApkSigningIdentity> MakeIdentity(const char* name) {
  const std::string& folder = tarnel::fuzz::MemoryFolder();
  const std::string certPath = folder + name + ".x509.pem";
  const std::string keyPath = folder + name + ".pk8";
  EVP_PKEY* key = EVP_RSA_gen(512);
  X509* cert = X509_new();
  if (key == nullptr || cert == nullptr) std::abort();
  X509_set_version(cert, 2);
  ASN1_INTEGER_set(X509_get_serialNumber(cert), 1);
  X509_gmtime_adj(X509_getm_notBefore(cert), 0);
  X509_gmtime_adj(X509_getm_notAfter(cert), 86400);
  X509_set_pubkey(cert, key);
  X509_NAME* subject = X509_get_subject_name(cert);
  X509_NAME_add_entry_by_txt(subject, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>(name), -1, -1, 0);
  X509_set_issuer_name(cert, subject);
  if (X509_sign(cert, key, EVP_sha256()) <= 0) std::abort();
  FILE* c = std::fopen(certPath.c_str(), "wb");
  FILE* k = std::fopen(keyPath.c_str(), "wb");
  if (c == nullptr || k == nullptr || PEM_write_X509(c, cert) != 1 ||
      i2d_PKCS8PrivateKey_fp(k, key, nullptr, nullptr, 0, nullptr, nullptr) != 1)
    std::abort();
  std::fclose(c);
  std::fclose(k);
  X509_free(cert);
  EVP_PKEY_free(key);
  tarnel::ApkSigningIdentityResult loaded = tarnel::LoadApkSigningIdentity(certPath, keyPath);
  if (!loaded.result.Ok() || !loaded.identity) std::abort();
  return loaded.identity;
}

std::vector<uint8_t> ReadBack(const std::string& path) {
  std::vector<uint8_t> bytes;
  FILE* f = std::fopen(path.c_str(), "rb");
  if (f == nullptr) return bytes;
  uint8_t piece[4096];
  for (size_t n; (n = std::fread(piece, 1, sizeof piece, f)) > 0;) bytes.insert(bytes.end(), piece, piece + n);
  std::fclose(f);
  return bytes;
}

// A signed archive ends with its end record and a comment that fills the
// rest of the file, whose last 6 bytes are the signature's footer; the
// directory ends where the end record starts, and begins with a record.
bool EndsAsSigned(const std::vector<uint8_t>& b) {
  if (b.size() < 22 + 6) return false;
  const size_t comment = tarnel::GetLe16(b.data() + b.size() - 2);
  if (comment < 6 || b.size() < 22 + comment) return false;
  const uint8_t* end = b.data() + b.size() - comment - 22;
  const uint64_t endAt = b.size() - comment - 22;
  const uint64_t dirSize = tarnel::GetLe32(end + 12);
  const uint64_t dirOffset = tarnel::GetLe32(end + 16);
  const size_t signatureFromEnd = tarnel::GetLe16(b.data() + b.size() - 6);
  return tarnel::GetLe32(end) == 0x06054b50 && tarnel::GetLe16(end + 20) == comment &&
         dirOffset + dirSize == endAt && dirSize >= 46 && tarnel::GetLe32(b.data() + dirOffset) == 0x02014b50 &&
         tarnel::GetLe16(b.data() + b.size() - 4) == 0xFFFF && signatureFromEnd <= comment;
}

}  // namespace

extern "C" const char* __asan_default_options() { return "quarantine_size_mb=8"; }

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  tarnel::SetWorkerThreads(1);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const auto identity = MakeIdentity("fuzz");
  // Signing again is refused once in some 10^8 signatures on the new
  // signature's own bytes (one that holds an end record signature): a second
  // key then decides.
  static const auto other = MakeIdentity("other");
  static const std::string output = tarnel::fuzz::MemoryFolder() + "signed.zip";
  static const std::string again = tarnel::fuzz::MemoryFolder() + "again.zip";
  static tarnel::fuzz::MemoryFile input("apk-input");
  input.Set(data, size);
  const tarnel::ApkSignResult r = tarnel::SignApkWithIdentity(*identity, input.Path(), output);
  if (r.Ok() != r.message.empty()) __builtin_trap();
  // A refused input leaves nothing at the output's name.
  if (!r.Ok() && ::access(output.c_str(), F_OK) == 0) __builtin_trap();
  if (r.Ok()) {
    if (!EndsAsSigned(ReadBack(output))) __builtin_trap();
    if (!tarnel::SignApkWithIdentity(*identity, output, again).Ok() &&
        !tarnel::SignApkWithIdentity(*other, output, again).Ok())
      __builtin_trap();
    std::remove(again.c_str());
    std::remove(output.c_str());
  }
  return 0;
}
