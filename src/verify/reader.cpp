#include "verify/reader.h"

#include <openssl/crypto.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <vector>

#include "boot/key_list.h"
#include "common/model.h"
#include "common/paths.h"
#include "common/platform.h"
#include "common/reporter.h"
#include "verify/messages.h"

namespace tarnel::verify {

namespace {

// Every streaming check reads through a buffer of this size.
constexpr size_t kPiece = 1u << 20;

struct PKeyCtxFree {
  void operator()(EVP_PKEY_CTX* c) const { EVP_PKEY_CTX_free(c); }
};

}  // namespace

Keys::~Keys() {
  OPENSSL_cleanse(v1.data(), v1.size());
  OPENSSL_cleanse(v2.data(), v2.size());
  OPENSSL_cleanse(v3.data(), v3.size());
}

std::string FileResult::KindOrUnknown() const { return kind.empty() ? kUnknownFormat : kind; }

bool FileSource::Open(const std::string& path) {
  if (!file_.Open(path)) return false;
  size_ = file_.Size();
  return true;
}

bool FileSource::ReadAt(uint64_t offset, uint8_t* out, size_t n) {
  if (!InRange(offset, n, size_)) return false;
  return n == 0 || (file_.Seek(offset) && file_.ReadExact(out, n));
}

bool MemorySource::ReadAt(uint64_t offset, uint8_t* out, size_t n) {
  if (!InRange(offset, n, size_)) return false;
  if (n > 0) std::memcpy(out, data_ + offset, n);
  return true;
}

bool SliceSource::ReadAt(uint64_t offset, uint8_t* out, size_t n) {
  if (!InRange(offset, n, length_)) return false;
  return base_.ReadAt(offset_ + offset, out, n);
}

const uint8_t* MemorySource::InPlace(uint64_t offset, size_t n) {
  return InRange(offset, n, size_) ? data_ + offset : nullptr;
}

const uint8_t* SliceSource::InPlace(uint64_t offset, size_t n) {
  return InRange(offset, n, length_) ? base_.InPlace(offset_ + offset, n) : nullptr;
}

const uint8_t* ByteSource::View(uint64_t offset, size_t n, std::vector<uint8_t>& buffer) {
  if (const uint8_t* in = InPlace(offset, n)) return in;
  if (buffer.size() < n) buffer.resize(n);
  return ReadAt(offset, buffer.data(), n) ? buffer.data() : nullptr;
}

std::string DisplayName(const std::string& name) {
  const bool plain = std::none_of(name.begin(), name.end(), [](char c) {
    const auto u = static_cast<unsigned char>(c);
    return u < 0x20 || u == 0x7F;
  });
  if (plain) return name;
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out = "\"";
  for (const char c : name) {
    const auto u = static_cast<unsigned char>(c);
    switch (c) {
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      default:
        if (u < 0x20 || u == 0x7F) {
          out += "\\x";
          out += kDigits[u >> 4];
          out += kDigits[u & 15];
        } else {
          out += c;
        }
    }
  }
  out += '"';
  return out;
}

std::string Hex(const uint8_t* bytes, size_t n) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out;
  out.reserve(2 * n);
  for (size_t i = 0; i < n; ++i) {
    out += kDigits[bytes[i] >> 4];
    out += kDigits[bytes[i] & 15];
  }
  return out;
}

void Findings::FieldHex(const std::string& name, const uint8_t* bytes, size_t n) { FieldText(name, Hex(bytes, n)); }

void Findings::Fingerprint(const std::string& what, EVP_PKEY* key) {
  const std::string fp = PublicKeyFingerprint(key);
  r_.fingerprints.push_back(what + ": " + (fp.empty() ? std::string("(not an RSA public key)") : fp));
}

std::string PublicKeyFingerprint(EVP_PKEY* key) {
  if (key == nullptr) return {};
  unsigned char* der = nullptr;
  const int len = i2d_PUBKEY(key, &der);
  if (len <= 0 || der == nullptr) return {};
  uint8_t digest[32];
  unsigned int dlen = 0;
  const bool ok = EVP_Digest(der, static_cast<size_t>(len), digest, &dlen, EVP_sha256(), nullptr) == 1 && dlen == 32;
  OPENSSL_free(der);
  return ok ? Hex(digest, 32) : std::string();
}

bool Sha256Range(ByteSource& src, uint64_t offset, uint64_t length, uint8_t digest[32]) {
  if (!InRange(offset, length, src.Size())) return false;
  MdCtx md(EVP_MD_CTX_new());
  if (!md || EVP_DigestInit_ex(md.get(), EVP_sha256(), nullptr) != 1) return false;
  const auto buf = std::make_unique_for_overwrite<uint8_t[]>(static_cast<size_t>(std::min<uint64_t>(length, kPiece)));
  while (length > 0) {
    const size_t n = static_cast<size_t>(std::min<uint64_t>(length, kPiece));
    if (!src.ReadAt(offset, buf.get(), n) || EVP_DigestUpdate(md.get(), buf.get(), n) != 1) return false;
    offset += n;
    length -= n;
  }
  unsigned int dlen = 0;
  return EVP_DigestFinal_ex(md.get(), digest, &dlen) == 1 && dlen == 32;
}

bool FindOtherByte(ByteSource& src, uint64_t offset, uint64_t length, uint8_t value, uint64_t& at) {
  at = UINT64_MAX;
  if (!InRange(offset, length, src.Size())) return false;
  const auto buf = std::make_unique_for_overwrite<uint8_t[]>(static_cast<size_t>(std::min<uint64_t>(length, kPiece)));
  while (length > 0) {
    const size_t n = static_cast<size_t>(std::min<uint64_t>(length, kPiece));
    if (!src.ReadAt(offset, buf.get(), n)) return false;
    for (size_t i = 0; i < n; ++i) {
      if (buf[i] != value) {
        at = offset + i;
        return true;
      }
    }
    offset += n;
    length -= n;
  }
  return true;
}

struct MacStream::Impl {
  CipherCtx ctx{EVP_CIPHER_CTX_new()};
  std::vector<uint8_t> out;
  std::array<uint8_t, 16> last{};
  uint64_t fed = 0;
  bool ok = false;
  ~Impl() { OPENSSL_cleanse(last.data(), last.size()); }
};

MacStream::MacStream(const Key128& key) : impl_(std::make_unique<Impl>()) {
  static constexpr uint8_t kZeroIv[16] = {};
  impl_->ok = impl_->ctx && EVP_EncryptInit_ex(impl_->ctx.get(), EVP_aes_128_cbc(), nullptr, key.data(), kZeroIv) == 1 &&
              EVP_CIPHER_CTX_set_padding(impl_->ctx.get(), 0) == 1;
}

MacStream::~MacStream() = default;

bool MacStream::Update(const uint8_t* data, size_t n) {
  Impl& m = *impl_;
  while (m.ok && n > 0) {
    const size_t piece = std::min(n, kPiece);
    // The output buffer grows with the largest piece fed, up to 1 MiB.
    if (m.out.size() < piece + 32) m.out.resize(piece + 32);
    int outLen = 0;
    if (EVP_EncryptUpdate(m.ctx.get(), m.out.data(), &outLen, data, static_cast<int>(piece)) != 1 || outLen < 0) {
      m.ok = false;
      break;
    }
    if (outLen >= 16) std::memcpy(m.last.data(), m.out.data() + outLen - 16, 16);
    m.fed += piece;
    data += piece;
    n -= piece;
  }
  return m.ok;
}

bool MacStream::UpdateRange(ByteSource& src, uint64_t offset, uint64_t length) {
  if (!InRange(offset, length, src.Size())) return false;
  const auto buf = std::make_unique_for_overwrite<uint8_t[]>(static_cast<size_t>(std::min<uint64_t>(length, kPiece)));
  while (length > 0) {
    const size_t n = static_cast<size_t>(std::min<uint64_t>(length, kPiece));
    if (!src.ReadAt(offset, buf.get(), n) || !Update(buf.get(), n)) return false;
    offset += n;
    length -= n;
  }
  return true;
}

bool MacStream::Matches(const uint8_t expected[16]) {
  Impl& m = *impl_;
  if (!m.ok || m.fed == 0 || m.fed % 16 != 0) return false;
  return CRYPTO_memcmp(m.last.data(), expected, 16) == 0;
}

bool RsaVerifyDigest(EVP_PKEY* key, const uint8_t digest[32], const uint8_t* signature, size_t n) {
  if (key == nullptr) return false;
  std::unique_ptr<EVP_PKEY_CTX, PKeyCtxFree> ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, key, nullptr));
  return ctx && EVP_PKEY_verify_init(ctx.get()) == 1 &&
         EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING) == 1 &&
         EVP_PKEY_CTX_set_signature_md(ctx.get(), EVP_sha256()) == 1 &&
         EVP_PKEY_verify(ctx.get(), signature, n, digest, 32) == 1;
}

PKey PublicKeyFromBytes(const uint8_t* n, size_t nLen, const uint8_t* e, size_t eLen) {
  BigNum bn(BN_bin2bn(n, static_cast<int>(nLen), nullptr));
  BigNum be(BN_bin2bn(e, static_cast<int>(eLen), nullptr));
  if (!bn || !be || BN_is_zero(bn.get()) || BN_is_zero(be.get())) return nullptr;
  return RsaPublicKeyFromComponents(bn.get(), be.get());
}

bool LoadKeys(const std::string& keyListPath, Keys& out, std::string& why) {
  Workspace ws;
  RecordingReporter quiet;
  if (!IsRegularFile(keyListPath)) {
    why = Format(kKeysUnreadable, keyListPath.c_str());
    return false;
  }
  if (!LoadKeyListFile(ws, quiet, keyListPath) || ws.keyLines.size() != kKeyListLines) {
    why = Format(kKeysInvalid, keyListPath.c_str());
    return false;
  }
  KeyLines& lines = ws.keyLines;
  const auto publicKey = [&lines](size_t nLine, PKey& key) {
    BigNum n = KeyComponentFromLine(lines[nLine - 1]);
    BigNum e = KeyComponentFromLine(lines[nLine]);
    if (!n || !e || BN_is_zero(n.get()) || BN_is_zero(e.get())) return false;
    key = RsaPublicKeyFromComponents(n.get(), e.get());
    return key != nullptr;
  };
  bool ok = true;
  if (!publicKey(1, out.external)) {
    why = Format(kKeysBadKey, keyListPath.c_str(), "1-2");
    ok = false;
  } else if (!publicKey(9, out.externalPublic)) {
    why = Format(kKeysBadKey, keyListPath.c_str(), "9-10");
    ok = false;
  } else if (!publicKey(11, out.root)) {
    why = Format(kKeysBadKey, keyListPath.c_str(), "11-12");
    ok = false;
  }
  if (ok) {
    out.v1 = DecodeKey128(lines[22]);
    out.v2 = DecodeKey128(lines[21]);
    out.v3 = DecodeKey128(lines[20]);
    out.keyListPath = keyListPath;
  }
  lines.Clear();
  return ok;
}

void CheckSource(ByteSource& src, const std::string& name, const SiblingFinder& sibling, Findings& f, int depth) {
  if (src.Size() == 0) {
    f.Problem(kProbEmpty);
    return;
  }
  const std::string base = AfterLastSep(name);
  const std::string signSuffix = "_Sign.img";
  const bool namedSign = base.size() > signSuffix.size() &&
                         base.compare(base.size() - signSuffix.size(), signSuffix.size(), signSuffix) == 0;
  if (LooksLikeSectionFile(src)) {
    // X_Sign.img: the partner is X.img.
    const std::string imageName = namedSign ? base.substr(0, base.size() - signSuffix.size()) + ".img" : std::string();
    std::unique_ptr<ByteSource> image = (sibling && !imageName.empty()) ? sibling(imageName) : nullptr;
    if (!image) {
      f.Kind(kKindSectionFile);
      f.Problem(Format(kProbImageMissing, imageName.empty() ? "X.img beside X_Sign.img" : imageName.c_str()));
      return;
    }
    CheckSectionPair(*image, src, f);
    return;
  }
  if (LooksLikeMacRaw(src)) {
    CheckMacRaw(src, f, depth);
    return;
  }
  if (LooksLikeWholeImage(src)) {
    CheckWholeImage(src, f, depth);
    return;
  }
  // X.img of a pair: an Ext4 sparse image or a UBI image beside X_Sign.img.
  const std::string dotImg = ".img";
  if (!namedSign && base.size() > dotImg.size() &&
      base.compare(base.size() - dotImg.size(), dotImg.size(), dotImg) == 0 && sibling) {
    const std::string signName = base.substr(0, base.size() - dotImg.size()) + signSuffix;
    std::unique_ptr<ByteSource> signFile = sibling(signName);
    if (signFile) {
      CheckSectionPair(src, *signFile, f);
      return;
    }
  }
  if (LooksLikeBootImage(src)) {
    CheckBootImage(src, f);
    return;
  }
  uint64_t trailer = 0;
  if (FindMacTrailer(src, trailer)) {
    CheckMacTrailer(src, f, trailer);
    return;
  }
  if (LooksLikeSparse(src)) {
    f.Kind(kKindSparseImage);
    const std::string signName =
        base.size() > dotImg.size() ? base.substr(0, base.size() - dotImg.size()) + signSuffix : "X_Sign.img";
    f.Problem(Format(kProbSignFileMissing, signName.c_str()));
    return;
  }
  if (LooksLikeArchive(src)) {
    CheckArchive(src, f, depth);
    return;
  }
  f.Problem(kProbNoHeader);
}

namespace {

FileResult Finish(FileResult result) {
  result.ok = !result.kind.empty() && result.problems.empty() && !result.needsBoard && result.cannotCheck.empty();
  if (result.kind.empty() && result.problems.empty()) result.problems.push_back(kProbNoHeader);
  return result;
}

}  // namespace

FileResult CheckFile(const std::string& path, const Options& options) {
  FileResult result;
  result.file = path;
  // A FIFO, a device or a folder is refused before it is opened: reading
  // one could wait forever or never end.
  const PathKind kind = GetPathKind(path);
  if (kind == PathKind::Folder || kind == PathKind::Other) {
    result.problems.push_back(kProbNotRegular);
    return Finish(std::move(result));
  }
  FileSource src;
  if (!src.Open(path)) {
    result.problems.push_back(kProbUnreadable);
    return Finish(std::move(result));
  }
  const std::string folder = FolderPart(path);
  const SiblingFinder sibling = [&folder](const std::string& name) -> std::unique_ptr<ByteSource> {
    auto other = std::make_unique<FileSource>();
    if (!IsRegularFile(folder + name) || !other->Open(folder + name)) return nullptr;
    return other;
  };
  Findings f(result, options);
  CheckSource(src, path, sibling, f, 0);
  return Finish(std::move(result));
}

FileResult CheckBytes(const uint8_t* data, size_t size, const uint8_t* signFile, size_t signSize,
                      const Options& options) {
  FileResult result;
  result.file = "X.img";
  MemorySource src(data, size);
  const SiblingFinder sibling = [signFile, signSize](const std::string& name) -> std::unique_ptr<ByteSource> {
    if (signFile == nullptr || name != "X_Sign.img") return nullptr;
    return std::make_unique<MemorySource>(signFile, signSize);
  };
  Findings f(result, options);
  CheckSource(src, result.file, sibling, f, 0);
  return Finish(std::move(result));
}

}  // namespace tarnel::verify
