// The upgrade archive: its directory, every entry (the signed images checked
// as their own kind), and the whole-file Android signature that signapk puts
// into the archive comment.
#include <openssl/bio.h>
#include <openssl/pkcs7.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <fcntl.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <memory>
#include <system_error>
#include <vector>

#include "common/files.h"
#include "common/le.h"
#include "common/paths.h"
#include "common/platform.h"
#include "package/upgrade_package.h"
#include "package/zip_archive.h"
#include "package/zip_format.h"
#include "verify/messages.h"
#include "verify/reader.h"

namespace tarnel::verify {

namespace {

namespace fs = std::filesystem;

// Offsets inside the records of the archive format.
constexpr size_t kEndOffEntriesHere = zip::end::kEntriesHere;
constexpr size_t kEndOffEntries = zip::end::kEntries;
constexpr size_t kEndOffDirSize = zip::end::kDirectorySize;
constexpr size_t kEndOffDirOffset = zip::end::kDirectoryOffset;
constexpr size_t kEndOffCommentLength = zip::end::kCommentLength;
constexpr size_t kEndOffDisk = zip::end::kDisk;  // and the directory's disk right after it
static_assert(zip::end::kDirectoryDisk == kEndOffDisk + 2);
constexpr size_t kCenOffFlags = zip::cen::kFlags;
constexpr size_t kCenOffMethod = zip::cen::kMethod;
constexpr size_t kCenOffCrc = zip::cen::kCrc;
constexpr size_t kCenOffCompressed = zip::cen::kCompressedSize;
constexpr size_t kCenOffSize = zip::cen::kUncompressedSize;
constexpr size_t kCenOffNameLength = zip::cen::kNameLength;
constexpr size_t kCenOffExtraLength = zip::cen::kExtraLength;
constexpr size_t kCenOffCommentLength = zip::cen::kCommentLength;
constexpr size_t kCenOffLocalOffset = zip::cen::kLocalOffset;
constexpr size_t kLocOffNameLength = zip::loc::kNameLength;
constexpr size_t kLocOffExtraLength = zip::loc::kExtraLength;
constexpr uint16_t kMethodStored = zip::kMethodStored;
constexpr uint16_t kMethodDeflated = zip::kMethodDeflated;
constexpr uint16_t kFlagEncrypted = zip::kFlagEncrypted;
// signapk's footer: the last 6 bytes of the comment.
constexpr size_t kFooterSize = 6;
constexpr size_t kPiece = 1u << 16;
constexpr uint64_t kMaxCertificateFile = 1u << 20;

struct Entry {
  std::string name;
  uint16_t flags = 0, method = 0;
  uint32_t crc = 0;
  uint64_t compressed = 0, size = 0, local = 0;
  uint64_t dataAt = 0;   // from the local header
  bool readable = false; // local header agrees with the directory
};

// Deflate cannot expand more than this: 258 bytes from two bits at best.
constexpr uint64_t kMaxDeflateRatio = 1032;

// Unpacked entries that are checked as files of their own go into a private
// scratch folder, at most one entry and its partner at a time, each removed
// right after its check (and by the interrupt handler).
class Scratch {
 public:
  Scratch() = default;
  ~Scratch() {
    if (!folder_.empty()) RemoveScratchFolder(folder_);
  }
  Scratch(const Scratch&) = delete;
  Scratch& operator=(const Scratch&) = delete;
  // The folder, made on first use; empty when it cannot be made.
  [[nodiscard]] const std::string& Folder() {
    if (folder_.empty() && !tried_) {
      tried_ = true;
      folder_ = MakeScratchFolder(Parent(), "tarnel-verify-");
    }
    return folder_;
  }
  [[nodiscard]] static std::string Parent() {
    std::error_code ec;
    const fs::path parent = fs::temp_directory_path(ec);
    return ec ? std::string("/tmp") : parent.string();
  }

 private:
  std::string folder_;
  bool tried_ = false;
};

// One unpacked entry in the scratch folder, removed when it goes away.
class ScratchFile {
 public:
  ScratchFile() = default;
  ~ScratchFile() { Remove(); }
  ScratchFile(const ScratchFile&) = delete;
  ScratchFile& operator=(const ScratchFile&) = delete;
  [[nodiscard]] bool Create(const std::string& path) {
    Remove();
    fd_ = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd_ < 0) return false;
    path_ = path;
    return true;
  }
  [[nodiscard]] bool Write(const uint8_t* data, size_t n) {
    while (n > 0) {
      const ssize_t w = ::write(fd_, data, n);
      if (w < 0 && errno == EINTR) continue;
      if (w <= 0) {
        full_ = w == 0 || errno == ENOSPC || errno == EDQUOT || errno == EFBIG;
        return false;
      }
      data += w;
      n -= static_cast<size_t>(w);
    }
    return true;
  }
  [[nodiscard]] bool Close() {
    const bool ok = fd_ >= 0 && ::close(fd_) == 0;
    if (!ok && errno != EINTR) full_ = errno == ENOSPC || errno == EDQUOT;
    fd_ = -1;
    return ok;
  }
  void Remove() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    if (!path_.empty()) ::unlink(path_.c_str());
    path_.clear();
  }
  [[nodiscard]] bool Full() const { return full_; }
  [[nodiscard]] const std::string& Path() const { return path_; }

 private:
  int fd_ = -1;
  bool full_ = false;
  std::string path_;
};

bool EndsWith(const std::string& s, const std::string& tail) {
  return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

// A plain file name that is checked as a file of its own.
bool UnpackableImage(const std::string& name) {
  return EndsWith(name, ".img") && name.find_first_of("/\\") == std::string::npos && name != ".img" &&
         name.find('\0') == std::string::npos && name.size() < 200;
}

enum class EntryRead { Ok, Bad, WriteFailed };

// Streams one entry's data, checks its size and CRC; writes it to `out`
// when given. Bad data is recorded as a problem; a failed write is not.
EntryRead ReadEntry(ByteSource& src, const Entry& e, ScratchFile* out, Findings& f) {
  const std::string where = Format(kProbEntryData, DisplayName(e.name).c_str());
  // Buffers sized by the entry, not filled: a small entry costs little.
  const size_t inSize = static_cast<size_t>(std::clamp<uint64_t>(e.compressed, 1, kPiece));
  const size_t plainSize = static_cast<size_t>(std::clamp<uint64_t>(e.size + 1, 1, kPiece));
  const auto inBuffer = std::make_unique_for_overwrite<uint8_t[]>(inSize);
  const auto plainBuffer = std::make_unique_for_overwrite<uint8_t[]>(plainSize);
  uint8_t* const in = inBuffer.get();
  uint8_t* const plain = plainBuffer.get();
  uLong crc = crc32(0L, Z_NULL, 0);
  uint64_t produced = 0;
  bool writeFailed = false;
  const auto take = [&](const uint8_t* data, size_t n) {
    produced += n;
    if (produced > e.size) return false;
    crc = crc32(crc, data, static_cast<uInt>(n));
    if (out != nullptr && !out->Write(data, n)) {
      writeFailed = true;
      return false;
    }
    return true;
  };
  const auto bad = [&] {
    if (writeFailed) return EntryRead::WriteFailed;
    f.Problem(where);
    return EntryRead::Bad;
  };
  if (e.method == kMethodStored) {
    if (e.compressed != e.size) return bad();
    for (uint64_t pos = 0; pos < e.size;) {
      const size_t n = static_cast<size_t>(std::min<uint64_t>(e.size - pos, inSize));
      if (!src.ReadAt(e.dataAt + pos, in, n) || !take(in, n)) return bad();
      pos += n;
    }
  } else {
    z_stream z{};
    if (inflateInit2(&z, -MAX_WBITS) != Z_OK) return bad();
    int status = Z_OK;
    uint64_t pos = 0;
    bool ok = true;
    while (ok && status != Z_STREAM_END) {
      if (z.avail_in == 0 && pos < e.compressed) {
        const size_t n = static_cast<size_t>(std::min<uint64_t>(e.compressed - pos, inSize));
        if (!src.ReadAt(e.dataAt + pos, in, n)) {
          ok = false;
          break;
        }
        pos += n;
        z.next_in = in;
        z.avail_in = static_cast<uInt>(n);
      }
      // All input may be taken while output is still pending in the
      // inflater (a full output buffer): it is asked again without new input
      // until it ends or can make no progress.
      z.next_out = plain;
      z.avail_out = static_cast<uInt>(plainSize);
      status = inflate(&z, Z_NO_FLUSH);
      const size_t got = plainSize - z.avail_out;
      if (status == Z_BUF_ERROR && got == 0) ok = false;  // the data ends before the stream
      else if (status != Z_OK && status != Z_STREAM_END && status != Z_BUF_ERROR) ok = false;
      if (ok && got > 0 && !take(plain, got)) ok = false;
    }
    inflateEnd(&z);
    if (!ok || pos - z.avail_in != e.compressed) return bad();
  }
  if (produced != e.size || crc != e.crc) return bad();
  return EntryRead::Ok;
}

// A read-only BIO over a range of a source, for the signature check.
struct RangeBio {
  ByteSource* src;
  uint64_t pos;
  uint64_t end;
};

int RangeRead(BIO* bio, char* out, int n) {
  auto* r = static_cast<RangeBio*>(BIO_get_data(bio));
  if (r == nullptr || n <= 0) return 0;
  const uint64_t left = r->end - r->pos;
  const size_t take = static_cast<size_t>(std::min<uint64_t>(left, static_cast<uint64_t>(n)));
  if (take == 0) return 0;
  if (!r->src->ReadAt(r->pos, reinterpret_cast<uint8_t*>(out), take)) return -1;
  r->pos += take;
  return static_cast<int>(take);
}

long RangeCtrl(BIO* bio, int cmd, long, void*) {
  auto* r = static_cast<RangeBio*>(BIO_get_data(bio));
  switch (cmd) {
    case BIO_CTRL_FLUSH:
      return 1;
    case BIO_CTRL_EOF:
      return r == nullptr || r->pos >= r->end ? 1 : 0;
    case BIO_CTRL_PENDING:
      return r == nullptr ? 0 : static_cast<long>(std::min<uint64_t>(r->end - r->pos, 0x7FFFFFFF));
    default:
      return 0;
  }
}

int RangeCreate(BIO* bio) {
  BIO_set_init(bio, 1);
  return 1;
}

const BIO_METHOD* RangeMethod() {
  static BIO_METHOD* method = [] {
    BIO_METHOD* m = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "tarnel byte range");
    if (m != nullptr) {
      BIO_meth_set_read(m, RangeRead);
      BIO_meth_set_ctrl(m, RangeCtrl);
      BIO_meth_set_create(m, RangeCreate);
    }
    return m;
  }();
  return method;
}

struct BioFree {
  void operator()(BIO* b) const { BIO_free_all(b); }
};
struct Pkcs7Free {
  void operator()(PKCS7* p) const { PKCS7_free(p); }
};
struct X509Free {
  void operator()(X509* x) const { X509_free(x); }
};
struct X509StackFree {
  void operator()(STACK_OF(X509) * s) const { sk_X509_pop_free(s, X509_free); }
};

// signapk's whole-file signature: a footer at the end of the comment points
// at a detached PKCS #7 signature over the archive up to its comment length.
void CheckAndroidSignature(ByteSource& src, uint64_t commentLength, Findings& f) {
  const uint64_t n = src.Size();
  uint8_t footer[kFooterSize];
  if (commentLength < kFooterSize || !src.ReadAt(n - kFooterSize, footer, sizeof footer) || footer[2] != 0xFF ||
      footer[3] != 0xFF || GetLe16(footer + 4) != commentLength) {
    f.Problem(kProbAndroidMissing);
    return;
  }
  const uint64_t start = GetLe16(footer);
  if (start <= kFooterSize || start > commentLength) {
    f.Problem(kProbAndroidSignature);
    return;
  }
  std::vector<uint8_t> der(static_cast<size_t>(start - kFooterSize));
  if (!src.ReadAt(n - start, der.data(), der.size())) {
    f.Problem(kProbAndroidSignature);
    return;
  }
  const unsigned char* p = der.data();
  std::unique_ptr<PKCS7, Pkcs7Free> p7(d2i_PKCS7(nullptr, &p, static_cast<long>(der.size())));
  if (!p7 || !PKCS7_type_is_signed(p7.get()) || p7->d.sign == nullptr) {
    f.Problem(kProbAndroidSignature);
    return;
  }
  if (STACK_OF(X509)* certs = p7->d.sign->cert) {
    for (int i = 0; i < sk_X509_num(certs); ++i) f.Fingerprint("Android signer", X509_get0_pubkey(sk_X509_value(certs, i)));
  }
  const Keys* keys = f.KeysOrNull();
  if (keys == nullptr) return;
  const std::string certPath = !f.Opts().androidCert.empty() ? f.Opts().androidCert
                                                              : FolderPart(keys->keyListPath) + kAndroidCertName;
  std::unique_ptr<X509, X509Free> cert;
  {
    // Read through InFile: a regular file of sane size only, never a FIFO.
    InFile in;
    std::vector<uint8_t> pem;
    if (in.Open(certPath) && in.Size() <= kMaxCertificateFile) {
      pem.resize(static_cast<size_t>(in.Size()));
      if (!in.ReadExact(pem.data(), pem.size())) pem.clear();
    }
    std::unique_ptr<BIO, BioFree> file(pem.empty() ? nullptr : BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
    if (file) cert.reset(PEM_read_bio_X509(file.get(), nullptr, nullptr, nullptr));
  }
  if (!cert) {
    f.Problem(Format(kProbAndroidCert, certPath.c_str()));
    return;
  }
  std::unique_ptr<STACK_OF(X509), X509StackFree> stack(sk_X509_new_null());
  if (!stack || sk_X509_push(stack.get(), cert.get()) <= 0) {
    f.Problem(kProbAndroidSignature);
    return;
  }
  cert.release();  // the stack owns it now
  RangeBio range{&src, 0, n - commentLength - 2};
  const BIO_METHOD* method = RangeMethod();
  std::unique_ptr<BIO, BioFree> data(method ? BIO_new(method) : nullptr);
  if (!data) {
    f.Problem(kProbAndroidSignature);
    return;
  }
  BIO_set_data(data.get(), &range);
  const int ok = PKCS7_verify(p7.get(), stack.get(), nullptr, data.get(), nullptr,
                              PKCS7_NOVERIFY | PKCS7_NOINTERN | PKCS7_BINARY | PKCS7_NOCHAIN);
  BIO_set_data(data.get(), nullptr);
  if (ok != 1 || range.pos != range.end) f.Problem(kProbAndroidSignature);
}

}  // namespace

bool LooksLikeArchive(ByteSource& src) {
  uint8_t head[4];
  return src.ReadAt(0, head, 4) && GetLe32(head) == kZipLocalHeaderSig;
}

bool CheckArchive(ByteSource& src, Findings& f, int depth) {
  f.Kind(kKindArchive);
  if (depth > kMaxDepth) return f.Problem(kProbNestedTooDeep);
  const uint64_t n = src.Size();
  if (n < kZipEndSize) return f.Problem(kProbDirectory);
  // The end record: the last one whose comment runs exactly to the end.
  const uint64_t tail = std::min<uint64_t>(n, kZipEndSize + kZipMaxComment);
  std::vector<uint8_t> buffer;
  const uint8_t* buf = src.View(n - tail, static_cast<size_t>(tail), buffer);
  if (buf == nullptr) return f.Problem(kProbTruncated);
  uint64_t endAt = UINT64_MAX;
  for (size_t i = static_cast<size_t>(tail) - kZipEndSize + 1; i-- > 0;) {
    if (GetLe32(buf + i) == kZipEndSig && GetLe16(buf + i + kEndOffCommentLength) == tail - i - kZipEndSize) {
      endAt = n - tail + i;
      break;
    }
  }
  if (endAt == UINT64_MAX) return f.Problem(kProbDirectory);
  const uint8_t* end = buf + (endAt - (n - tail));
  const uint64_t count = GetLe16(end + kEndOffEntries);
  const uint64_t dirSize = GetLe32(end + kEndOffDirSize);
  const uint64_t dirAt = GetLe32(end + kEndOffDirOffset);
  const uint64_t commentLength = GetLe16(end + kEndOffCommentLength);
  if (GetLe16(end + kEndOffDisk) != 0 || GetLe16(end + kEndOffDisk + 2) != 0 ||
      GetLe16(end + kEndOffEntriesHere) != count || dirAt + dirSize != endAt || dirSize > kZipMaxCentralDirectory)
    return f.Problem(kProbDirectory);
  std::vector<uint8_t> dir(static_cast<size_t>(dirSize));
  if (!src.ReadAt(dirAt, dir.data(), dir.size())) return f.Problem(kProbDirectory);

  std::vector<Entry> entries;
  size_t pos = 0;
  for (uint64_t i = 0; i < count; ++i) {
    if (dir.size() - pos < kZipCentralHeaderSize || GetLe32(dir.data() + pos) != kZipCentralHeaderSig)
      return f.Problem(kProbDirectory);
    const uint8_t* c = dir.data() + pos;
    const size_t recordSize = kZipCentralHeaderSize + GetLe16(c + kCenOffNameLength) +
                              GetLe16(c + kCenOffExtraLength) + GetLe16(c + kCenOffCommentLength);
    if (dir.size() - pos < recordSize) return f.Problem(kProbDirectory);
    Entry e;
    e.name.assign(reinterpret_cast<const char*>(c + kZipCentralHeaderSize), GetLe16(c + kCenOffNameLength));
    e.flags = GetLe16(c + kCenOffFlags);
    e.method = GetLe16(c + kCenOffMethod);
    e.crc = GetLe32(c + kCenOffCrc);
    e.compressed = GetLe32(c + kCenOffCompressed);
    e.size = GetLe32(c + kCenOffSize);
    e.local = GetLe32(c + kCenOffLocalOffset);
    entries.push_back(std::move(e));
    pos += recordSize;
  }
  if (pos != dir.size()) return f.Problem(kProbDirectory);

  // Before any data is read: every name once, every entry's bytes its own,
  // and no declared size that its compressed bytes cannot give. A directory
  // that lists one big entry many times would otherwise be unpacked as often.
  {
    std::vector<const Entry*> byName;
    for (const Entry& e : entries) byName.push_back(&e);
    std::sort(byName.begin(), byName.end(), [](const Entry* a, const Entry* b) { return a->name < b->name; });
    for (size_t i = 1; i < byName.size(); ++i)
      if (byName[i]->name == byName[i - 1]->name)
        return f.Problem(Format(kProbEntryTwice, DisplayName(byName[i]->name).c_str()));
  }
  for (const Entry& e : entries) {
    if (e.size / kMaxDeflateRatio > e.compressed)
      return f.Problem(Format(kProbEntrySize, DisplayName(e.name).c_str()));
  }
  for (Entry& e : entries) {
    f.Entry(Format("%s %llu bytes", DisplayName(e.name).c_str(), static_cast<unsigned long long>(e.size)));
    const std::string where = Format(kProbEntry, DisplayName(e.name).c_str());
    uint8_t local[kZipLocalHeaderSize];
    if (!src.ReadAt(e.local, local, sizeof local) || GetLe32(local) != kZipLocalHeaderSig) {
      f.Problem(where);
      continue;
    }
    const uint64_t nameLength = GetLe16(local + kLocOffNameLength);
    e.dataAt = e.local + kZipLocalHeaderSize + nameLength + GetLe16(local + kLocOffExtraLength);
    std::string localName(static_cast<size_t>(nameLength), '\0');
    if (!src.ReadAt(e.local + kZipLocalHeaderSize, reinterpret_cast<uint8_t*>(localName.data()), localName.size()) ||
        localName != e.name || (e.flags & kFlagEncrypted) != 0 ||
        (e.method != kMethodStored && e.method != kMethodDeflated) || e.dataAt > dirAt ||
        e.compressed > dirAt - e.dataAt) {
      f.Problem(where);
      continue;
    }
    e.readable = true;
  }
  {
    std::vector<const Entry*> byOffset;
    for (const Entry& e : entries)
      if (e.readable) byOffset.push_back(&e);
    std::sort(byOffset.begin(), byOffset.end(), [](const Entry* a, const Entry* b) { return a->local < b->local; });
    for (size_t i = 1; i < byOffset.size(); ++i) {
      const Entry& before = *byOffset[i - 1];
      if (byOffset[i]->local < before.dataAt + before.compressed)
        return f.Problem(Format(kProbEntryOverlap, DisplayName(byOffset[i]->name).c_str(),
                                DisplayName(before.name).c_str()));
    }
  }

  const auto find = [&entries](const std::string& name) -> const Entry* {
    for (const Entry& e : entries)
      if (e.readable && e.name == name) return &e;
    return nullptr;
  };
  const bool unpackImages = f.KeysOrNull() != nullptr;
  Scratch scratch;
  // A source over an entry's bytes: stored entries are read in place, the
  // others are unpacked into scratch file `slot`. Null when the data is bad
  // (recorded) or could not be unpacked (`cannot` says why).
  const auto open = [&](const Entry& e, size_t slot, ScratchFile& file,
                        std::string& cannot) -> std::unique_ptr<ByteSource> {
    if (e.method == kMethodStored) {
      if (ReadEntry(src, e, nullptr, f) != EntryRead::Ok) return nullptr;
      return std::make_unique<SliceSource>(src, e.dataAt, e.size);
    }
    const std::string& folder = scratch.Folder();
    if (folder.empty() || !file.Create(folder + "/" + kScratchFileNames[slot])) {
      cannot = Format(kScratchFailed, Scratch::Parent().c_str(), DisplayName(e.name).c_str());
      return nullptr;
    }
    const EntryRead read = ReadEntry(src, e, &file, f);
    if (read == EntryRead::Ok && file.Close()) {
      auto unpacked = std::make_unique<FileSource>();
      if (unpacked->Open(file.Path())) return unpacked;
    }
    if (read != EntryRead::Bad)
      cannot = Format(file.Full() ? kScratchFull : kScratchFailed, (file.Full() ? folder : Scratch::Parent()).c_str(),
                      DisplayName(e.name).c_str());
    return nullptr;
  };

  for (const Entry& e : entries) {
    if (!e.readable) continue;
    if (!unpackImages || !UnpackableImage(e.name)) {
      (void)ReadEntry(src, e, nullptr, f);
      continue;
    }
    // A pair is checked once, from X.img, with X_Sign.img beside it.
    const bool signFile = EndsWith(e.name, "_Sign.img");
    const std::string partnerName =
        signFile ? e.name.substr(0, e.name.size() - 9) + ".img" : e.name.substr(0, e.name.size() - 4) + "_Sign.img";
    const Entry* partner = find(partnerName);
    if (signFile && partner != nullptr) continue;

    std::string cannot;
    ScratchFile file, partnerFile;
    std::unique_ptr<ByteSource> image = open(e, 0, file, cannot);
    std::unique_ptr<ByteSource> partnerSource;
    if (partner != nullptr && cannot.empty()) partnerSource = open(*partner, 1, partnerFile, cannot);
    if (!cannot.empty()) {
      f.CannotCheck(cannot);
      return false;
    }
    if (!image) continue;
    FileResult inner;
    inner.file = e.name;
    Findings innerFindings(inner, f.Opts());
    ByteSource* partnerPtr = partnerSource.get();
    const SiblingFinder sibling = [partnerPtr, &partnerName](const std::string& other) -> std::unique_ptr<ByteSource> {
      if (partnerPtr == nullptr || other != partnerName) return nullptr;
      return std::make_unique<SliceSource>(*partnerPtr, 0, partnerPtr->Size());
    };
    CheckSource(*image, e.name, sibling, innerFindings, depth + 1);
    if (!inner.cannotCheck.empty()) {
      f.CannotCheck(inner.cannotCheck);
      return false;
    }
    // An image of File Type "None" goes in unsigned: whatever it holds (plain
    // data, a sparse image, an archive), it carries no signature of ours.
    if (inner.kind.empty() || inner.kind == kKindSparseImage || inner.kind == kKindArchive) continue;
    if (inner.needsBoard) f.NeedsBoard();
    if (!inner.problems.empty())
      f.Problem(Format(kProbEntryNested, DisplayName(e.name).c_str(), inner.problems.front().c_str()));
  }
  CheckAndroidSignature(src, commentLength, f);
  return f.Clean();
}

}  // namespace tarnel::verify
