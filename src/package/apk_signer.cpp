#include "package/apk_signer.h"

#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>
#include <zlib.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <future>
#include <mutex>
#include <thread>
#include <initializer_list>
#include <memory>
#include <optional>
#include <vector>

#include "common/files.h"
#include "common/le.h"
#include "common/platform.h"
#include "common/text.h"
#include "common/workers.h"
#include "package/block_deflate.h"
#include "package/messages.h"
#include "package/zip_archive.h"
#include "package/zip_format.h"

namespace tarnel {

namespace {

using Bytes = std::vector<uint8_t>;

constexpr size_t kPiece = 64 * 1024;
constexpr uint64_t kProgressEvery = 256u << 10;
// The compressed bytes of an entry deflated ahead of the writer stay in memory
// up to this much, then go to a file.
constexpr size_t kSpillInMemory = 2u << 20;
// The mode the ZIP writer gives a file whose mode names no file type.
constexpr uint32_t kUnixTypeMask = 0170000;
constexpr uint32_t kUnixRegular = 0100000;
// The DOS stamp of every entry: 2009-01-01 00:00:00.
constexpr uint16_t kDosTime = 0x0000;
constexpr uint16_t kDosDate = 0x3A21;
constexpr const char* kOtacertName = "META-INF/com/android/otacert";
constexpr const char* kPinHintsName = "assets/com.android.hints.pins.txt";
constexpr const char* kPinListName = "pinlist.meta";
constexpr const char* kCommentMessage = "signed by SignApk";
// Unix seconds beyond this are written as NTFS times.
constexpr int64_t kUpperUnixTime = 0x7FFFFFFF;
// Microseconds from 1601-01-01 to 1970-01-01, negated.
constexpr int64_t kWindowsEpochMicros = -11644473600000000LL;
constexpr uint64_t kWindowsTimeMissing = 0x8000000000000000ULL;
constexpr uint8_t kTimeFlagAccess = 0x2;
constexpr uint8_t kTimeFlagCreation = 0x4;

// ---------------------------------------------------------------- helpers

void Put16(Bytes& b, uint16_t v) {
  b.push_back(static_cast<uint8_t>(v));
  b.push_back(static_cast<uint8_t>(v >> 8));
}
void Put32(Bytes& b, uint32_t v) {
  Put16(b, static_cast<uint16_t>(v));
  Put16(b, static_cast<uint16_t>(v >> 16));
}
void Put64(Bytes& b, uint64_t v) {
  Put32(b, static_cast<uint32_t>(v));
  Put32(b, static_cast<uint32_t>(v >> 32));
}
uint64_t GetLe64(const uint8_t* p) { return GetLe32(p) | (uint64_t{GetLe32(p + 4)} << 32); }

// Strict UTF-8 (no overlongs, no surrogates, nothing past U+10FFFF) to UTF-16
// code units, the order Java's String.compareTo sorts by.
bool Utf8ToUtf16(const std::string& s, std::u16string& out) {
  out.clear();
  const auto* p = reinterpret_cast<const uint8_t*>(s.data());
  const size_t n = s.size();
  for (size_t i = 0; i < n;) {
    const uint8_t c = p[i];
    uint32_t cp = 0;
    size_t len = 0;
    if (c < 0x80) {
      cp = c;
      len = 1;
    } else if (c >= 0xC2 && c <= 0xDF) {
      cp = c & 0x1F;
      len = 2;
    } else if (c >= 0xE0 && c <= 0xEF) {
      cp = c & 0x0F;
      len = 3;
    } else if (c >= 0xF0 && c <= 0xF4) {
      cp = c & 0x07;
      len = 4;
    } else {
      return false;
    }
    if (i + len > n) return false;
    for (size_t k = 1; k < len; ++k) {
      if ((p[i + k] & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (p[i + k] & 0x3F);
    }
    if ((len == 3 && cp < 0x800) || (len == 4 && (cp < 0x10000 || cp > 0x10FFFF))) return false;
    if (cp >= 0xD800 && cp <= 0xDFFF) return false;
    if (cp >= 0x10000) {
      cp -= 0x10000;
      out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
    } else {
      out.push_back(static_cast<char16_t>(cp));
    }
    i += len;
  }
  return true;
}

bool IsLineTerminator(char16_t c) { return c == u'\n' || c == u'\r' || c == 0x85 || c == 0x2028 || c == 0x2029; }

// Old signature files signapk drops:
// ^(META-INF/((.*)[.](SF|RSA|DSA|EC)|com/android/otacert))|(\QMETA-INF/MANIFEST.MF\E)$
// matched against the whole name; "." stops at Java's line terminators.
bool IsDroppedSignatureFile(const std::u16string& name) {
  static const std::u16string kMetaInf = u"META-INF/";
  if (name == u"META-INF/MANIFEST.MF" || name == u"META-INF/com/android/otacert") return true;
  if (name.compare(0, kMetaInf.size(), kMetaInf) != 0) return false;
  const std::u16string rest = name.substr(kMetaInf.size());
  for (const std::u16string ext : {u".SF", u".RSA", u".DSA", u".EC"}) {
    if (rest.size() < ext.size() || rest.compare(rest.size() - ext.size(), ext.size(), ext) != 0) continue;
    const auto stem = rest.begin() + static_cast<std::ptrdiff_t>(rest.size() - ext.size());
    if (std::none_of(rest.begin(), stem, IsLineTerminator)) return true;
  }
  return false;
}

struct PKeyFree {
  void operator()(EVP_PKEY* k) const { EVP_PKEY_free(k); }
};
struct PKeyCtxFree {
  void operator()(EVP_PKEY_CTX* c) const { EVP_PKEY_CTX_free(c); }
};
struct MdCtxFree {
  void operator()(EVP_MD_CTX* c) const { EVP_MD_CTX_free(c); }
};
struct X509Free {
  void operator()(X509* x) const { X509_free(x); }
};
struct BioFree {
  void operator()(BIO* b) const { BIO_free(b); }
};
struct X509SigFree {
  void operator()(X509_SIG* s) const { X509_SIG_free(s); }
};
struct P8Free {
  void operator()(PKCS8_PRIV_KEY_INFO* p) const { PKCS8_PRIV_KEY_INFO_free(p); }
};
using PKey = std::unique_ptr<EVP_PKEY, PKeyFree>;

ApkSignResult Done() { return {ApkSignStatus::Signed, {}, {}}; }
ApkSignResult Fail(std::string message) { return {ApkSignStatus::Failed, std::move(message), {}}; }
ApkSignResult Refuse(std::string message) { return {ApkSignStatus::Refused, std::move(message), {}}; }

bool ReadWholeFile(const std::string& path, Bytes& out, uint64_t limit) {
  InFile in;
  if (!in.Open(path)) return false;
  const uint64_t size = in.Size();
  if (size > limit) return false;
  out.resize(static_cast<size_t>(size));
  return in.ReadExact(out.data(), out.size());
}

// ------------------------------------------------------------ DER pieces

void DerLength(Bytes& out, size_t n) {
  if (n < 0x80) {
    out.push_back(static_cast<uint8_t>(n));
    return;
  }
  uint8_t tmp[sizeof(size_t)];
  size_t k = 0;
  for (size_t v = n; v != 0; v >>= 8) tmp[k++] = static_cast<uint8_t>(v);
  out.push_back(static_cast<uint8_t>(0x80 | k));
  while (k > 0) out.push_back(tmp[--k]);
}

Bytes Tlv(uint8_t tag, std::initializer_list<const Bytes*> parts) {
  size_t n = 0;
  for (const Bytes* p : parts) n += p->size();
  Bytes out{tag};
  DerLength(out, n);
  for (const Bytes* p : parts) out.insert(out.end(), p->begin(), p->end());
  return out;
}

// One element of a DER buffer: where it starts and ends, and its content.
struct DerItem {
  uint8_t tag = 0;
  size_t start = 0, contentStart = 0, end = 0;
};

bool ReadDer(const Bytes& b, size_t pos, size_t limit, DerItem& item) {
  if (pos + 2 > limit) return false;
  item.tag = b[pos];
  if ((item.tag & 0x1F) == 0x1F) return false;  // high tag numbers do not occur here
  size_t p = pos + 1;
  size_t len = b[p++];
  if (len & 0x80) {
    const size_t k = len & 0x7F;
    if (k == 0 || k > 4 || p + k > limit) return false;
    len = 0;
    for (size_t i = 0; i < k; ++i) len = (len << 8) | b[p++];
  }
  if (len > limit - p) return false;
  item.start = pos;
  item.contentStart = p;
  item.end = p + len;
  return true;
}

// ------------------------------------------------------- certificate, key

struct SigningKey {
  Bytes certFile;       // the certificate file as it is: the otacert entry
  Bytes certDer;        // the certificate as embedded in the signature
  Bytes issuerAndSerial;
  bool sha256 = false;
  PKey certKey;  // the certificate's public key
  PKey key;
};

// The hash follows the certificate's own signature algorithm, the way signapk
// reads its Java name: SHA1withRSA and MD5withRSA give SHA-1, SHA256with...
// gives SHA-256, anything else is refused.
std::optional<bool> HashForCertificate(int nid) {
  switch (nid) {
    case NID_sha1WithRSAEncryption:
    case NID_sha1WithRSA:
    case NID_md5WithRSAEncryption:
      return false;
    case NID_sha256WithRSAEncryption:
    case NID_ecdsa_with_SHA256:
    case NID_dsa_with_SHA256:
      return true;
    default:
      return std::nullopt;
  }
}

// The bytes of the first certificate in a file: a DER file as it is (up to
// the end of its outer element), else the first CERTIFICATE block of a PEM file.
bool CertificateBytes(const Bytes& file, Bytes& der) {
  if (file[0] == 0x30) {
    DerItem outer;
    if (!ReadDer(file, 0, file.size(), outer)) return false;
    der.assign(file.begin(), file.begin() + static_cast<std::ptrdiff_t>(outer.end));
    return true;
  }
  std::unique_ptr<BIO, BioFree> bio(BIO_new_mem_buf(file.data(), static_cast<int>(file.size())));
  if (!bio) return false;
  for (;;) {
    char* name = nullptr;
    char* header = nullptr;
    unsigned char* data = nullptr;
    long length = 0;
    if (PEM_read_bio(bio.get(), &name, &header, &data, &length) != 1) return false;
    const bool found = std::strcmp(name, PEM_STRING_X509) == 0;
    if (found) der.assign(data, data + length);
    OPENSSL_free(name);
    OPENSSL_free(header);
    OPENSSL_free(data);
    if (found) return true;
  }
}

// True when the element at [pos, limit) and everything inside it is in the
// distinguished encoding, so that re-encoding it (as signapk's ASN.1 library
// does before embedding the certificate) gives the same bytes: minimal
// definite lengths, primitive strings, booleans 00/FF, minimal integers,
// zero padding bits, sorted sets, times in UTC ("Z") without trailing zeros.
bool IsDer(const Bytes& b, size_t pos, size_t limit, int depth = 0) {
  if (depth > 32) return false;
  while (pos < limit) {
    DerItem item;
    if (!ReadDer(b, pos, limit, item)) return false;
    const size_t length = item.end - item.contentStart;
    const size_t lengthBytes = item.contentStart - pos - 1;
    if (lengthBytes > 1 && (b[pos + 2] == 0 || (lengthBytes == 2 && length < 0x80))) return false;
    const uint8_t* c = b.data() + item.contentStart;
    const bool constructed = (item.tag & 0x20) != 0;
    const bool universal = (item.tag & 0xC0) == 0;
    const uint8_t number = item.tag & 0x1F;
    if (constructed) {
      if (universal && number != 16 && number != 17) return false;  // only SEQUENCE and SET
      if (!IsDer(b, item.contentStart, item.end, depth + 1)) return false;
      if (item.tag == 0x31) {
        // SET OF: the elements in ascending order of their encodings.
        const uint8_t* previous = nullptr;
        size_t previousLength = 0;
        for (size_t at = item.contentStart; at < item.end;) {
          DerItem element;
          if (!ReadDer(b, at, item.end, element)) return false;
          const uint8_t* e = b.data() + at;
          const size_t n = element.end - at;
          if (previous != nullptr &&
              std::lexicographical_compare(e, e + n, previous, previous + previousLength))
            return false;
          previous = e;
          previousLength = n;
          at = element.end;
        }
      }
    } else if (universal) {
      switch (number) {
        case 1:  // BOOLEAN
          if (length != 1 || (c[0] != 0 && c[0] != 0xFF)) return false;
          break;
        case 2:  // INTEGER
          if (length == 0 || (length > 1 && ((c[0] == 0 && c[1] < 0x80) || (c[0] == 0xFF && c[1] >= 0x80))))
            return false;
          break;
        case 3:  // BIT STRING
          if (length == 0 || c[0] > 7 || (length == 1 && c[0] != 0) ||
              (length > 1 && (c[length - 1] & ((1u << c[0]) - 1)) != 0))
            return false;
          break;
        case 5:  // NULL
          if (length != 0) return false;
          break;
        case 23:  // UTCTime
          if (length != 13 || c[12] != 'Z') return false;
          break;
        case 24: {  // GeneralizedTime
          if (length < 15 || c[length - 1] != 'Z') return false;
          const uint8_t* dot = std::find(c, c + length, '.');
          if (dot != c + length && (dot + 2 >= c + length || c[length - 2] == '0')) return false;
          break;
        }
        default:
          break;
      }
    }
    pos = item.end;
  }
  return true;
}

ApkSignResult LoadCertificate(const std::string& path, SigningKey& out) {
  const std::string unreadable = Format(kMsgApkCertUnreadable, path.c_str());
  if (!ReadWholeFile(path, out.certFile, 16u << 20) || out.certFile.empty()) return Fail(unreadable);
  if (!CertificateBytes(out.certFile, out.certDer)) return Fail(unreadable);
  const unsigned char* p = out.certDer.data();
  std::unique_ptr<X509, X509Free> cert(d2i_X509(nullptr, &p, static_cast<long>(out.certDer.size())));
  if (!cert || p != out.certDer.data() + out.certDer.size()) return Fail(unreadable);
  // signapk embeds the certificate (and names its issuer) re-encoded: only
  // a certificate in the distinguished encoding comes out as it went in.
  if (!IsDer(out.certDer, 0, out.certDer.size())) return Refuse(Format(kMsgApkCertNotDer, path.c_str()));

  // Certificate { tbsCertificate { [0] version?, serial, signature, issuer, ... } ... }
  const Bytes& d = out.certDer;
  DerItem certItem, tbs, item, serial, issuer;
  if (!ReadDer(d, 0, d.size(), certItem) || !ReadDer(d, certItem.contentStart, certItem.end, tbs) ||
      !ReadDer(d, tbs.contentStart, tbs.end, item))
    return Fail(unreadable);
  size_t pos = item.start;
  if (item.tag == 0xA0) pos = item.end;
  if (!ReadDer(d, pos, tbs.end, serial) || serial.tag != 0x02 || !ReadDer(d, serial.end, tbs.end, item) ||
      !ReadDer(d, item.end, tbs.end, issuer) || issuer.tag != 0x30)
    return Fail(unreadable);
  out.issuerAndSerial.assign(d.begin() + static_cast<std::ptrdiff_t>(issuer.start),
                             d.begin() + static_cast<std::ptrdiff_t>(issuer.end));
  out.issuerAndSerial.insert(out.issuerAndSerial.end(), d.begin() + static_cast<std::ptrdiff_t>(serial.start),
                             d.begin() + static_cast<std::ptrdiff_t>(serial.end));

  const int sigNid = X509_get_signature_nid(cert.get());
  const std::optional<bool> sha256 = HashForCertificate(sigNid);
  if (!sha256) {
    const char* name = OBJ_nid2ln(sigNid);
    return Fail(Format(kMsgApkCertAlgorithm, path.c_str(), name != nullptr ? name : "an unknown algorithm"));
  }
  out.sha256 = *sha256;
  out.certKey.reset(X509_get_pubkey(cert.get()));
  EVP_PKEY* pub = out.certKey.get();
  const int type = pub != nullptr ? EVP_PKEY_get_base_id(pub) : NID_undef;
  if (type == EVP_PKEY_EC) return Refuse(Format(kMsgApkCertEc, path.c_str()));
  if (type != EVP_PKEY_RSA) {
    const char* name = OBJ_nid2sn(type);
    return Fail(Format(kMsgApkCertKeyType, path.c_str(), name != nullptr ? name : "unknown"));
  }
  return Done();
}

ApkSignResult LoadKey(const std::string& path, SigningKey& out) {
  Bytes der;
  if (!ReadWholeFile(path, der, 1u << 20) || der.empty()) return Fail(Format(kMsgApkKeyUnreadable, path.c_str()));
  struct Wipe {
    Bytes& b;
    ~Wipe() { OPENSSL_cleanse(b.data(), b.size()); }
  } wipe{der};
  {
    const unsigned char* p = der.data();
    std::unique_ptr<X509_SIG, X509SigFree> encrypted(d2i_X509_SIG(nullptr, &p, static_cast<long>(der.size())));
    if (encrypted) return Refuse(Format(kMsgApkKeyEncrypted, path.c_str()));
  }
  const unsigned char* p = der.data();
  std::unique_ptr<PKCS8_PRIV_KEY_INFO, P8Free> info(
      d2i_PKCS8_PRIV_KEY_INFO(nullptr, &p, static_cast<long>(der.size())));
  if (info) out.key.reset(EVP_PKCS82PKEY(info.get()));
  if (!out.key) return Fail(Format(kMsgApkKeyUnreadable, path.c_str()));
  if (EVP_PKEY_get_base_id(out.key.get()) != EVP_PKEY_RSA) return Fail(Format(kMsgApkKeyNotRsa, path.c_str()));
  return Done();
}

// PKCS #1 v1.5 over the digest, checked with the key's public half before use.
bool SignDigest(EVP_PKEY* key, bool sha256, const uint8_t* digest, size_t digestLength, Bytes& signature) {
  const EVP_MD* md = sha256 ? EVP_sha256() : EVP_sha1();
  std::unique_ptr<EVP_PKEY_CTX, PKeyCtxFree> ctx(EVP_PKEY_CTX_new(key, nullptr));
  size_t n = 0;
  if (!ctx || EVP_PKEY_sign_init(ctx.get()) != 1 || EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING) != 1 ||
      EVP_PKEY_CTX_set_signature_md(ctx.get(), md) != 1 ||
      EVP_PKEY_sign(ctx.get(), nullptr, &n, digest, digestLength) != 1)
    return false;
  signature.resize(n);
  if (EVP_PKEY_sign(ctx.get(), signature.data(), &n, digest, digestLength) != 1) return false;
  signature.resize(n);
  std::unique_ptr<EVP_PKEY_CTX, PKeyCtxFree> check(EVP_PKEY_CTX_new(key, nullptr));
  return check && EVP_PKEY_verify_init(check.get()) == 1 &&
         EVP_PKEY_CTX_set_rsa_padding(check.get(), RSA_PKCS1_PADDING) == 1 &&
         EVP_PKEY_CTX_set_signature_md(check.get(), md) == 1 &&
         EVP_PKEY_verify(check.get(), signature.data(), signature.size(), digest, digestLength) == 1;
}

// The detached CMS SignedData, encoded the way BouncyCastle encodes it.
Bytes BuildCms(const SigningKey& k, const Bytes& signature) {
  static const Bytes kSha256Alg = {0x30, 0x0B, 0x06, 0x09, 0x60, 0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x02, 0x01};
  static const Bytes kSha1Alg = {0x30, 0x09, 0x06, 0x05, 0x2B, 0x0E, 0x03, 0x02, 0x1A, 0x05, 0x00};
  static const Bytes kSha256RsaAlg = {0x30, 0x0D, 0x06, 0x09, 0x2A, 0x86, 0x48, 0x86, 0xF7,
                                      0x0D, 0x01, 0x01, 0x0B, 0x05, 0x00};
  static const Bytes kRsaAlg = {0x30, 0x0D, 0x06, 0x09, 0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x01, 0x01, 0x05, 0x00};
  static const Bytes kDataType = {0x30, 0x0B, 0x06, 0x09, 0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x07, 0x01};
  static const Bytes kSignedDataOid = {0x06, 0x09, 0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x07, 0x02};
  static const Bytes kVersion1 = {0x02, 0x01, 0x01};
  const Bytes& digestAlg = k.sha256 ? kSha256Alg : kSha1Alg;
  const Bytes& sigAlg = k.sha256 ? kSha256RsaAlg : kRsaAlg;

  const Bytes digestAlgs = Tlv(0x31, {&digestAlg});
  const Bytes certs = Tlv(0xA0, {&k.certDer});
  const Bytes sid = Tlv(0x30, {&k.issuerAndSerial});
  const Bytes sig = Tlv(0x04, {&signature});
  const Bytes signerInfo = Tlv(0x30, {&kVersion1, &sid, &digestAlg, &sigAlg, &sig});
  const Bytes signerInfos = Tlv(0x31, {&signerInfo});
  const Bytes signedData = Tlv(0x30, {&kVersion1, &digestAlgs, &kDataType, &certs, &signerInfos});
  const Bytes content = Tlv(0xA0, {&signedData});
  return Tlv(0x30, {&kSignedDataOid, &content});
}

// ------------------------------------------------------ reading the input
//
// The input is read as java.util.zip.ZipFile reads it: the end record found
// within the last 64 KiB + 22 bytes, a zip64 end record honoured, the central
// directory taken to end right where the end record (or zip64 end record)
// starts, a stub before the archive allowed, every directory record checked
// before any entry is used.

struct InEntry {
  std::string name;
  std::u16string key;
  bool stored = false;
  uint32_t crc = 0;
  int64_t size = 0, csize = 0;  // as the directory (and its zip64 block) gives them
  int64_t dataLength = 0;       // the compressed bytes a reader takes
  uint64_t localOffset = 0;     // from the start of the file
  bool unix = false;
  uint32_t mode = 0;  // the high half of the external attributes
  std::optional<int64_t> atime, ctime;  // microseconds since 1970
};

class InputArchive {
 public:
  explicit InputArchive(std::string path) : path_(std::move(path)) {}

  [[nodiscard]] ApkSignResult Open() {
    if (!in_.Open(path_)) return Fail(Format(kMsgApkInputUnreadable, path_.c_str()));
    size_ = in_.Size();
    if (size_ == 0) return Fail(Format(kMsgApkInputEmpty, path_.c_str()));
    if (!FindEnd()) return Fail(Format(kMsgApkNoEndRecord, path_.c_str()));
    return ReadDirectory();
  }

  std::vector<InEntry>& Entries() { return entries_; }
  const std::string& Path() const { return path_; }
  InFile& File() { return in_; }
  [[nodiscard]] bool ReadAt(uint64_t offset, void* data, size_t n) {
    return offset <= size_ && n <= size_ - offset && in_.Seek(offset) && in_.ReadExact(data, n);
  }
  [[nodiscard]] uint64_t Size() const { return size_; }

  // Where the entry's data starts, after checking its local header.
  [[nodiscard]] bool DataStart(const InEntry& e, uint64_t& start) {
    uint8_t local[zip::loc::kSize];
    if (!ReadAt(e.localOffset, local, sizeof local) || GetLe32(local) != zip::loc::kSignature) return false;
    start = e.localOffset + zip::loc::kSize + GetLe16(local + zip::loc::kNameLength) +
            GetLe16(local + zip::loc::kExtraLength);
    return true;
  }

 private:
  bool FindEnd() {
    if (size_ < zip::end::kSize) return false;
    const uint64_t lowest = size_ > zip::end::kMaxComment + zip::end::kSize ? size_ - zip::end::kMaxComment - zip::end::kSize : 0;
    Bytes tail(static_cast<size_t>(size_ - lowest));
    if (!ReadAt(lowest, tail.data(), tail.size())) return false;
    for (size_t i = tail.size() - zip::end::kSize + 1; i-- > 0;) {
      const uint8_t* e = tail.data() + i;
      if (GetLe32(e) != zip::end::kSignature) continue;
      const int64_t endAt = static_cast<int64_t>(lowest + i);
      int64_t count = GetLe16(e + zip::end::kEntries);
      int64_t dirSize = GetLe32(e + zip::end::kDirectorySize);
      int64_t dirOffset = GetLe32(e + zip::end::kDirectoryOffset);
      const uint64_t commentLength = GetLe16(e + zip::end::kCommentLength);
      if (static_cast<uint64_t>(endAt) + zip::end::kSize + commentLength != size_) {
        // A comment that does not reach the end counts only when the records
        // it points at are there.
        const int64_t dirAt = endAt - dirSize;
        const int64_t base = dirAt - dirOffset;
        uint8_t sig[4];
        if (dirAt < 0 || base < 0 || !ReadAt(static_cast<uint64_t>(dirAt), sig, 4) ||
            GetLe32(sig) != zip::cen::kSignature || !ReadAt(static_cast<uint64_t>(base), sig, 4) ||
            GetLe32(sig) != zip::loc::kSignature)
          continue;
      }
      int64_t recordsEnd = endAt;
      uint8_t locator[zip::loc64::kSize];
      uint8_t end64[zip::end64::kSize];
      if (endAt >= static_cast<int64_t>(zip::loc64::kSize) &&
          ReadAt(static_cast<uint64_t>(endAt) - zip::loc64::kSize, locator, sizeof locator) &&
          GetLe32(locator) == zip::loc64::kSignature) {
        const uint64_t end64At = GetLe64(locator + zip::loc64::kEnd64Offset);
        if (ReadAt(end64At, end64, sizeof end64) && GetLe32(end64) == zip::end64::kSignature) {
          const auto size64 = static_cast<int64_t>(GetLe64(end64 + zip::end64::kDirectorySize));
          const auto offset64 = static_cast<int64_t>(GetLe64(end64 + zip::end64::kDirectoryOffset));
          const auto count64 = static_cast<int64_t>(GetLe64(end64 + zip::end64::kEntries));
          const bool agrees = (size64 == dirSize || dirSize == zip::kZip64Marker) &&
                              (offset64 == dirOffset || dirOffset == zip::kZip64Marker) &&
                              (count64 == count || count == zip::kZip64Marker16);
          if (agrees) {
            dirSize = size64;
            dirOffset = offset64;
            count = count64;
            recordsEnd = static_cast<int64_t>(end64At);
          }
        }
      }
      (void)count;  // the directory itself says how many records it holds
      recordsEnd_ = recordsEnd;
      dirSize_ = dirSize;
      dirOffset_ = dirOffset;
      return true;
    }
    return false;
  }

  ApkSignResult ReadDirectory() {
    const std::string bad = Format(kMsgApkBadDirectory, path_.c_str());
    if (dirSize_ < 0 || dirSize_ > recordsEnd_ || dirSize_ >= 0x7FFFFFFF - static_cast<int64_t>(zip::end::kSize))
      return Fail(bad);
    const int64_t dirAt = recordsEnd_ - dirSize_;
    base_ = dirAt - dirOffset_;
    if (dirOffset_ < 0 || base_ < 0) return Fail(bad);
    Bytes dir(static_cast<size_t>(dirSize_));
    if (!ReadAt(static_cast<uint64_t>(dirAt), dir.data(), dir.size())) return Fail(bad);

    size_t pos = 0;
    while (pos + zip::cen::kSize <= dir.size()) {
      const uint8_t* c = dir.data() + pos;
      if (GetLe32(c) != zip::cen::kSignature) return Fail(bad);
      const uint16_t flags = GetLe16(c + zip::cen::kFlags);
      const uint16_t method = GetLe16(c + zip::cen::kMethod);
      const size_t nameLength = GetLe16(c + zip::cen::kNameLength);
      const size_t extraLength = GetLe16(c + zip::cen::kExtraLength);
      const size_t commentLength = GetLe16(c + zip::cen::kCommentLength);
      const size_t nameAt = pos + zip::cen::kSize;
      InEntry e;
      if (nameAt + nameLength > dir.size()) return Fail(bad);
      e.name.assign(reinterpret_cast<const char*>(dir.data() + nameAt), nameLength);
      if ((flags & zip::kFlagEncrypted) != 0) return Fail(Format(kMsgApkEncryptedEntry, path_.c_str(), e.name.c_str()));
      if (method != zip::kMethodStored && method != zip::kMethodDeflated)
        return Fail(Format(kMsgApkBadMethod, path_.c_str(), e.name.c_str(), unsigned{method}));
      if (!Utf8ToUtf16(e.name, e.key)) return Fail(Format(kMsgApkBadName, path_.c_str()));
      const size_t extraAt = nameAt + nameLength;
      if (extraAt + extraLength > dir.size()) return Fail(bad);
      const uint8_t* extra = dir.data() + extraAt;
      const uint32_t compressed32 = GetLe32(c + zip::cen::kCompressedSize);
      const uint32_t size32 = GetLe32(c + zip::cen::kUncompressedSize);
      if (!CheckExtra(extra, extraLength, compressed32, size32))
        return Fail(Format(kMsgApkBadExtra, path_.c_str(), e.name.c_str()));

      e.stored = method == zip::kMethodStored;
      e.crc = GetLe32(c + zip::cen::kCrc);
      e.size = size32;
      e.csize = compressed32;
      ReadEntryExtra(extra, extraLength, e);
      int64_t dataLength = compressed32;
      int64_t size = size32;
      int64_t local = GetLe32(c + zip::cen::kLocalOffset);
      ReadZip64InOrder(extra, extraLength, size, dataLength, local);
      e.dataLength = dataLength;
      if (local < 0 || local > INT64_MAX - base_) return Fail(bad);
      e.localOffset = static_cast<uint64_t>(local + base_);
      const uint16_t madeBy = GetLe16(c + zip::cen::kVersionMadeBy);
      e.unix = (madeBy >> 8) == zip::kHostUnix;
      if (e.unix) e.mode = GetLe32(c + zip::cen::kExternalAttributes) >> 16;
      entries_.push_back(std::move(e));
      pos = extraAt + extraLength + commentLength;
    }
    if (pos != dir.size()) return Fail(bad);
    return Done();
  }

  // Extra blocks must lie inside the extra field; a zip64 block has one of
  // the sizes its fields allow and no negative sizes.
  static bool CheckExtra(const uint8_t* x, size_t n, uint32_t compressed, uint32_t size) {
    size_t off = 0;
    while (off + zip::extra::kHeaderSize <= n) {
      const uint16_t tag = GetLe16(x + off);
      const size_t blockSize = GetLe16(x + off + 2);
      off += zip::extra::kHeaderSize;
      if (off + blockSize > n) return false;
      if (tag == zip::extra::kZip64 && blockSize != 0) {
        if (blockSize != 8 && blockSize != 16 && blockSize != 24 && blockSize != 28) return false;
        if (size == zip::kZip64Marker && static_cast<int64_t>(GetLe64(x + off)) < 0) return false;
        if (compressed == zip::kZip64Marker && blockSize >= 16 && static_cast<int64_t>(GetLe64(x + off + 8)) < 0)
          return false;
      }
      off += blockSize;
    }
    return true;
  }

  // The entry's sizes and its access and creation times, as the JDK's
  // ZipEntry takes them from the directory's extra field: a zip64 size at
  // +0 and a compressed size at +8 (whether or not the size was there).
  static void ReadEntryExtra(const uint8_t* x, size_t n, InEntry& e) {
    size_t off = 0;
    while (off + zip::extra::kHeaderSize < n) {
      const uint16_t tag = GetLe16(x + off);
      const size_t sz = GetLe16(x + off + 2);
      off += zip::extra::kHeaderSize;
      if (off + sz > n) break;
      if (tag == zip::extra::kZip64) {
        if (e.size == zip::kZip64Marker && off + 8 <= n) e.size = static_cast<int64_t>(GetLe64(x + off));
        if (e.csize == zip::kZip64Marker && off + 16 <= n) e.csize = static_cast<int64_t>(GetLe64(x + off + 8));
      } else if (tag == zip::extra::kNtfs) {
        if (sz >= 32) {
          const uint8_t* t = x + off + 4;
          if (GetLe16(t) == 0x0001 && GetLe16(t + 2) == 24) {
            const auto fromWindows = [](uint64_t w) -> std::optional<int64_t> {
              if (w == kWindowsTimeMissing) return std::nullopt;
              return static_cast<int64_t>(w) / 10 + kWindowsEpochMicros;
            };
            // The modification time is read too, but the output never keeps it.
            e.atime = fromWindows(GetLe64(t + 12));
            e.ctime = fromWindows(GetLe64(t + 20));
          }
        }
      } else if (tag == zip::extra::kExtendedTime && sz > 0) {
        const uint8_t flag = x[off];
        size_t at = 1;
        if ((flag & 0x1) != 0 && at + 4 <= sz) at += 4;
        if ((flag & kTimeFlagAccess) != 0 && at + 4 <= sz) {
          e.atime = int64_t{static_cast<int32_t>(GetLe32(x + off + at))} * 1000000;
          at += 4;
        }
        if ((flag & kTimeFlagCreation) != 0 && at + 4 <= sz) {
          e.ctime = int64_t{static_cast<int32_t>(GetLe32(x + off + at))} * 1000000;
          at += 4;
        }
      }
      off += sz;
    }
  }

  // Where the data lies: the zip64 fields read in their standard order.
  static void ReadZip64InOrder(const uint8_t* x, size_t n, int64_t& size, int64_t& compressed, int64_t& local) {
    if (size != zip::kZip64Marker && compressed != zip::kZip64Marker && local != zip::kZip64Marker) return;
    size_t off = 0;
    while (off + zip::extra::kHeaderSize < n) {
      const uint16_t tag = GetLe16(x + off);
      size_t sz = GetLe16(x + off + 2);
      off += zip::extra::kHeaderSize;
      if (off + sz > n) return;
      if (tag == zip::extra::kZip64) {
        for (int64_t* field : {&size, &compressed, &local}) {
          if (*field != zip::kZip64Marker) continue;
          if (sz < 8 || off + 8 > n) return;
          *field = static_cast<int64_t>(GetLe64(x + off));
          sz -= 8;
          off += 8;
        }
        return;
      }
      off += sz;
    }
  }

  std::string path_;
  InFile in_;
  uint64_t size_ = 0;
  int64_t recordsEnd_ = 0, dirSize_ = 0, dirOffset_ = 0, base_ = 0;
  std::vector<InEntry> entries_;
};

// ---------------------------------------------------------------- writing

// What the central directory needs of an entry written.
struct OutEntry {
  std::string name;
  bool stored = false;
  bool first = false;
  uint32_t crc = 0;
  uint64_t csize = 0, size = 0, offset = 0;
  bool unix = false;
  uint32_t mode = 0;
  std::optional<int64_t> atime, ctime;
};

int64_t MicrosToSeconds(int64_t micros) { return micros / 1000000; }  // toward zero, as Java converts
uint64_t MicrosToWindows(int64_t micros) {
  return static_cast<uint64_t>((micros - kWindowsEpochMicros) * 10);
}

// The access and creation times of a stored entry: a UT block, or an NTFS
// block when a time does not fit 32 bits. The local form carries the times,
// the central form only the flag.
void PutTimes(Bytes& x, const OutEntry& e, bool central) {
  if (!e.atime && !e.ctime) return;
  const int64_t atime = e.atime ? MicrosToSeconds(*e.atime) : -1;
  const int64_t ctime = e.ctime ? MicrosToSeconds(*e.ctime) : -1;
  if (atime > kUpperUnixTime || ctime > kUpperUnixTime) {
    Put16(x, zip::extra::kNtfs);
    Put16(x, 32);
    Put32(x, 0);
    Put16(x, 0x0001);
    Put16(x, 24);
    Put64(x, kWindowsTimeMissing);
    Put64(x, e.atime ? MicrosToWindows(*e.atime) : kWindowsTimeMissing);
    Put64(x, e.ctime ? MicrosToWindows(*e.ctime) : kWindowsTimeMissing);
    return;
  }
  const uint8_t flag = static_cast<uint8_t>((e.atime ? kTimeFlagAccess : 0) | (e.ctime ? kTimeFlagCreation : 0));
  Put16(x, zip::extra::kExtendedTime);
  if (central) {
    Put16(x, 1);
    x.push_back(flag);
    return;
  }
  Put16(x, static_cast<uint16_t>(1 + (e.atime ? 4 : 0) + (e.ctime ? 4 : 0)));
  x.push_back(flag);
  if (e.atime) Put32(x, static_cast<uint32_t>(atime));
  if (e.ctime) Put32(x, static_cast<uint32_t>(ctime));
}

// The jar magic on the first entry, then signapk's (empty) alignment block on
// every stored entry.
void PutOwnExtra(Bytes& x, const OutEntry& e) {
  if (e.first) {
    Put16(x, zip::extra::kJarMagic);
    Put16(x, 0);
  }
  if (e.stored) {
    Put16(x, zip::extra::kAlignment);
    Put16(x, 2);
    Put16(x, 0);
  }
}

// The output file, hashed as it is written.
class SignedOutput {
 public:
  [[nodiscard]] bool Create(const std::string& path, bool sha256) {
    md_.reset(EVP_MD_CTX_new());
    return md_ && EVP_DigestInit_ex(md_.get(), sha256 ? EVP_sha256() : EVP_sha1(), nullptr) == 1 &&
           out_.Create(path);
  }
  [[nodiscard]] bool Write(const void* data, size_t n) {
    if (n == 0) return true;
    if (hashing_ && EVP_DigestUpdate(md_.get(), data, n) != 1) return false;
    offset_ += n;
    return out_.Write(data, n);
  }
  [[nodiscard]] bool Write(const Bytes& b) { return Write(b.data(), b.size()); }
  [[nodiscard]] bool FinishDigest(uint8_t* digest, unsigned& length) {
    hashing_ = false;
    return EVP_DigestFinal_ex(md_.get(), digest, &length) == 1;
  }
  [[nodiscard]] uint64_t Offset() const { return offset_; }
  [[nodiscard]] bool Commit() { return out_.Commit(); }

 private:
  OutFile out_;
  std::unique_ptr<EVP_MD_CTX, MdCtxFree> md_;
  bool hashing_ = true;
  uint64_t offset_ = 0;
};

class Deflater {
 public:
  ~Deflater() {
    if (ready_) deflateEnd(&zs_);
  }
  [[nodiscard]] bool Init() {
    ready_ = deflateInit2(&zs_, 6, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY) == Z_OK;
    return ready_;
  }
  z_stream& Stream() { return zs_; }

 private:
  z_stream zs_{};
  bool ready_ = false;
};

class Inflater {
 public:
  ~Inflater() {
    if (ready_) inflateEnd(&zs_);
  }
  [[nodiscard]] bool Init() {
    ready_ = inflateInit2(&zs_, -MAX_WBITS) == Z_OK;
    return ready_;
  }
  z_stream& Stream() { return zs_; }

 private:
  z_stream zs_{};
  bool ready_ = false;
};

Bytes CentralRecord(const OutEntry& e) {
  const bool csize64 = e.csize >= zip::kZip64Marker;
  const bool size64 = e.size >= zip::kZip64Marker;
  const bool offset64 = e.offset >= zip::kZip64Marker;
  const bool zip64 = csize64 || size64 || offset64;
  Bytes x;
  if (zip64) {
    Put16(x, zip::extra::kZip64);
    Put16(x, static_cast<uint16_t>(8 * (int{size64} + int{csize64} + int{offset64})));
    if (size64) Put64(x, e.size);
    if (csize64) Put64(x, e.csize);
    if (offset64) Put64(x, e.offset);
  }
  if (e.stored) PutTimes(x, e, true);
  PutOwnExtra(x, e);
  const uint16_t version = zip64 ? zip::kVersionZip64 : e.stored ? zip::kVersionStored : zip::kVersionDeflated;
  const uint16_t madeBy = static_cast<uint16_t>(version | (e.unix ? uint16_t{zip::kHostUnix} << 8 : 0));
  Bytes r;
  Put32(r, zip::cen::kSignature);
  Put16(r, madeBy);
  Put16(r, version);
  Put16(r, e.stored ? zip::kFlagUtf8Name : zip::kFlagUtf8Name | zip::kFlagDataDescriptor);
  Put16(r, e.stored ? zip::kMethodStored : zip::kMethodDeflated);
  Put16(r, kDosTime);
  Put16(r, kDosDate);
  Put32(r, e.crc);
  Put32(r, csize64 ? zip::kZip64Marker : static_cast<uint32_t>(e.csize));
  Put32(r, size64 ? zip::kZip64Marker : static_cast<uint32_t>(e.size));
  Put16(r, static_cast<uint16_t>(e.name.size()));
  Put16(r, static_cast<uint16_t>(x.size()));
  Put16(r, 0);  // comment
  Put16(r, 0);  // disk
  Put16(r, 0);  // internal attributes
  Put32(r, e.unix && e.mode != 0 ? e.mode << 16 : 0);
  Put32(r, offset64 ? zip::kZip64Marker : static_cast<uint32_t>(e.offset));
  r.insert(r.end(), e.name.begin(), e.name.end());
  r.insert(r.end(), x.begin(), x.end());
  return r;
}

// The central directory and the end records, up to (not including) the
// comment length, which is not signed.
Bytes DirectoryAndEnd(const std::vector<OutEntry>& entries, uint64_t directoryOffset) {
  Bytes b;
  for (const OutEntry& e : entries) {
    const Bytes r = CentralRecord(e);
    b.insert(b.end(), r.begin(), r.end());
  }
  const uint64_t directorySize = b.size();
  const uint64_t count = entries.size();
  const bool zip64 =
      directorySize >= zip::kZip64Marker || directoryOffset >= zip::kZip64Marker || count >= zip::kZip64Marker16;
  if (zip64) {
    const uint64_t end64At = directoryOffset + directorySize;
    Put32(b, zip::end64::kSignature);
    Put64(b, zip::end64::kSize - 12);
    Put16(b, zip::kVersionZip64);
    Put16(b, zip::kVersionZip64);
    Put32(b, 0);
    Put32(b, 0);
    Put64(b, count);
    Put64(b, count);
    Put64(b, directorySize);
    Put64(b, directoryOffset);
    Put32(b, zip::loc64::kSignature);
    Put32(b, 0);
    Put64(b, end64At);
    Put32(b, 1);
  }
  const uint16_t count16 = zip64 && count >= zip::kZip64Marker16 ? zip::kZip64Marker16 : static_cast<uint16_t>(count);
  Put32(b, zip::end::kSignature);
  Put16(b, 0);
  Put16(b, 0);
  Put16(b, count16);
  Put16(b, count16);
  Put32(b, directorySize >= zip::kZip64Marker ? zip::kZip64Marker : static_cast<uint32_t>(directorySize));
  Put32(b, directoryOffset >= zip::kZip64Marker ? zip::kZip64Marker : static_cast<uint32_t>(directoryOffset));
  return b;
}


// ------------------------------------------------------------ the entries

// One entry of the output: from the input archive, a file added, or bytes in
// memory (the certificate).
struct Source {
  std::string name;
  std::u16string key;
  bool stored = false;
  const InEntry* archived = nullptr;
  uint64_t dataAt = 0;  // where an archived entry's data starts
  std::string diskPath;
  uint64_t diskSize = 0;
  uint32_t diskMode = 0;
  const Bytes* memory = nullptr;
  uint64_t weight = 0;  // the input bytes it reads, for progress
};

// What the writer and the threads that deflate share.
struct Shared {
  std::string inputPath, outputPath;
  const ApkSignOptions* options = nullptr;
  std::atomic<bool> stop{false};
  std::atomic<uint64_t> done{0};
  uint64_t total = 0, reported = 0;  // reported: the writer's thread only
  std::thread::id writerThread;

  [[nodiscard]] ApkSignResult WriteFailed() const { return Fail(Format(kMsgApkWriteFailed, outputPath.c_str())); }
  // Counts input bytes handled; the writer's thread passes them on every
  // 256 KiB or so, and at the end.
  void Count(uint64_t n) {
    done += n;
    if (std::this_thread::get_id() == writerThread) Report();
  }
  void Report() {
    const uint64_t now = done.load();
    if (options->progress && now != reported && (now - reported >= kProgressEvery || now == total)) {
      reported = now;
      options->progress(now, total);
    }
  }
};

using Sink = std::function<bool(const uint8_t*, size_t)>;

// The plain bytes of a deflated source, in pieces, to `take`; false from
// `take` ends the reading as a write failure.
ApkSignResult ReadPlain(Shared& sh, const Source& s, const Sink& take) {
  if (s.memory != nullptr) {
    if (!s.memory->empty() && !take(s.memory->data(), s.memory->size())) return sh.WriteFailed();
    return Done();
  }
  Bytes in(kPiece);
  if (s.archived == nullptr) {
    // A file added is the file as it was when it was opened: one that grew
    // or shrank since is refused.
    ApkSignResult unreadable{ApkSignStatus::FileUnreadable, Format(kMsgApkFileUnreadable, s.diskPath.c_str()),
                             s.diskPath};
    InFile file;
    if (!file.Open(s.diskPath) || file.Size() != s.diskSize) return unreadable;
    file.AdviseSequential();
    for (uint64_t left = s.diskSize; left > 0;) {
      if (sh.stop) return sh.WriteFailed();
      const size_t n = static_cast<size_t>(std::min<uint64_t>(left, kPiece));
      if (!file.ReadExact(in.data(), n)) return unreadable;
      if (!take(in.data(), n)) return sh.WriteFailed();
      left -= n;
      sh.Count(n);
    }
    uint8_t extra = 0;
    if (file.Read(&extra, 1) != 0) return unreadable;
    return Done();
  }
  // A deflated entry of the input, inflated to the end of its stream.
  const InEntry& e = *s.archived;
  const ApkSignResult damaged = Fail(Format(kMsgApkBadData, sh.inputPath.c_str(), e.name.c_str()));
  InFile file;
  if (!file.Open(sh.inputPath)) return Fail(Format(kMsgApkInputUnreadable, sh.inputPath.c_str()));
  Inflater inflater;
  if (!inflater.Init()) return damaged;
  z_stream& zs = inflater.Stream();
  const uint64_t size = file.Size();
  const uint64_t available = s.dataAt <= size ? size - s.dataAt : 0;
  uint64_t left = std::min<uint64_t>(static_cast<uint64_t>(std::max<int64_t>(e.dataLength, 0)), available);
  if (left > 0 && !file.Seek(s.dataAt)) return damaged;
  Bytes plain(kPiece);
  // Past the last compressed byte the JDK's reader feeds one zero byte,
  // which can end a stream whose final block lacks only its last bits.
  bool padded = false;
  static const uint8_t kZero = 0;
  for (;;) {
    if (sh.stop) return sh.WriteFailed();
    zs.next_out = plain.data();
    zs.avail_out = static_cast<uInt>(plain.size());
    const int rc = inflate(&zs, Z_NO_FLUSH);
    if (rc != Z_OK && rc != Z_STREAM_END && rc != Z_BUF_ERROR) return damaged;
    const size_t got = plain.size() - zs.avail_out;
    if (got > 0 && !take(plain.data(), got)) return sh.WriteFailed();
    if (rc == Z_STREAM_END) break;
    if (got > 0) continue;
    // No progress: more input is needed.
    if (zs.avail_in != 0) return damaged;
    if (left > 0) {
      const size_t n = static_cast<size_t>(std::min<uint64_t>(left, kPiece));
      if (!file.ReadExact(in.data(), n)) return damaged;
      left -= n;
      sh.Count(n);
      zs.next_in = in.data();
      zs.avail_in = static_cast<uInt>(n);
    } else if (!padded) {
      padded = true;
      zs.next_in = const_cast<uint8_t*>(&kZero);
      zs.avail_in = 1;
    } else {
      return damaged;
    }
  }
  if (left > 0) sh.Count(left);
  return Done();
}

struct Packed {
  uint32_t crc = 0;
  uint64_t size = 0, csize = 0;
};

// A deflated source as one level-6 zlib stream (or in independent blocks on
// the worker threads, for the parallel mode), to `sink`.
ApkSignResult Compress(Shared& sh, const Source& s, const Sink& sink, Packed& packed) {
  uLong crc = crc32(0L, Z_NULL, 0);
  uint64_t size = 0, csize = 0;
  const Sink counted = [&](const uint8_t* p, size_t n) {
    csize += n;
    return sink(p, n);
  };
  if (sh.options->parallelDeflate) {
    BlockDeflater blocks(counted);
    ApkSignResult r = ReadPlain(sh, s, [&](const uint8_t* p, size_t n) {
      crc = crc32(crc, p, static_cast<uInt>(n));
      size += n;
      return blocks.Push(p, n);
    });
    if (!r.Ok()) return r;
    if (!blocks.Finish()) return sh.WriteFailed();
  } else {
    Deflater deflater;
    if (!deflater.Init()) return sh.WriteFailed();
    z_stream& zs = deflater.Stream();
    Bytes out(kPiece);
    const auto deflateSome = [&](const uint8_t* p, size_t n, bool finish) {
      zs.next_in = const_cast<uint8_t*>(p);
      zs.avail_in = static_cast<uInt>(n);
      for (;;) {
        zs.next_out = out.data();
        zs.avail_out = static_cast<uInt>(out.size());
        const int rc = deflate(&zs, finish ? Z_FINISH : Z_NO_FLUSH);
        if (rc == Z_STREAM_ERROR) return false;
        const size_t produced = out.size() - zs.avail_out;
        if (produced > 0 && !counted(out.data(), produced)) return false;
        if (finish ? rc == Z_STREAM_END : (zs.avail_in == 0 && zs.avail_out != 0)) return true;
      }
    };
    ApkSignResult r = ReadPlain(sh, s, [&](const uint8_t* p, size_t n) {
      crc = crc32(crc, p, static_cast<uInt>(n));
      size += n;
      return deflateSome(p, n, false);
    });
    if (!r.Ok()) return r;
    if (!deflateSome(nullptr, 0, true)) return sh.WriteFailed();
  }
  packed = {static_cast<uint32_t>(crc), size, csize};
  return Done();
}

// The compressed bytes of an entry deflated ahead of the writer: in memory up
// to a bound, then in a file beside the output (removed with the object).
class Spill {
 public:
  explicit Spill(std::string beside) : beside_(std::move(beside)) {}
  ~Spill() { Drop(); }
  Spill(const Spill&) = delete;
  Spill& operator=(const Spill&) = delete;

  [[nodiscard]] bool Write(const uint8_t* p, size_t n) {
    if (file_ == nullptr && memory_.size() + n <= kSpillInMemory) {
      // Grown by doubling, but never past the bound.
      if (memory_.size() + n > memory_.capacity())
        memory_.reserve(std::min(kSpillInMemory, std::max(memory_.size() + n, 2 * memory_.capacity())));
      memory_.insert(memory_.end(), p, p + n);
      return true;
    }
    if (file_ == nullptr) {
      file_ = CreateTempSibling(beside_, true, path_);
      if (file_ == nullptr) return false;
      if (!memory_.empty() && std::fwrite(memory_.data(), 1, memory_.size(), file_) != memory_.size()) return false;
      Bytes().swap(memory_);
    }
    return std::fwrite(p, 1, n, file_) == n;
  }

  // Passes everything written on, in order.
  [[nodiscard]] bool Replay(const Sink& sink) {
    if (file_ == nullptr) return memory_.empty() || sink(memory_.data(), memory_.size());
    const bool written = std::fflush(file_) == 0 && std::ferror(file_) == 0;
    std::fclose(file_);
    file_ = nullptr;
    InFile in;
    if (!written || !in.Open(path_)) return false;
    in.AdviseSequential();
    Bytes piece(kPiece);
    for (;;) {
      const size_t n = in.Read(piece.data(), piece.size());
      if (n == 0) return !in.Failed();
      if (!sink(piece.data(), n)) return false;
    }
  }

  void Drop() {
    if (file_ != nullptr) std::fclose(file_);
    file_ = nullptr;
    if (!path_.empty()) {
      (void)RemoveFile(path_);
      UnregisterLiveTempFile(path_);
      path_.clear();
    }
    Bytes().swap(memory_);
  }

 private:
  std::string beside_, path_;
  Bytes memory_;
  FILE* file_ = nullptr;
};

// A deflated entry, compressed by whichever thread takes it first: the writer
// straight into the output when the entry is next, any other thread (the
// writer too, while it waits) into a spill.
struct DeflateJob {
  const Source* source = nullptr;
  std::atomic<bool> taken{false};
  std::mutex mutex;
  std::condition_variable finished;
  bool done = false;
  ApkSignResult result;
  Packed packed;
  std::unique_ptr<Spill> spill;

  [[nodiscard]] bool Take() {
    bool expected = false;
    return taken.compare_exchange_strong(expected, true);
  }
  // Compresses into a spill; the job then counts as done.
  void RunAhead(Shared& sh) {
    try {
      if (sh.stop) {
        result = sh.WriteFailed();
      } else {
        spill = std::make_unique<Spill>(sh.outputPath);
        Spill& s = *spill;
        result = Compress(sh, *source, [&sh, &s](const uint8_t* p, size_t n) { return !sh.stop && s.Write(p, n); },
                          packed);
      }
    } catch (...) {
      result = sh.WriteFailed();
    }
    std::lock_guard<std::mutex> lock(mutex);
    done = true;
    finished.notify_all();
  }
};

Bytes LocalHeader(const OutEntry& o) {
  Bytes x;
  const bool zip64 = o.stored && o.size >= zip::kZip64Marker;
  if (zip64) {
    Put16(x, zip::extra::kZip64);
    Put16(x, 16);
    Put64(x, o.size);
    Put64(x, o.csize);
  }
  if (o.stored) PutTimes(x, o, false);
  PutOwnExtra(x, o);
  Bytes h;
  Put32(h, zip::loc::kSignature);
  if (o.stored) {
    Put16(h, zip64 ? zip::kVersionZip64 : zip::kVersionStored);
    Put16(h, zip::kFlagUtf8Name);
    Put16(h, zip::kMethodStored);
  } else {
    // CRC and sizes follow the data, in a descriptor.
    Put16(h, zip::kVersionDeflated);
    Put16(h, zip::kFlagUtf8Name | zip::kFlagDataDescriptor);
    Put16(h, zip::kMethodDeflated);
  }
  Put16(h, kDosTime);
  Put16(h, kDosDate);
  Put32(h, o.stored ? o.crc : 0);
  Put32(h, !o.stored ? 0 : zip64 ? zip::kZip64Marker : static_cast<uint32_t>(o.csize));
  Put32(h, !o.stored ? 0 : zip64 ? zip::kZip64Marker : static_cast<uint32_t>(o.size));
  Put16(h, static_cast<uint16_t>(o.name.size()));
  Put16(h, static_cast<uint16_t>(x.size()));
  h.insert(h.end(), o.name.begin(), o.name.end());
  h.insert(h.end(), x.begin(), x.end());
  return h;
}

Bytes Descriptor(const OutEntry& o) {
  Bytes d;
  Put32(d, zip::desc::kSignature);
  Put32(d, o.crc);
  if (o.csize >= zip::kZip64Marker || o.size >= zip::kZip64Marker) {
    Put64(d, o.csize);
    Put64(d, o.size);
  } else {
    Put32(d, static_cast<uint32_t>(o.csize));
    Put32(d, static_cast<uint32_t>(o.size));
  }
  return d;
}

// Writes the entries in order: the stored ones (copied, their size and CRC
// checked), then the deflated ones, compressed side by side on the worker
// threads a few entries ahead of the writer.
class Writer {
 public:
  Writer(Shared& sh, InputArchive& input, SignedOutput& out) : sh_(sh), input_(input), out_(out) {}

  std::vector<OutEntry>& Written() { return written_; }

  [[nodiscard]] ApkSignResult WriteStored(const Source& s) {
    OutEntry o = Begin(s.name, true);
    Bytes data;
    if (s.archived != nullptr) {
      const InEntry& e = *s.archived;
      const std::string& path = input_.Path();
      if (e.size != e.csize || e.size < 0) return Fail(Format(kMsgApkStoredMismatch, path.c_str(), e.name.c_str()));
      o.crc = e.crc;
      o.size = o.csize = static_cast<uint64_t>(e.size);
      o.unix = e.unix;
      o.mode = e.mode;
      o.atime = e.atime;
      o.ctime = e.ctime;
      if (!out_.Write(LocalHeader(o))) return sh_.WriteFailed();
      // The reader takes the directory's compressed length from the data
      // start (or up to the end of the file); the writer wants exactly the size.
      const uint64_t available = s.dataAt <= input_.Size() ? input_.Size() - s.dataAt : 0;
      const uint64_t take = std::min<uint64_t>(static_cast<uint64_t>(std::max<int64_t>(e.dataLength, 0)), available);
      if (take != o.size) return Fail(Format(kMsgApkStoredMismatch, path.c_str(), e.name.c_str()));
      uLong crc = crc32(0L, Z_NULL, 0);
      if (take > 0 && !input_.File().Seek(s.dataAt)) return Fail(Format(kMsgApkBadData, path.c_str(), e.name.c_str()));
      Bytes piece(kPiece);
      for (uint64_t left = take; left > 0;) {
        const size_t n = static_cast<size_t>(std::min<uint64_t>(left, kPiece));
        if (!input_.File().ReadExact(piece.data(), n)) return Fail(Format(kMsgApkBadData, path.c_str(), e.name.c_str()));
        crc = crc32(crc, piece.data(), static_cast<uInt>(n));
        if (!out_.Write(piece.data(), n)) return sh_.WriteFailed();
        left -= n;
        sh_.Count(n);
      }
      if (static_cast<uint32_t>(crc) != e.crc) return Fail(Format(kMsgApkStoredMismatch, path.c_str(), e.name.c_str()));
    } else {
      // A file too short to deflate, stored with its Unix mode as the ZIP
      // writer stores it (read whole before its header is written).
      const ApkSignResult r = ReadPlain(sh_, s, [&data](const uint8_t* p, size_t n) {
        data.insert(data.end(), p, p + n);
        return true;
      });
      if (!r.Ok()) return r;
      o.crc = static_cast<uint32_t>(crc32(crc32(0L, Z_NULL, 0), data.data(), static_cast<uInt>(data.size())));
      o.size = o.csize = data.size();
      o.unix = true;
      o.mode = s.diskMode;
      if (!out_.Write(LocalHeader(o)) || !out_.Write(data)) return sh_.WriteFailed();
    }
    written_.push_back(std::move(o));
    return Done();
  }

  [[nodiscard]] ApkSignResult WriteDeflated(const std::vector<const Source*>& sources) {
    // One thread deflates (the writer, straight into the output) with one
    // thread, in the parallel mode (whose blocks use the workers) and for a
    // single entry.
    const unsigned threads = sh_.options->parallelDeflate || sources.size() < 2 ? 1 : WorkerThreads();
    std::vector<std::unique_ptr<DeflateJob>> jobs;
    for (const Source* s : sources) {
      jobs.push_back(std::make_unique<DeflateJob>());
      jobs.back()->source = s;
    }
    // Declared after the jobs, so that it waits for its tasks before they go;
    // the guard after it stops what is still running on the way out.
    std::optional<TaskPool> pool;
    if (threads > 1) pool.emplace(threads - 1, /*ownThread=*/true);
    struct StopOnExit {
      std::atomic<bool>& stop;
      ~StopOnExit() { stop = true; }
    } guard{sh_.stop};
    std::vector<std::future<void>> tasks;
    size_t submitted = 1;  // the first is the writer's
    for (size_t i = 0; i < jobs.size(); ++i) {
      // A window of entries ahead of the writer, twice as many as the
      // threads: while the writer deflates one it took, the workers find the
      // next ones queued rather than wait for the writer to move on (entries
      // that deflate at different speeds left a worker idle).
      for (; pool && submitted < jobs.size() && submitted < i + 2 * threads; ++submitted) {
        DeflateJob* job = jobs[submitted].get();
        Shared* sh = &sh_;
        tasks.push_back(pool->Submit([job, sh] {
          if (job->Take()) job->RunAhead(*sh);
        }));
      }
      ApkSignResult r = WriteOne(*jobs[i], jobs, i + 1, submitted);
      jobs[i]->spill.reset();
      if (!r.Ok()) return r;
    }
    return Done();
  }

 private:
  OutEntry Begin(const std::string& name, bool stored) {
    OutEntry o;
    o.name = name;
    o.stored = stored;
    o.first = written_.empty();
    o.offset = out_.Offset();
    return o;
  }

  // The entry next in the output; jobs [ahead, submitted) may be stolen while
  // it is being compressed elsewhere.
  ApkSignResult WriteOne(DeflateJob& job, std::vector<std::unique_ptr<DeflateJob>>& jobs, size_t ahead,
                         size_t submitted) {
    OutEntry o = Begin(job.source->name, false);
    if (!out_.Write(LocalHeader(o))) return sh_.WriteFailed();
    const Sink toOutput = [this](const uint8_t* p, size_t n) { return out_.Write(p, n); };
    Packed packed;
    if (job.Take()) {
      ApkSignResult r = Compress(sh_, *job.source, toOutput, packed);
      if (!r.Ok()) return r;
    } else {
      for (;;) {
        {
          std::unique_lock<std::mutex> lock(job.mutex);
          if (job.done) break;
        }
        // Rather than wait, deflate an entry further ahead.
        DeflateJob* next = nullptr;
        for (size_t k = ahead; k < submitted && next == nullptr; ++k) {
          if (jobs[k]->Take()) next = jobs[k].get();
        }
        if (next != nullptr) {
          next->RunAhead(sh_);
          continue;
        }
        std::unique_lock<std::mutex> lock(job.mutex);
        job.finished.wait_for(lock, std::chrono::milliseconds(100), [&job] { return job.done; });
        lock.unlock();
        sh_.Report();
      }
      if (!job.result.Ok()) return job.result;
      if (!job.spill->Replay(toOutput)) return sh_.WriteFailed();
      packed = job.packed;
    }
    sh_.Report();
    o.crc = packed.crc;
    o.size = packed.size;
    o.csize = packed.csize;
    if (!out_.Write(Descriptor(o))) return sh_.WriteFailed();
    written_.push_back(std::move(o));
    return Done();
  }

  Shared& sh_;
  InputArchive& input_;
  SignedOutput& out_;
  std::vector<OutEntry> written_;
};


// Signs the entries (the otacert added last) into `outputPath`.
ApkSignResult SignEntries(const SigningKey& key, const std::string& keyPath, InputArchive& input,
                          std::vector<Source>& sources, const std::string& outputPath, const ApkSignOptions& options) {
  // Java's String.compareTo order; duplicates make signapk fail.
  std::stable_sort(sources.begin(), sources.end(), [](const Source& a, const Source& b) { return a.key < b.key; });
  for (size_t i = 1; i < sources.size(); ++i) {
    if (sources[i].key == sources[i - 1].key)
      return Fail(Format(kMsgApkDuplicate, input.Path().c_str(), sources[i].name.c_str()));
  }
  // Where each entry's data starts, read before any thread reads data.
  for (Source& s : sources) {
    if (s.archived != nullptr && !input.DataStart(*s.archived, s.dataAt))
      return Fail(Format(kMsgApkBadLocal, input.Path().c_str(), s.name.c_str()));
  }
  Source otacert;
  otacert.name = kOtacertName;
  otacert.memory = &key.certFile;

  Shared sh;
  sh.inputPath = input.Path();
  sh.outputPath = outputPath;
  sh.options = &options;
  sh.writerThread = std::this_thread::get_id();
  for (const Source& s : sources) sh.total += s.weight;

  SignedOutput out;
  if (!out.Create(outputPath, key.sha256)) return sh.WriteFailed();
  Writer writer(sh, input, out);
  std::vector<const Source*> deflated;
  for (const Source& s : sources) {
    if (!s.stored) {
      deflated.push_back(&s);
      continue;
    }
    ApkSignResult r = writer.WriteStored(s);
    if (!r.Ok()) return r;
  }
  deflated.push_back(&otacert);
  if (ApkSignResult r = writer.WriteDeflated(deflated); !r.Ok()) return r;
  sh.Report();

  const Bytes tail = DirectoryAndEnd(writer.Written(), out.Offset());
  if (!out.Write(tail)) return sh.WriteFailed();
  uint8_t digest[EVP_MAX_MD_SIZE];
  unsigned digestLength = 0;
  Bytes signature;
  if (!out.FinishDigest(digest, digestLength)) return sh.WriteFailed();
  if (options.keySigner) {
    std::string message;
    if (!options.keySigner(key.certKey.get(), key.sha256, digest, signature, message)) return Fail(message);
    // Checked as a token's signature is: with the certificate's key.
    std::unique_ptr<EVP_PKEY_CTX, PKeyCtxFree> check(EVP_PKEY_CTX_new(key.certKey.get(), nullptr));
    if (!check || EVP_PKEY_verify_init(check.get()) != 1 ||
        EVP_PKEY_CTX_set_rsa_padding(check.get(), RSA_PKCS1_PADDING) != 1 ||
        EVP_PKEY_CTX_set_signature_md(check.get(), key.sha256 ? EVP_sha256() : EVP_sha1()) != 1 ||
        EVP_PKEY_verify(check.get(), signature.data(), signature.size(), digest, digestLength) != 1)
      return Fail(Format(kMsgApkSignFailed, keyPath.c_str()));
  } else if (!SignDigest(key.key.get(), key.sha256, digest, digestLength, signature)) {
    return Fail(Format(kMsgApkSignFailed, keyPath.c_str()));
  }
  const Bytes cms = BuildCms(key, signature);

  // The comment: a message, the signature, and a footer that points at it.
  const size_t messageLength = std::strlen(kCommentMessage) + 1;
  const size_t total16 = messageLength + cms.size() + 6;
  if (total16 > 0xFFFF) return Fail(Format(kMsgApkCommentTooLong, outputPath.c_str(), total16));
  Bytes comment(kCommentMessage, kCommentMessage + messageLength);
  comment.insert(comment.end(), cms.begin(), cms.end());
  Put16(comment, static_cast<uint16_t>(cms.size() + 6));
  Put16(comment, 0xFFFF);
  Put16(comment, static_cast<uint16_t>(total16));
  for (size_t i = 0; i + 4 <= comment.size(); ++i) {
    if (GetLe32(comment.data() + i) == zip::end::kSignature)
      return Fail(Format(kMsgApkSpuriousEnd, outputPath.c_str()));
  }
  Bytes last;
  Put16(last, static_cast<uint16_t>(total16));
  last.insert(last.end(), comment.begin(), comment.end());
  if (!out.Write(last) || !out.Commit()) return sh.WriteFailed();
  return Done();
}

// The input's entries signapk keeps; the pin hints, which signapk turns into a
// file of its own, are refused.
ApkSignResult KeptEntries(InputArchive& input, std::vector<Source>& sources) {
  for (InEntry& e : input.Entries()) {
    if (e.name == kPinHintsName || e.name == std::string(kPinHintsName) + "/")
      return Refuse(Format(kMsgApkPinHints, input.Path().c_str(), e.name.c_str()));
  }
  for (const InEntry& e : input.Entries()) {
    if (!e.name.empty() && e.name.back() == '/') continue;
    if (e.name == kPinListName || IsDroppedSignatureFile(e.key)) continue;
    Source s;
    s.name = e.name;
    s.key = e.key;
    s.stored = e.stored;
    s.archived = &e;
    s.weight = static_cast<uint64_t>(std::max<int64_t>(e.dataLength, 0));
    sources.push_back(std::move(s));
  }
  return Done();
}

}  // namespace

struct ApkSigningIdentity {
  SigningKey key;
  std::string keyPath;
};

namespace {

// Signs the template's entries with `files` appended (see SignApkWithFiles).
ApkSignResult SignArchive(const ApkSigningIdentity& identity, const std::string& templatePath,
                          const std::vector<ApkAddedFile>& files, const std::string& outputPath,
                          const ApkSignOptions& options) {
  InputArchive input(templatePath);
  if (ApkSignResult r = input.Open(); !r.Ok()) return r;
  std::vector<Source> sources;
  if (ApkSignResult r = KeptEntries(input, sources); !r.Ok()) return r;

  // The files as the ZIP writer appends them: stored below 5 bytes, with the
  // mode of a regular file; nothing of 4 GiB or more.
  for (const ApkAddedFile& f : files) {
    const FileInfo info = StatPath(f.diskPath);
    if (info.kind != PathKind::File || info.size > kZipMaxOffset || f.entryName.empty() ||
        f.entryName.size() > 0xFFFF)
      return {ApkSignStatus::FileUnreadable, Format(kMsgApkFileUnreadable, f.diskPath.c_str()), f.diskPath};
    Source s;
    s.name = f.entryName;
    if (!Utf8ToUtf16(s.name, s.key)) return Fail(Format(kMsgApkBadName, templatePath.c_str()));
    // The name the archive would hold, as signapk filters it.
    if (s.name.back() == '/' || s.name == kPinListName || IsDroppedSignatureFile(s.key)) continue;
    if (s.name == kPinHintsName) return Refuse(Format(kMsgApkPinHints, templatePath.c_str(), s.name.c_str()));
    s.stored = info.size < kZipStoreBelow;
    s.diskPath = f.diskPath;
    s.diskSize = info.size;
    s.diskMode = (info.mode & kUnixTypeMask) == 0 ? info.mode | kUnixRegular : info.mode;
    s.weight = info.size;
    sources.push_back(std::move(s));
  }
  return SignEntries(identity.key, identity.keyPath, input, sources, outputPath, options);
}

}  // namespace

ApkSigningIdentityResult LoadApkSigningIdentity(const std::string& certPath, const std::string& keyPath, bool readKey) {
  auto identity = std::make_shared<ApkSigningIdentity>();
  identity->keyPath = keyPath;
  if (ApkSignResult r = LoadCertificate(certPath, identity->key); !r.Ok()) return {std::move(r), nullptr};
  if (readKey) {
    if (ApkSignResult r = LoadKey(keyPath, identity->key); !r.Ok()) return {std::move(r), nullptr};
  }
  return {Done(), std::move(identity)};
}

ApkSignResult SignApkWithIdentity(const ApkSigningIdentity& identity, const std::string& inputPath,
                                  const std::string& outputPath, const ApkSignOptions& options) {
  return SignArchive(identity, inputPath, {}, outputPath, options);
}

ApkSignResult SignApkWholeFile(const std::string& certPath, const std::string& keyPath, const std::string& inputPath,
                               const std::string& outputPath, const ApkSignOptions& options) {
  return SignApkWithFiles(certPath, keyPath, inputPath, {}, outputPath, options);
}

ApkSignResult SignApkWithFiles(const std::string& certPath, const std::string& keyPath,
                               const std::string& templatePath, const std::vector<ApkAddedFile>& files,
                               const std::string& outputPath, const ApkSignOptions& options) {
  const ApkSigningIdentityResult loaded = LoadApkSigningIdentity(certPath, keyPath, !options.keySigner);
  if (!loaded.result.Ok()) return loaded.result;
  return SignArchive(*loaded.identity, templatePath, files, outputPath, options);
}

}  // namespace tarnel
