// First-generation outputs: the single-MAC containers (raw images, the
// sealed update package, KeyPart.img) with their header at the start, and
// the chunked (Ext4) and Yaffs containers with their header after the data.
#include <openssl/crypto.h>
#include <openssl/evp.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <vector>

#include "boot/key_list.h"
#include "common/le.h"
#include "common/model.h"
#include "signing/image_headers.h"
#include "verify/messages.h"
#include "verify/reader.h"

namespace tarnel::verify {

namespace {

using M = MacImageHeader;

constexpr uint8_t kZipLocalMagic[4] = {'P', 'K', 3, 4};
constexpr uint32_t kHeaderConstant = 2;  // what every Make run writes at offset 68
constexpr size_t kScanWindow = 1u << 20;
constexpr size_t kPageBatch = 1u << 20;

uint64_t RoundUp(uint64_t v, uint64_t unit) { return (v + unit - 1) / unit * unit; }
uint64_t CeilDiv(uint64_t v, uint64_t unit) { return (v + unit - 1) / unit; }

void MacHeaderFields(const MacImageHeader& m, Findings& f) {
  f.FieldNum("page size", m.pageSize);
  f.FieldNum("block size", m.blockSize);
  f.FieldNum("spare size", m.spareSize);
  f.FieldNum("total length", m.totalLength);
  f.FieldNum("page echo", m.pageEcho);
  f.FieldNum("source length", m.sourceLength);
  f.FieldNum("covered length", m.coveredLength);
  f.FieldNum("kind value", m.kindValue);
  f.FieldNum("data length", m.dataLength);
  f.FieldNum("covered length 2", m.coveredLength2);
  f.FieldNum("MAC length", m.macLength);
  f.FieldNum("chunk count", m.chunkCount);
  f.FieldNum("chunk size", m.chunkSize);
}

bool HasMacMagic(const uint8_t* h) {
  return std::memcmp(h + M::kOffMagic, kMacImageMagic, 32) == 0;
}

bool Expect(Findings& f, bool ok, const char* name) { return ok || f.Problem(Format(kProbHeaderField, name)); }

// 0xFF from `offset` for `length` bytes; records the first other byte.
bool ExpectFF(ByteSource& src, uint64_t offset, uint64_t length, Findings& f) {
  uint64_t other = 0;
  if (!FindOtherByte(src, offset, length, 0xFF, other)) return f.Problem(kProbTruncated);
  if (other != UINT64_MAX) return f.Problem(Format(kProbFill, static_cast<unsigned long long>(other)));
  return true;
}

bool ExpectZero(ByteSource& src, uint64_t offset, uint64_t length, const char* name, Findings& f) {
  uint64_t other = 0;
  if (!FindOtherByte(src, offset, length, 0, other)) return f.Problem(kProbTruncated);
  return other == UINT64_MAX || f.Problem(Format(kProbHeaderField, name));
}

bool TotalMatchesFile(uint64_t total, uint64_t size, Findings& f) {
  if (size < total) return f.Problem(kProbTruncated);
  if (size > total) return f.Problem(kProbTrailing);
  return true;
}

// Two-key Triple-DES over 16 bytes, ECB, either direction.
bool DesEde16(const uint8_t* key16, const uint8_t* in, uint8_t* out, bool encrypt) {
  std::unique_ptr<EVP_CIPHER, CipherFree> cipher(EVP_CIPHER_fetch(nullptr, "DES-EDE-ECB", nullptr));
  CipherCtx ctx(EVP_CIPHER_CTX_new());
  int n1 = 0, n2 = 0;
  return cipher && ctx && EVP_CipherInit_ex2(ctx.get(), cipher.get(), key16, nullptr, encrypt ? 1 : 0, nullptr) == 1 &&
         EVP_CIPHER_CTX_set_padding(ctx.get(), 0) == 1 && EVP_CipherUpdate(ctx.get(), out, &n1, in, 16) == 1 &&
         n1 == 16 && EVP_CipherFinal_ex(ctx.get(), out + n1, &n2) == 1 && n2 == 0;
}

// The first key record: its length, id and filler, and its key decrypted
// under the board's derived key, which must be V1.
void CheckKeyRecord(ByteSource& src, uint64_t at, Findings& f) {
  std::array<uint8_t, kKeyRecordSize> record{};
  if (!src.ReadAt(at, record.data(), record.size())) {
    f.Problem(kProbTruncated);
    return;
  }
  const uint16_t keyId = GetLe16(record.data() + KeyRecord::kOffKeyId);
  if (f.KeysOrNull() == nullptr) f.FieldText("key record id", Format("%04x", keyId));
  if (GetLe16(record.data() + KeyRecord::kOffKeyLength) != 16) {
    f.Problem(kProbRecordLength);
    return;
  }
  if (keyId != 0x0002) {
    f.Problem(kProbRecordId);
    return;
  }
  for (size_t i = KeyRecord::kOffFiller; i < kKeyRecordSize; ++i) {
    if (record[i] != 0xFF) {
      f.Problem(kProbRecordFiller);
      return;
    }
  }
  const Keys* keys = f.KeysOrNull();
  if (keys == nullptr) return;
  const int32_t board = f.Opts().board;
  if (board < 0) {
    f.NeedsBoard();
    return;
  }
  if (board > 1) {
    f.Problem(Format(kProbBoard, "Qm5820RA100 or Qm5820SB300"));
    return;
  }
  std::array<uint8_t, 16> block{}, derived{}, key{};
  KeyDerivationBlock(board, block.data());
  const bool ok = DesEde16(keys->v3.data(), block.data(), derived.data(), true) &&
                  DesEde16(derived.data(), record.data() + KeyRecord::kOffKey, key.data(), false) &&
                  CRYPTO_memcmp(key.data(), keys->v1.data(), 16) == 0;
  OPENSSL_cleanse(derived.data(), derived.size());
  OPENSSL_cleanse(key.data(), key.size());
  OPENSSL_cleanse(record.data(), record.size());
  if (!ok) f.Problem(kProbRecordKey);
}

// Feeds the page data of `pages` pages, stride `stride`, starting at 0, into
// one MAC per 1 MiB of page data; compares each MAC with the table entries
// spread over pieces of `page` bytes at the same stride from `tableAt`.
void CheckChunkMacs(ByteSource& src, uint64_t page, uint64_t stride, uint64_t pages, uint64_t chunks,
                    uint64_t tableAt, const Key128& key, Findings& f) {
  std::vector<uint8_t> buf;
  uint64_t pageIndex = 0;
  for (uint64_t c = 0; c < chunks; ++c) {
    MacStream mac(key);
    uint64_t left = kMacChunkSize;
    while (left > 0 && pageIndex < pages) {
      if (stride == page) {
        // Contiguous: read straight through.
        const uint64_t at = pageIndex * page;
        const uint64_t n = std::min<uint64_t>({left, (pages - pageIndex) * page, kPageBatch});
        if (!mac.UpdateRange(src, at, n)) {
          f.Problem(kProbTruncated);
          return;
        }
        left -= n;
        pageIndex += n / page;
        if (n % page != 0) {  // a chunk ends inside a page only when the page does not divide 1 MiB
          f.Problem(Format(kProbHeaderField, "page size"));
          return;
        }
      } else if (stride > kPageBatch) {
        // Spare bytes wider than a batch: page by page, the spare never read.
        if (left < page) {
          f.Problem(Format(kProbHeaderField, "page size"));
          return;
        }
        if (!mac.UpdateRange(src, pageIndex * stride, page)) {
          f.Problem(kProbTruncated);
          return;
        }
        left -= page;
        ++pageIndex;
      } else {
        // Several strides in one read; the spare bytes after each page are skipped.
        const uint64_t batch = std::min<uint64_t>({std::max<uint64_t>(1, kPageBatch / stride), left / page,
                                                   pages - pageIndex});
        if (batch == 0) {
          f.Problem(Format(kProbHeaderField, "page size"));
          return;
        }
        buf.resize(static_cast<size_t>(batch * stride));
        const uint64_t bytes = (batch - 1) * stride + page;  // the last stride's spare may lie past the end
        if (!src.ReadAt(pageIndex * stride, buf.data(), static_cast<size_t>(bytes))) {
          f.Problem(kProbTruncated);
          return;
        }
        for (uint64_t k = 0; k < batch; ++k) {
          if (!mac.Update(buf.data() + k * stride, static_cast<size_t>(page))) {
            f.Problem(kProbTruncated);
            return;
          }
        }
        left -= batch * page;
        pageIndex += batch;
      }
    }
    uint8_t stored[16];
    const uint64_t entry = c * kMacSize;
    const uint64_t at = tableAt + entry / page * stride + entry % page;
    if (!src.ReadAt(at, stored, sizeof stored)) {
      f.Problem(kProbTruncated);
      return;
    }
    if (!mac.Matches(stored)) {
      f.Problem(Format(kProbChunkMac, static_cast<unsigned long long>(c)));
      return;
    }
  }
}

}  // namespace

bool LooksLikeMacRaw(ByteSource& src) {
  uint8_t h[kMacImageHeaderSize];
  if (!src.ReadAt(0, h, sizeof h) || !HasMacMagic(h)) return false;
  const MacImageHeader m = M::Decode(h);
  return m.pageEcho == m.pageSize;
}

bool CheckMacRaw(ByteSource& src, Findings& f, int depth) {
  std::array<uint8_t, kMacKeyPartHeaderSize> h{};
  const uint64_t size = src.Size();
  if (!src.ReadAt(0, h.data(), kMacImageHeaderSize)) return f.Problem(kProbTruncated);
  const MacImageHeader m = M::Decode(h.data());
  const bool keyPart = m.chunkCount == 1;
  f.Kind(keyPart ? kKindKeyPartition : kKindMacRaw);
  const size_t headerSize = keyPart ? kMacKeyPartHeaderSize : kMacImageHeaderSize;
  if (keyPart && !src.ReadAt(0, h.data(), kMacKeyPartHeaderSize)) return f.Problem(kProbTruncated);
  if (f.KeysOrNull() == nullptr) MacHeaderFields(m, f);
  if (std::memcmp(h.data() + M::kOffVersion, kMacImageVersion, 8) != 0) return f.Problem(kProbVersion);
  const uint64_t p = m.pageSize, b = m.blockSize, l = m.sourceLength;
  if (!Expect(f, p > 0 && p % kMacSize == 0 && p >= headerSize, "page size") ||
      !Expect(f, b > 0 && b % p == 0, "block size") || !Expect(f, m.macLength == kMacSize, "MAC length"))
    return false;
  const uint64_t d = RoundUp(l, p);
  const uint64_t r = (d + 2 * p) % b;
  const uint64_t total = d + 2 * p + (r > 0 ? b - r : 0);
  if (!Expect(f, m.totalLength == total, "total length") || !Expect(f, m.coveredLength == p + d, "covered length") ||
      !Expect(f, m.coveredLength2 == p + d, "covered length 2") || !Expect(f, m.dataLength == 0, "data length"))
    return false;
  if (keyPart) {
    if (l == 0 || l % kKeyRecordSize != 0) return f.Problem(kProbRecordLength);
    if (!Expect(f, m.kindValue == l / kKeyRecordSize, "kind value") || !Expect(f, m.chunkSize == b / 2, "chunk size"))
      return false;
  } else if (!Expect(f, m.kindValue == kHeaderConstant, "kind value") || !Expect(f, m.chunkCount == 0, "chunk count") ||
             !Expect(f, m.chunkSize == 0, "chunk size")) {
    return false;
  }
  if (!TotalMatchesFile(total, size, f)) return false;
  if (!ExpectZero(src, M::kOffReserved, headerSize - M::kOffReserved, "reserved", f)) return false;

  uint8_t head[4] = {};
  const bool archive = !keyPart && l >= 4 && src.ReadAt(p, head, 4) && std::memcmp(head, kZipLocalMagic, 4) == 0;
  if (archive) f.Kind(kKindPackageMac);

  ExpectFF(src, headerSize, p - headerSize, f);  // rest of the header page
  ExpectFF(src, p + l, d - l, f);                // data fill
  ExpectFF(src, p + d + kMacSize, total - p - d - kMacSize, f);
  uint8_t stored[16];
  if (!src.ReadAt(p + d, stored, sizeof stored)) return f.Problem(kProbTruncated);
  if (f.KeysOrNull() == nullptr) f.FieldHex("MAC", stored, sizeof stored);
  if (const Keys* keys = f.KeysOrNull()) {
    MacStream mac(keyPart ? keys->v2 : keys->v1);
    if (!mac.UpdateRange(src, 0, p + d)) return f.Problem(kProbTruncated);
    if (!mac.Matches(stored)) f.Problem(kProbMac);
  }
  if (keyPart) CheckKeyRecord(src, p, f);
  if (archive) {
    SliceSource inner(src, p, l);
    CheckArchive(inner, f, depth + 1);
    f.Kind(kKindPackageMac);
  }
  return f.Clean();
}

namespace {

struct TrailerLayout {
  bool yaffs = false;
  uint64_t stride = 0;     // page plus the spare bytes the layout carries
  uint64_t rawBlock = 0;   // block with its spare bytes
  uint64_t data = 0;       // D: where the header slot starts
  uint64_t covered = 0;    // page data covered by the MACs, header page included
  uint64_t tableArea = 0;  // header slot and MAC table, in whole raw blocks
};

// The layout the header fields call for; false when they cannot describe one.
bool LayoutFor(const MacImageHeader& m, bool yaffs, TrailerLayout& out) {
  const uint64_t p = m.pageSize, b = m.blockSize;
  if (p < kMacImageHeaderSize || p % kMacSize != 0 || b == 0 || b % p != 0 || m.dataLength % b != 0) return false;
  if (m.chunkCount == 0 || m.chunkCount > (uint64_t{1} << 32) / kMacSize) return false;
  out.yaffs = yaffs;
  const uint64_t spare = yaffs ? m.spareSize : 0;
  out.stride = p + spare;
  out.rawBlock = b / p * out.stride;
  out.data = uint64_t{m.dataLength} / b * out.rawBlock;
  out.covered = p + m.dataLength;
  if (yaffs) {
    const uint64_t tablePages = CeilDiv(kMacSize * m.chunkCount, p);
    out.tableArea = RoundUp(tablePages * out.stride + out.stride, out.rawBlock);
  } else {
    out.tableArea = RoundUp(kMacSize * m.chunkCount + p, b);
  }
  return true;
}

bool TrailerAt(ByteSource& src, uint64_t at, MacImageHeader& m) {
  uint8_t h[kMacImageHeaderSize];
  if (!src.ReadAt(at, h, sizeof h) || !HasMacMagic(h) || std::memcmp(h + M::kOffVersion, kMacImageVersion, 8) != 0)
    return false;
  m = M::Decode(h);
  if (m.pageEcho != 0 || at == 0) return false;
  TrailerLayout chunked, yaffs;
  return (LayoutFor(m, false, chunked) && chunked.data == at) || (LayoutFor(m, true, yaffs) && yaffs.data == at);
}

}  // namespace

bool FindMacTrailer(ByteSource& src, uint64_t& headerOffset) {
  const uint64_t size = src.Size();
  if (size < kMacImageHeaderSize) return false;
  // Scanned in place when the source is in memory; otherwise read into a
  // buffer sized by the file, not the window: a small file costs a small one.
  std::vector<uint8_t> buffer;
  // From the end backwards: the header sits a table area before the end.
  uint64_t end = size;
  while (end > 0) {
    const uint64_t start = end > kScanWindow ? end - kScanWindow : 0;
    const uint64_t n = std::min<uint64_t>(size - start, kScanWindow + 31);
    const uint8_t* window = src.View(start, static_cast<size_t>(n), buffer);
    if (window == nullptr) return false;
    for (uint64_t i = n >= 32 ? n - 32 + 1 : 0; i-- > 0;) {
      if (window[i] != static_cast<uint8_t>(kMacImageMagic[0]) ||
          std::memcmp(window + i, kMacImageMagic, 32) != 0)
        continue;
      MacImageHeader m;
      if (TrailerAt(src, start + i, m)) {
        headerOffset = start + i;
        return true;
      }
    }
    end = start;
  }
  return false;
}

bool CheckMacTrailer(ByteSource& src, Findings& f, uint64_t at) {
  uint8_t h[kMacImageHeaderSize];
  if (!src.ReadAt(at, h, sizeof h)) return f.Problem(kProbTruncated);
  const MacImageHeader m = M::Decode(h);
  TrailerLayout chunked, yaffs, lay;
  const bool chunkedFits = LayoutFor(m, false, chunked) && chunked.data == at;
  const bool yaffsFits = LayoutFor(m, true, yaffs) && yaffs.data == at;
  if (chunkedFits && (!yaffsFits || chunked.data + chunked.tableArea == m.totalLength))
    lay = chunked;
  else
    lay = yaffs;
  f.Kind(lay.yaffs ? kKindMacYaffs : kKindMacChunked);
  if (f.KeysOrNull() == nullptr) {
    f.FieldNum("header offset", at);
    MacHeaderFields(m, f);
  }
  const uint64_t p = m.pageSize, l = m.sourceLength;
  if (lay.yaffs && kMacChunkSize % p != 0) return f.Problem(Format(kProbHeaderField, "page size"));
  if (!Expect(f, m.macLength == kMacSize, "MAC length") || !Expect(f, m.chunkSize == kMacChunkSize, "chunk size") ||
      !Expect(f, m.kindValue == kHeaderConstant, "kind value") || !Expect(f, m.coveredLength == lay.covered, "covered length") ||
      !Expect(f, m.coveredLength2 == lay.covered, "covered length 2") ||
      !Expect(f, m.chunkCount == CeilDiv(lay.covered, kMacChunkSize), "chunk count") ||
      !Expect(f, l <= lay.data && lay.data - l < lay.rawBlock, "source length") ||
      !Expect(f, lay.data >= kMacChunkSize, "data length") ||
      !Expect(f, m.totalLength == lay.data + lay.tableArea, "total length"))
    return false;
  if (!TotalMatchesFile(m.totalLength, src.Size(), f)) return false;
  if (!ExpectZero(src, at + M::kOffReserved, kMacImageHeaderSize - M::kOffReserved, "reserved", f)) return false;

  ExpectFF(src, l, lay.data - l, f);                                     // data fill
  ExpectFF(src, at + kMacImageHeaderSize, lay.stride - kMacImageHeaderSize, f);  // rest of the header slot
  // The table area: pieces of one page at the stride, 0xFF around them.
  const uint64_t tableAt = at + lay.stride;
  const uint64_t tableBytes = kMacSize * m.chunkCount;
  const uint64_t tablePages = CeilDiv(tableBytes, p);
  if (lay.stride == p) {
    ExpectFF(src, tableAt + tableBytes, m.totalLength - tableAt - tableBytes, f);
  } else {
    for (uint64_t t = 0; t < tablePages && f.Clean(); ++t) {
      const uint64_t piece = std::min<uint64_t>(p, tableBytes - t * p);
      ExpectFF(src, tableAt + t * lay.stride + piece, lay.stride - piece, f);
    }
    ExpectFF(src, tableAt + tablePages * lay.stride, m.totalLength - tableAt - tablePages * lay.stride, f);
  }
  if (f.KeysOrNull() == nullptr) f.FieldNum("MAC table entries", m.chunkCount);
  if (const Keys* keys = f.KeysOrNull()) {
    const uint64_t pages = lay.data / lay.stride + 1;  // data pages and the header page
    CheckChunkMacs(src, p, lay.stride, pages, m.chunkCount, tableAt, keys->v1, f);
  }
  return f.Clean();
}

}  // namespace tarnel::verify
