// Demo samples for the upgrade package: the template archive "META-INF.zip"
// and a fresh Android test key pair for signapk (PKCS#8 DER private key and a
// self-signed X.509 certificate), made with OpenSSL at demo time.
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <filesystem>
#include <memory>
#include <system_error>
#include <vector>

#include "cli/demo.h"
#include "common/files.h"
#include "common/le.h"
#include "common/platform.h"
#include "common/secure.h"
#include "package/zip_archive.h"

namespace tarnel::demo {

namespace {

constexpr const char* kUpdateBinaryEntry = "META-INF/com/google/android/update-binary";
constexpr const char* kUpdaterScriptEntry = "META-INF/com/google/android/updater-script";
constexpr int kTestKeyBits = 2048;
constexpr long kCertValiditySeconds = 20L * 365 * 24 * 3600;

constexpr const char* kUpdateBinary =
    "#!/sbin/sh\n"
    "# Demo update binary: reports itself on the recovery console and succeeds.\n"
    "# Arguments: API version, command pipe descriptor, package path.\n"
    "echo \"ui_print Tarnel demo package $3\" > /proc/self/fd/$2\n"
    "echo \"ui_print\" > /proc/self/fd/$2\n"
    "exit 0\n";

constexpr const char* kUpdaterScript =
    "ui_print(\"Tarnel demo upgrade package\");\n"
    "show_progress(1.000000, 0);\n"
    "set_progress(1.000000);\n";

struct BioFree {
  void operator()(BIO* b) const { BIO_free(b); }
};
struct X509Free {
  void operator()(X509* x) const { X509_free(x); }
};
struct P8Free {
  void operator()(PKCS8_PRIV_KEY_INFO* p) const { PKCS8_PRIV_KEY_INFO_free(p); }
};
struct PKeyFree {
  void operator()(EVP_PKEY* k) const { EVP_PKEY_free(k); }
};

bool WriteWhole(const std::string& path, const void* data, size_t n, bool ownerOnly) {
  OutFile out;
  return out.Create(path, ownerOnly) && out.Write(data, n) && out.Commit();
}

bool WriteTestKeyPair(const std::string& inputDir, std::string& error) {
  std::unique_ptr<EVP_PKEY, PKeyFree> key(EVP_PKEY_Q_keygen(nullptr, nullptr, "RSA", size_t{kTestKeyBits}));
  if (!key) {
    error = "cannot generate the RSA test key";
    return false;
  }

  // Private key: PKCS#8 PrivateKeyInfo, DER, readable by the owner only.
  std::unique_ptr<PKCS8_PRIV_KEY_INFO, P8Free> p8(EVP_PKEY2PKCS8(key.get()));
  const int derLength = p8 ? i2d_PKCS8_PRIV_KEY_INFO(p8.get(), nullptr) : -1;
  if (derLength <= 0) {
    error = "cannot encode the test private key";
    return false;
  }
  SecureBytes der(static_cast<size_t>(derLength));
  unsigned char* cursor = der.data();
  if (i2d_PKCS8_PRIV_KEY_INFO(p8.get(), &cursor) != derLength ||
      !WriteWhole(inputDir + kTestKeyPk8, der.data(), der.size(), true)) {
    error = "cannot write " + inputDir + kTestKeyPk8;
    return false;
  }

  // Certificate: self-signed, SHA-256, version 3.
  std::unique_ptr<X509, X509Free> cert(X509_new());
  X509_NAME* name = cert ? X509_get_subject_name(cert.get()) : nullptr;
  const auto* cn = reinterpret_cast<const unsigned char*>("Tarnel demo test key");
  const auto* org = reinterpret_cast<const unsigned char*>("Tarnel demo");
  bool ok = cert && X509_set_version(cert.get(), X509_VERSION_3) == 1 &&
            ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), 1) == 1 &&
            X509_gmtime_adj(X509_getm_notBefore(cert.get()), 0) != nullptr &&
            X509_gmtime_adj(X509_getm_notAfter(cert.get()), kCertValiditySeconds) != nullptr &&
            X509_set_pubkey(cert.get(), key.get()) == 1 && name != nullptr &&
            X509_NAME_add_entry_by_txt(name, "O", MBSTRING_ASC, org, -1, -1, 0) == 1 &&
            X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, cn, -1, -1, 0) == 1 &&
            X509_set_issuer_name(cert.get(), name) == 1 && X509_sign(cert.get(), key.get(), EVP_sha256()) > 0;
  std::unique_ptr<BIO, BioFree> pem(BIO_new(BIO_s_mem()));
  ok = ok && pem && PEM_write_bio_X509(pem.get(), cert.get()) == 1;
  char* pemData = nullptr;
  const long pemLength = ok ? BIO_get_mem_data(pem.get(), &pemData) : 0;
  if (!ok || pemLength <= 0) {
    error = "cannot make the test certificate";
    return false;
  }
  if (!WriteWhole(inputDir + kTestKeyPem, pemData, static_cast<size_t>(pemLength), false)) {
    error = "cannot write " + inputDir + kTestKeyPem;
    return false;
  }
  return true;
}

// The template starts as an empty archive (a lone end record) and gets its
// two entries through the same writer that builds the upgrade package.
bool WriteTemplate(const std::string& inputDir, std::string& error) {
  const std::string finalPath = inputDir + kTemplateFile;
  const std::string stagePath = inputDir + ".META-INF.zip.part";
  const std::string binaryPath = inputDir + ".update-binary.part";
  const std::string scriptPath = inputDir + ".updater-script.part";
  auto cleanUp = [&] {
    RemoveFile(stagePath);
    RemoveFile(binaryPath);
    RemoveFile(scriptPath);
  };

  uint8_t emptyArchive[kZipEndSize] = {};
  PutLe32(emptyArchive, kZipEndSig);
  const std::string binary = kUpdateBinary;
  const std::string script = kUpdaterScript;
  bool ok = WriteWhole(stagePath, emptyArchive, sizeof emptyArchive, false) &&
            WriteWhole(binaryPath, binary.data(), binary.size(), false) &&
            WriteWhole(scriptPath, script.data(), script.size(), false);
  if (ok) {
    std::error_code ec;
    std::filesystem::permissions(binaryPath, std::filesystem::perms(0755), ec);
    CZipArchive archive;
    ok = archive.OpenForAppend(stagePath) && archive.AddDiskFile(binaryPath, kUpdateBinaryEntry) &&
         archive.AddDiskFile(scriptPath, kUpdaterScriptEntry);
    ok = archive.Close() && ok;
  }
  ok = ok && RenameReplace(stagePath, finalPath);
  cleanUp();
  if (!ok) error = "cannot write " + finalPath;
  return ok;
}

}  // namespace

bool WritePackageSamples(const std::string& inputDir, std::string& error) {
  return WriteTemplate(inputDir, error) && WriteTestKeyPair(inputDir, error);
}

}  // namespace tarnel::demo
