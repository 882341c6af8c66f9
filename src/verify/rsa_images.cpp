// Later-generation outputs: the whole image with its signature block, and
// the X.img / X_Sign.img pairs of the Ext4 sparse and UBI signers.
#include <openssl/evp.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <vector>

#include "common/le.h"
#include "signing/image_headers.h"
#include "signing/sparse_ext4.h"
#include "verify/messages.h"
#include "verify/reader.h"

namespace tarnel::verify {

namespace {

using H = SignedImageHeader;
using Header = std::array<uint8_t, kSignedImageHeaderSize>;

constexpr uint8_t kZipLocalMagic[4] = {'P', 'K', 3, 4};
// Sparse maps are compared from memory; nothing a real image needs comes near this.
constexpr uint64_t kMaxSparseMap = 64ull * 1024 * 1024;

// CRC-32/MPEG-2 of the header, computed here bit by bit.
uint32_t Crc32Mpeg2Bitwise(const uint8_t* data, size_t n) {
  uint32_t crc = 0xFFFFFFFFu;
  for (size_t i = 0; i < n; ++i) {
    crc ^= static_cast<uint32_t>(data[i]) << 24;
    for (int k = 0; k < 8; ++k) crc = (crc & 0x80000000u) ? (crc << 1) ^ 0x04C11DB7u : (crc << 1);
  }
  return crc;
}

uint64_t RoundUp(uint64_t v, uint64_t unit) { return (v + unit - 1) / unit * unit; }

bool HasSignedMagic(ByteSource& src, uint64_t at) {
  uint8_t magic[32];
  return src.ReadAt(at, magic, sizeof magic) && std::memcmp(magic, kSignedImageMagic, 32) == 0;
}

std::string PathField(const uint8_t* field) {
  const size_t n = strnlen(reinterpret_cast<const char*>(field), kHeaderPathField);
  return std::string(reinterpret_cast<const char*>(field), n);
}

std::string StampText(uint32_t stamp, bool withSecond) {
  const uint32_t hour = stamp >> 16, minute = (stamp >> 8) & 0xFFu, low = stamp & 0xFFu;
  if (hour > 23 || minute > 59 || (withSecond ? low > 59 : (low < 1 || low > 31)))
    return Format("0x%08x (not a valid time)", stamp);
  return withSecond ? Format("%02u:%02u:%02u", hour, minute, low) : Format("day %u, %02u:%02u", low, hour, minute);
}

struct BlockExpect {
  uint32_t index = 0;
  uint32_t sectionSize = 0;
  uint32_t count = 1;
  uint64_t signedLength = 0;
};

// Reads the header of the signature block at `at` and checks every field
// that is fixed or known in advance. False after a problem that leaves the
// rest of the header untrustworthy.
bool ReadBlockHeader(ByteSource& src, uint64_t at, const BlockExpect& want, const std::string& where, Findings& f,
                     Header& h) {
  if (!src.ReadAt(at, h.data(), h.size())) return f.Problem(where + kProbTruncated);
  if (std::memcmp(h.data() + H::kOffMagic, kSignedImageMagic, 32) != 0) return f.Problem(where + kProbMagic);
  if (std::memcmp(h.data() + H::kOffVersion, kSignedImageVersion, 8) != 0) return f.Problem(where + kProbVersion);
  const uint32_t stored = GetLe32(h.data() + H::kOffChecksum);
  if (Crc32Mpeg2Bitwise(h.data(), H::kChecksummedBytes) != stored) return f.Problem(where + kProbChecksum);
  const struct {
    size_t off;
    uint64_t value;
    const char* name;
  } fixed[] = {
      {H::kOffHeaderSize, kSignedImageHeaderSize, "header size"},
      {H::kOffSignedLength, want.signedLength, "signed length"},
      {H::kOffReserved56, 0, "reserved at 56"},
      {H::kOffFixedWord60, 1, "fixed word at 60"},
      {H::kOffReserved64, 0, "reserved at 64"},
      {H::kOffReserved68, 0, "reserved at 68"},
      {H::kOffReserved72, 0, "reserved at 72"},
      {H::kOffFixedWord76, 1, "fixed word at 76"},
      {H::kOffSignatureLength, kSignatureSize, "signature length"},
      {H::kOffSectionIndex, want.index, "section index"},
      {H::kOffSectionSize, want.sectionSize, "section size"},
      {H::kOffSectionCount, want.count, "section count"},
  };
  for (const auto& field : fixed)
    if (GetLe32(h.data() + field.off) != field.value) return f.Problem(where + Format(kProbHeaderField, field.name));
  for (const auto& [off, name] : {std::pair{H::kOffImagePath, "image path"}, std::pair{H::kOffKeyPath, "key path"}})
    if (h[off + kHeaderPathMaxChars] != 0) return f.Problem(where + Format(kProbPath, name));
  // Bytes 900 to 8191 of the block are zero.
  uint64_t other = 0;
  if (!FindOtherByte(src, at + kSignedImageHeaderSize, kSignatureBlockSize - kSignedImageHeaderSize, 0, other))
    return f.Problem(where + kProbTruncated);
  if (other != UINT64_MAX) return f.Problem(where + Format(kProbBlockPadding, static_cast<unsigned long long>(other)));
  return true;
}

void HeaderFields(const Header& h, const std::string& prefix, Findings& f) {
  f.FieldText(prefix + "stamp1", StampText(GetLe32(h.data() + H::kOffStamp1), false));
  f.FieldText(prefix + "stamp2", StampText(GetLe32(h.data() + H::kOffStamp2), true));
  f.FieldNum(prefix + "header size", GetLe32(h.data() + H::kOffHeaderSize));
  f.FieldNum(prefix + "signed length", GetLe32(h.data() + H::kOffSignedLength));
  f.FieldHex(prefix + "digest", h.data() + H::kOffDigest, kDigestSize);
  f.FieldNum(prefix + "signature length", GetLe32(h.data() + H::kOffSignatureLength));
  f.FieldText(prefix + "image path", PathField(h.data() + H::kOffImagePath));
  f.FieldText(prefix + "key path", PathField(h.data() + H::kOffKeyPath));
  f.FieldNum(prefix + "section index", GetLe32(h.data() + H::kOffSectionIndex));
  f.FieldNum(prefix + "section size", GetLe32(h.data() + H::kOffSectionSize));
  f.FieldNum(prefix + "section count", GetLe32(h.data() + H::kOffSectionCount));
  f.FieldText(prefix + "checksum", Format("0x%08x", GetLe32(h.data() + H::kOffChecksum)));
}

// The digest against the header, then the signature with the external key.
void CheckDigestAndSignature(const Header& h, const uint8_t digest[32], const std::string& where, Findings& f) {
  if (CRYPTO_memcmp(digest, h.data() + H::kOffDigest, kDigestSize) != 0) {
    f.Problem(where + kProbDigest);
    return;
  }
  if (const Keys* keys = f.KeysOrNull())
    if (!RsaVerifyDigest(keys->external.get(), h.data() + H::kOffDigest, h.data() + H::kOffSignature, kSignatureSize))
      f.Problem(where + kProbSignature);
}

// Where the whole-image signature block starts, judged from the length.
uint64_t LastBlockStart(uint64_t size) {
  if (size < kSignatureBlockSize) return 0;
  return size % kSignatureBlockSize == 0 ? size - kSignatureBlockSize : size / kSignatureBlockSize * kSignatureBlockSize;
}

bool IsSectionHeader(ByteSource& src, uint64_t at) {
  uint8_t h[kSignedImageHeaderSize];
  return src.ReadAt(at, h, sizeof h) && std::memcmp(h, kSignedImageMagic, 32) == 0 &&
         GetLe32(h + H::kOffSectionSize) == kSectionSize && GetLe32(h + H::kOffSectionIndex) == 0;
}

// Signs each 1 MiB of the data as it streams by and checks it against the
// section block at its index in the signature file.
class SectionChecker {
 public:
  SectionChecker(ByteSource& signFile, uint32_t count, uint64_t dataLength, Findings& f)
      : sign_(signFile), count_(count), length_(dataLength), f_(f), md_(EVP_MD_CTX_new()) {
    ok_ = md_ && EVP_DigestInit_ex(md_.get(), EVP_sha256(), nullptr) == 1;
  }
  [[nodiscard]] bool Feed(const uint8_t* data, size_t n) {
    while (ok_ && n > 0) {
      const size_t piece = static_cast<size_t>(std::min<uint64_t>(n, kSectionSize - inSection_));
      if (EVP_DigestUpdate(md_.get(), data, piece) != 1) return ok_ = false;
      inSection_ += piece;
      fed_ += piece;
      data += piece;
      n -= piece;
      if (inSection_ == kSectionSize && !Close()) return false;
    }
    return ok_;
  }
  [[nodiscard]] bool Finish() {
    if (ok_ && inSection_ > 0 && !Close()) return false;
    return ok_ && fed_ == length_ && index_ == count_;
  }

 private:
  [[nodiscard]] bool Close() {
    uint8_t digest[32];
    unsigned int dlen = 0;
    if (EVP_DigestFinal_ex(md_.get(), digest, &dlen) != 1 || EVP_DigestInit_ex(md_.get(), EVP_sha256(), nullptr) != 1)
      return ok_ = false;
    const uint32_t j = index_++;
    const std::string where = Format(kWhereSection, j);
    BlockExpect want;
    want.index = j;
    want.sectionSize = kSectionSize;
    want.count = count_;
    want.signedLength = inSection_;
    inSection_ = 0;
    if (j >= count_) return ok_ = false;
    Header h{};
    if (ReadBlockHeader(sign_, uint64_t{j} * kSignatureBlockSize, want, where, f_, h)) {
      CheckDigestAndSignature(h, digest, where, f_);
      if (f_.KeysOrNull() == nullptr)
        f_.FieldText(Format("section %u", j), Format("%llu bytes, digest %s", static_cast<unsigned long long>(want.signedLength),
                                                     Hex(h.data() + H::kOffDigest, kDigestSize).c_str()));
    }
    return true;
  }

  ByteSource& sign_;
  uint32_t count_;
  uint64_t length_;
  Findings& f_;
  MdCtx md_;
  uint64_t inSection_ = 0;
  uint64_t fed_ = 0;
  uint32_t index_ = 0;
  bool ok_ = false;
};

// The block at the end of X_Sign.img covers everything before it.
bool CheckSignFileTail(ByteSource& signFile, Findings& f) {
  const uint64_t m = signFile.Size();
  const std::string where = kWhereSignFileTail;
  if (m % kSignatureBlockSize != 0 || m < 2 * kSignatureBlockSize) return f.Problem(where + kProbTruncated);
  BlockExpect want;
  want.signedLength = m - kSignatureBlockSize;
  Header h{};
  if (!ReadBlockHeader(signFile, m - kSignatureBlockSize, want, where, f, h)) return false;
  if (f.KeysOrNull() == nullptr) HeaderFields(h, "whole-file block ", f);
  uint8_t digest[32];
  if (!Sha256Range(signFile, 0, m - kSignatureBlockSize, digest)) return f.Problem(where + kProbTruncated);
  CheckDigestAndSignature(h, digest, where, f);
  return true;
}

// ---------------------------------------------------------------------------
// Android sparse image, walked here on its own.
struct SparseWalk {
  SparseFileHeader header;
  uint64_t expanded = 0;
  std::vector<uint8_t> map;  // the expected sparse map, without its zero tail
};

bool WalkSparse(ByteSource& image, SectionChecker* sections, SparseWalk& w, Findings& f) {
  uint8_t raw[SparseFileHeader::kSize];
  if (!image.ReadAt(0, raw, sizeof raw)) return f.Problem(kProbSparseHeader);
  w.header = SparseFileHeader::Decode(raw);
  const SparseFileHeader& h = w.header;
  if (h.magic != kSparseMagic || h.majorVersion != kSparseMajorVersion ||
      h.fileHeaderSize != SparseFileHeader::kSize || h.chunkHeaderSize != SparseChunkHeader::kSize ||
      h.blockSize == 0 || h.blockSize % 4 != 0)
    return f.Problem(kProbSparseHeader);
  w.expanded = uint64_t{h.totalBlocks} * h.blockSize;
  if (w.expanded == 0 || w.expanded > kMaxImageLength) return f.Problem(kProbSparseHeader);
  const uint64_t fileSize = image.Size();
  // Every chunk takes at least its 12-byte header: a count beyond that is a lie.
  if (h.totalChunks > (fileSize - SparseFileHeader::kSize) / SparseChunkHeader::kSize)
    return f.Problem(kProbSparseHeader);
  const uint64_t marks = w.expanded / kSectionSize;
  const uint64_t mapBytes = SparseFileHeader::kSize + uint64_t{SparseChunkHeader::kSize} * h.totalChunks + 4 * (marks + 1);
  if (mapBytes > kMaxSparseMap) return f.Problem(kProbSparseMapLength);
  w.map.assign(raw, raw + sizeof raw);
  std::vector<uint8_t> index(4, 0);  // entry 0 is 0

  std::vector<uint8_t> buf(kSectionSize);
  uint64_t pos = SparseFileHeader::kSize;
  uint64_t blocks = 0;
  for (uint32_t i = 0; i < h.totalChunks; ++i) {
    uint8_t ch[SparseChunkHeader::kSize];
    if (!image.ReadAt(pos, ch, sizeof ch)) return f.Problem(Format(kProbSparseChunk, i));
    const SparseChunkHeader c = SparseChunkHeader::Decode(ch);
    const uint64_t bytes = uint64_t{c.blocks} * h.blockSize;
    uint64_t payload = 0;
    switch (c.type) {
      case kChunkRaw: payload = bytes; break;
      case kChunkFill: payload = 4; break;
      case kChunkDontCare: payload = 0; break;
      case kChunkCrc32:
        if (c.blocks != 0) return f.Problem(Format(kProbSparseChunk, i));
        payload = 4;
        break;
      default: return f.Problem(Format(kProbSparseChunk, i));
    }
    const uint64_t dataPos = pos + SparseChunkHeader::kSize;
    if (uint64_t{c.totalSize} != SparseChunkHeader::kSize + payload || !InRange(dataPos, payload, fileSize))
      return f.Problem(Format(kProbSparseChunk, i));
    const uint64_t dataOffset = blocks * h.blockSize;
    const uint64_t expandedBytes = c.type == kChunkCrc32 ? 0 : bytes;
    if (c.type != kChunkCrc32) {
      blocks += c.blocks;
      if (blocks > h.totalBlocks) return f.Problem(Format(kProbSparseChunk, i));
    }
    // The map entry: the header with the chunk index and the data offset.
    std::array<uint8_t, SparseChunkHeader::kSize> entry = c.raw;
    PutLe16(entry.data() + SparseChunkHeader::kOffReserved, static_cast<uint16_t>(i));
    PutLe32(entry.data() + SparseChunkHeader::kOffTotalSize, static_cast<uint32_t>(dataOffset));
    w.map.insert(w.map.end(), entry.begin(), entry.end());
    for (uint64_t k = dataOffset / kSectionSize; k < (dataOffset + expandedBytes) / kSectionSize; ++k) {
      uint8_t e[4];
      PutLe32(e, i);
      index.insert(index.end(), e, e + 4);
    }
    if (sections != nullptr) {
      uint8_t fill[4] = {};
      if (c.type == kChunkFill && !image.ReadAt(dataPos, fill, 4)) return f.Problem(Format(kProbSparseChunk, i));
      for (uint64_t done = 0; done < expandedBytes;) {
        const size_t n = static_cast<size_t>(std::min<uint64_t>(expandedBytes - done, buf.size()));
        if (c.type == kChunkRaw) {
          if (!image.ReadAt(dataPos + done, buf.data(), n)) return f.Problem(Format(kProbSparseChunk, i));
        } else if (c.type == kChunkFill) {
          for (size_t k = 0; k < n; ++k) buf[k] = fill[(done + k) % 4];
        } else {
          std::memset(buf.data(), 0, n);
        }
        if (!sections->Feed(buf.data(), n)) return f.Problem(kProbSectionCount);
        done += n;
      }
    }
    pos = dataPos + payload;
  }
  if (blocks != h.totalBlocks) return f.Problem(kProbSparseHeader);
  w.map.insert(w.map.end(), index.begin(), index.end());
  return true;
}

// Compares the map region of X_Sign.img with the map the image calls for.
void CheckSparseMap(ByteSource& signFile, uint64_t at, uint64_t length, const std::vector<uint8_t>& map, Findings& f) {
  if (length != RoundUp(map.size(), kSignatureBlockSize)) {
    f.Problem(kProbSparseMapLength);
    return;
  }
  std::vector<uint8_t> have(map.size());
  if (!signFile.ReadAt(at, have.data(), have.size())) {
    f.Problem(kProbTruncated);
    return;
  }
  for (size_t i = 0; i < map.size(); ++i) {
    if (have[i] != map[i]) {
      f.Problem(Format(kProbSparseMap, static_cast<unsigned long long>(at + i)));
      return;
    }
  }
  uint64_t other = 0;
  if (FindOtherByte(signFile, at + map.size(), length - map.size(), 0, other) && other != UINT64_MAX)
    f.Problem(Format(kProbSparseMap, static_cast<unsigned long long>(other)));
}

}  // namespace

bool LooksLikeWholeImage(ByteSource& src) {
  const uint64_t n = src.Size();
  if (n < kSignatureBlockSize) return false;
  const uint64_t at = LastBlockStart(n);
  return HasSignedMagic(src, at) || (n % kSignatureBlockSize != 0 && at >= kSignatureBlockSize &&
                                     HasSignedMagic(src, at - kSignatureBlockSize));
}

bool LooksLikeSectionFile(ByteSource& src) { return IsSectionHeader(src, 0); }

bool LooksLikeSparse(ByteSource& src) {
  uint8_t magic[4];
  return src.ReadAt(0, magic, 4) && GetLe32(magic) == kSparseMagic;
}

bool CheckWholeImage(ByteSource& src, Findings& f, int depth) {
  f.Kind(kKindWholeImage);
  const uint64_t n = src.Size();
  uint64_t at = LastBlockStart(n);
  if (!HasSignedMagic(src, at)) at -= kSignatureBlockSize;  // bytes were added after the block
  if (n > kMaxImageLength + kSignatureBlockSize) return f.Problem(kProbTooLarge);
  uint8_t lengthBytes[4];
  if (!src.ReadAt(at + H::kOffSignedLength, lengthBytes, 4)) return f.Problem(kProbTruncated);
  const uint64_t signedLength = GetLe32(lengthBytes);
  if (RoundUp(signedLength, kSignatureBlockSize) != at)
    return f.Problem(Format(kProbHeaderField, "signed length"));
  if (n < at + kSignatureBlockSize) return f.Problem(kProbTruncated);
  BlockExpect want;
  want.signedLength = signedLength;
  Header h{};
  if (!ReadBlockHeader(src, at, want, "", f, h)) return false;
  if (n > at + kSignatureBlockSize) return f.Problem(kProbTrailing);

  uint8_t head[4] = {};
  const bool archive = signedLength >= 4 && src.ReadAt(0, head, 4) && std::memcmp(head, kZipLocalMagic, 4) == 0;
  if (archive) f.Kind(kKindPackageRsa);
  if (f.KeysOrNull() == nullptr) HeaderFields(h, "", f);

  uint64_t other = 0;
  if (!FindOtherByte(src, signedLength, at - signedLength, 0xFF, other)) return f.Problem(kProbTruncated);
  if (other != UINT64_MAX) f.Problem(Format(kProbFill, static_cast<unsigned long long>(other)));
  uint8_t digest[32];
  if (!Sha256Range(src, 0, signedLength, digest)) return f.Problem(kProbTruncated);
  CheckDigestAndSignature(h, digest, "", f);
  if (archive) {
    SliceSource inner(src, 0, signedLength);
    CheckArchive(inner, f, depth + 1);
    f.Kind(kKindPackageRsa);
  }
  return f.Clean();
}

bool CheckSectionPair(ByteSource& image, ByteSource& signFile, Findings& f) {
  const bool sparse = LooksLikeSparse(image);
  f.Kind(sparse ? kKindExt4Pair : kKindUbiPair);
  if (!IsSectionHeader(signFile, 0)) return f.Problem(std::string(kWhereSignFile) + kProbMagic);
  uint8_t countBytes[4];
  if (!signFile.ReadAt(H::kOffSectionCount, countBytes, 4)) return f.Problem(kProbTruncated);
  const uint32_t count = GetLe32(countBytes);
  const uint64_t m = signFile.Size();
  if (count == 0 || m % kSignatureBlockSize != 0 || m / kSignatureBlockSize < uint64_t{count} + 1)
    return f.Problem(kProbTruncated);

  if (!sparse) {
    const uint64_t length = image.Size();
    if (length > kMaxImageLength) return f.Problem(kProbTooLarge);
    if (RoundUp(length, kSectionSize) / kSectionSize != count) return f.Problem(kProbSectionCount);
    if (m != (uint64_t{count} + 1) * kSignatureBlockSize) return f.Problem(kProbTrailing);
    SectionChecker sections(signFile, count, length, f);
    std::vector<uint8_t> buf(kSectionSize);
    for (uint64_t pos = 0; pos < length;) {
      const size_t n = static_cast<size_t>(std::min<uint64_t>(length - pos, buf.size()));
      if (!image.ReadAt(pos, buf.data(), n) || !sections.Feed(buf.data(), n)) return f.Problem(kProbTruncated);
      pos += n;
    }
    if (!sections.Finish()) return f.Problem(kProbSectionCount);
    CheckSignFileTail(signFile, f);
    return f.Clean();
  }

  // Ext4: the section count follows from the header; check it before expanding.
  uint8_t raw[SparseFileHeader::kSize];
  if (!image.ReadAt(0, raw, sizeof raw)) return f.Problem(kProbSparseHeader);
  const SparseFileHeader h = SparseFileHeader::Decode(raw);
  const uint64_t expanded = uint64_t{h.totalBlocks} * h.blockSize;
  if (expanded == 0 || expanded > kMaxImageLength) return f.Problem(kProbSparseHeader);
  if (RoundUp(expanded, kSectionSize) / kSectionSize != count) return f.Problem(kProbSectionCount);
  if (f.KeysOrNull() == nullptr) {
    f.FieldNum("sparse block size", h.blockSize);
    f.FieldNum("sparse total blocks", h.totalBlocks);
    f.FieldNum("sparse total chunks", h.totalChunks);
    f.FieldNum("expanded length", expanded);
  }
  SectionChecker sections(signFile, count, expanded, f);
  SparseWalk walk;
  if (!WalkSparse(image, &sections, walk, f)) return false;
  if (!sections.Finish()) return f.Problem(kProbSectionCount);
  const uint64_t mapAt = uint64_t{count} * kSignatureBlockSize;
  CheckSparseMap(signFile, mapAt, m - kSignatureBlockSize - mapAt, walk.map, f);
  CheckSignFileTail(signFile, f);
  return f.Clean();
}

}  // namespace tarnel::verify
