// The whole-file archive signer from arbitrary input archives: whatever the
// directory, the local headers and the entries claim, the reader refuses the
// input or signs it, without reading outside it.
// All in memory: the input in a memfd, the key, certificate and output on tmpfs.
// What each input costs is the reader's own work: the signing key is read
// once and small (512 bits: the signature is made and checked all the same),
// the workers run inline, and freed memory is reused soon, not fresh pages.
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "common/workers.h"
#include "fuzz_files.h"
#include "package/apk_signer.h"

namespace {

struct Files {
  std::string cert, key, output;
  EVP_PKEY* signingKey = nullptr;  // the key file's key, read once
};

// A fresh RSA-512 key (PKCS #8 DER) and a self-signed certificate (PEM).
const Files& SigningFiles() {
  static const Files files = [] {
    Files f;
    const std::string& folder = tarnel::fuzz::MemoryFolder();
    f.cert = folder + "cert.x509.pem";
    f.key = folder + "key.pk8";
    f.output = folder + "signed.zip";
    EVP_PKEY* key = EVP_RSA_gen(512);
    X509* cert = X509_new();
    if (key == nullptr || cert == nullptr) std::abort();
    X509_set_version(cert, 2);
    ASN1_INTEGER_set(X509_get_serialNumber(cert), 1);
    X509_gmtime_adj(X509_getm_notBefore(cert), 0);
    X509_gmtime_adj(X509_getm_notAfter(cert), 86400);
    X509_set_pubkey(cert, key);
    X509_NAME* name = X509_get_subject_name(cert);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("fuzz"), -1, -1, 0);
    X509_set_issuer_name(cert, name);
    if (X509_sign(cert, key, EVP_sha256()) <= 0) std::abort();
    FILE* c = std::fopen(f.cert.c_str(), "wb");
    FILE* k = std::fopen(f.key.c_str(), "wb");
    if (c == nullptr || k == nullptr || PEM_write_X509(c, cert) != 1 ||
        i2d_PKCS8PrivateKey_fp(k, key, nullptr, nullptr, 0, nullptr, nullptr) != 1)
      std::abort();
    std::fclose(c);
    std::fclose(k);
    X509_free(cert);
    f.signingKey = key;
    return f;
  }();
  return files;
}

}  // namespace

extern "C" const char* __asan_default_options() { return "quarantine_size_mb=8"; }

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  tarnel::SetWorkerThreads(1);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const Files& files = SigningFiles();
  static tarnel::fuzz::MemoryFile input("apk-input");
  input.Set(data, size);
  // The key was read once; each signed input is signed with it as a token
  // would sign, and checked with the certificate all the same.
  static const tarnel::ApkSignOptions options = [] {
    tarnel::ApkSignOptions o;
    o.keySigner = [](EVP_PKEY*, bool sha256, const uint8_t* digest, std::vector<uint8_t>& signature,
                     std::string&) {
      EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new(SigningFiles().signingKey, nullptr);
      size_t n = 0;
      const bool ok = ctx != nullptr && EVP_PKEY_sign_init(ctx) == 1 &&
                      EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_PKCS1_PADDING) == 1 &&
                      EVP_PKEY_CTX_set_signature_md(ctx, sha256 ? EVP_sha256() : EVP_sha1()) == 1 &&
                      EVP_PKEY_sign(ctx, nullptr, &n, digest, sha256 ? 32 : 20) == 1 &&
                      (signature.resize(n), EVP_PKEY_sign(ctx, signature.data(), &n, digest, sha256 ? 32 : 20) == 1);
      EVP_PKEY_CTX_free(ctx);
      signature.resize(ok ? n : 0);
      return ok;
    };
    return o;
  }();
  const tarnel::ApkSignResult r = tarnel::SignApkWholeFile(files.cert, files.key, input.Path(), files.output, options);
  if (r.Ok() != r.message.empty()) __builtin_trap();
  std::remove(files.output.c_str());
  return 0;
}
