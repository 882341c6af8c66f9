#include "signing/sparse_ext4.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <new>
#include <system_error>
#include <vector>

#include "common/files.h"
#include "common/platform.h"
#include "common/le.h"
#include "common/paths.h"
#include "common/text.h"
#include "signing/section_signer.h"
#include "signing/sign_image.h"
#include "signing/messages.h"

namespace tarnel {

SparseFileHeader SparseFileHeader::Decode(const uint8_t* p) {
  SparseFileHeader h;
  std::memcpy(h.raw.data(), p, kSize);
  h.magic = GetLe32(p + kOffMagic);
  h.majorVersion = GetLe16(p + kOffMajorVersion);
  h.minorVersion = GetLe16(p + kOffMinorVersion);
  h.fileHeaderSize = GetLe16(p + kOffFileHeaderSize);
  h.chunkHeaderSize = GetLe16(p + kOffChunkHeaderSize);
  h.blockSize = GetLe32(p + kOffBlockSize);
  h.totalBlocks = GetLe32(p + kOffTotalBlocks);
  h.totalChunks = GetLe32(p + kOffTotalChunks);
  h.checksum = GetLe32(p + kOffChecksum);
  return h;
}

SparseChunkHeader SparseChunkHeader::Decode(const uint8_t* p) {
  SparseChunkHeader c;
  std::memcpy(c.raw.data(), p, kSize);
  c.type = GetLe16(p + kOffType);
  c.reserved = GetLe16(p + kOffReserved);
  c.blocks = GetLe32(p + kOffBlocks);
  c.totalSize = GetLe32(p + kOffTotalSize);
  return c;
}

namespace {

SparseVerdict CheckFileHeader(const SparseFileHeader& h) {
  if (h.magic != kSparseMagic || h.majorVersion != kSparseMajorVersion || h.fileHeaderSize != SparseFileHeader::kSize)
    return SparseVerdict::Invalid;
  if (h.chunkHeaderSize != SparseChunkHeader::kSize) return SparseVerdict::Invalid;
  if (h.blockSize == 0 || h.blockSize % 4 != 0) return SparseVerdict::Invalid;
  const uint64_t expanded = h.ExpandedLength();
  if (expanded > kMaxImageLength) return SparseVerdict::TooLarge;
  if (expanded == 0) return SparseVerdict::Invalid;
  return SparseVerdict::Ok;
}

// Source bytes after the header and expanded bytes of one chunk; false when
// its total size does not match its type.
bool ChunkSizes(const SparseFileHeader& h, const SparseChunkHeader& c, uint64_t& payload, uint64_t& expanded) {
  const uint64_t blockBytes = uint64_t{c.blocks} * h.blockSize;  // below 2^64: both factors are 32-bit
  switch (c.type) {
    case kChunkRaw:
      payload = blockBytes;
      expanded = blockBytes;
      break;
    case kChunkFill:
      payload = 4;
      expanded = blockBytes;
      break;
    case kChunkDontCare:
      payload = 0;
      expanded = blockBytes;
      break;
    case kChunkCrc32:
      // A checksum of what came before; it names no blocks of its own.
      if (c.blocks != 0) return false;
      payload = 4;
      expanded = 0;
      break;
    default:
      return false;
  }
  return uint64_t{c.totalSize} == SparseChunkHeader::kSize + payload;
}

}  // namespace

SparseVerdict WalkSparseImage(const SparseReadAt& read, uint64_t fileLength, SparseFileHeader& header,
                              const SparseVisit& visit) {
  uint8_t bytes[SparseFileHeader::kSize];
  if (fileLength < SparseFileHeader::kSize) return SparseVerdict::Invalid;
  if (!read(0, bytes, sizeof bytes)) return SparseVerdict::ReadFailed;
  header = SparseFileHeader::Decode(bytes);
  if (const SparseVerdict v = CheckFileHeader(header); v != SparseVerdict::Ok) return v;

  uint64_t pos = SparseFileHeader::kSize;
  uint64_t blocksSeen = 0;
  for (uint32_t i = 0; i < header.totalChunks; ++i) {
    // Every chunk header takes 12 bytes of the file, so a chunk count larger
    // than the file can hold ends here, long before the count runs out.
    if (fileLength - pos < SparseChunkHeader::kSize) return SparseVerdict::Invalid;
    uint8_t chunkBytes[SparseChunkHeader::kSize];
    if (!read(pos, chunkBytes, sizeof chunkBytes)) return SparseVerdict::ReadFailed;
    SparseChunkView view;
    view.index = i;
    view.header = SparseChunkHeader::Decode(chunkBytes);
    uint64_t payload = 0;
    if (!ChunkSizes(header, view.header, payload, view.expandedBytes)) return SparseVerdict::Invalid;
    view.dataPos = pos + SparseChunkHeader::kSize;
    if (fileLength - view.dataPos < payload) return SparseVerdict::Invalid;
    view.dataOffset = blocksSeen * header.blockSize;
    if (view.header.type != kChunkCrc32) {
      blocksSeen += view.header.blocks;
      if (blocksSeen > header.totalBlocks) return SparseVerdict::Invalid;
    }
    if (view.header.type == kChunkFill && !read(view.dataPos, view.fill.data(), view.fill.size()))
      return SparseVerdict::ReadFailed;
    if (visit && !visit(view)) return SparseVerdict::Stopped;
    pos = view.dataPos + payload;
  }
  if (blocksSeen != header.totalBlocks) return SparseVerdict::Invalid;
  return SparseVerdict::Ok;
}

SparseVerdict ValidateSparseImage(const uint8_t* data, size_t n) {
  SparseFileHeader header;
  const SparseReadAt read = [data, n](uint64_t offset, uint8_t* out, size_t count) {
    if (offset > n || n - offset < count) return false;
    std::memcpy(out, data + offset, count);
    return true;
  };
  return WalkSparseImage(read, n, header, {});
}

namespace {

// Bytes of the sparse map: the file header, one entry per chunk and the
// section index table (one entry per MiB mark plus entry 0), zero-filled to
// whole 8192-byte blocks. Sized so the whole table always fits.
uint64_t SparseMapLength(uint64_t expandedLength, uint32_t totalChunks) {
  const uint64_t marks = expandedLength / kSectionSize;
  const uint64_t needed = SparseFileHeader::kSize + uint64_t{SparseChunkHeader::kSize} * totalChunks + 4 * (marks + 1);
  return (needed + kSignatureBlockSize - 1) / kSignatureBlockSize * kSignatureBlockSize;
}

bool SamePath(const std::string& a, const std::string& b) {
  if (a == b) return true;
  std::error_code ec;
  return std::filesystem::equivalent(a, b, ec) && !ec;
}

enum class Expand { Ok, SourceFailed, Shown };

constexpr size_t kFillPiece = 4096;

// One chunk's expanded bytes into the section signer (which writes the data
// file and signs every full section).
Expand ExpandChunk(InFile& source, const SparseChunkView& chunk, SectionSigner& signer) {
  if (chunk.header.type == kChunkRaw && !source.Seek(chunk.dataPos)) return Expand::SourceFailed;
  // The fill pattern laid out once; a copy starts at the byte whose phase it needs.
  std::array<uint8_t, kFillPiece + 4> pattern{};
  if (chunk.header.type == kChunkFill)
    for (size_t k = 0; k < pattern.size(); ++k) pattern[k] = chunk.fill[k % 4];
  uint64_t left = chunk.expandedBytes;
  uint64_t done = 0;
  while (left > 0) {
    size_t room = 0;
    uint8_t* at = signer.Room(room);
    const size_t n = static_cast<size_t>(std::min<uint64_t>(room, left));
    if (n == 0) return Expand::SourceFailed;  // more data than the header announced
    switch (chunk.header.type) {
      case kChunkRaw:
        if (!source.ReadExact(at, n)) return Expand::SourceFailed;
        break;
      case kChunkFill:
        for (size_t k = 0; k < n;) {
          const size_t piece = std::min(n - k, kFillPiece);
          std::memcpy(at + k, pattern.data() + (done + k) % 4, piece);
          k += piece;
        }
        break;
      default:
        std::memset(at, 0, n);
        break;
    }
    if (!signer.Filled(n)) return Expand::Shown;
    left -= n;
    done += n;
  }
  return Expand::Ok;
}

}  // namespace

bool SignSparseExt4Image(RunServices& ctx, const std::string& outputPath, const std::string& sourcePath) {
  const std::string signPath = SignFilePathFor(outputPath);
  const std::string tempDir = ctx.TempDir();
  const std::string tempSignPath = tempDir + AfterLastSep(signPath);
  const std::string dataPath = tempDir + AfterLastSep(sourcePath);
  const Stamps stamps = TakeStamps();

  InFile source;
  if (!source.Open(sourcePath)) {
    const std::string why = WhyUnreadable(sourcePath);
    ctx.ShowDetail(Format(kMsgOpenFileFailed, sourcePath.c_str()),
                   sourcePath + ": " + (why.empty() ? "cannot be opened" : why));
    return false;
  }
  const uint64_t length = source.Size();
  if (length <= kMaxImageLength && !SectionedSourceLongEnough(length)) {
    ctx.Show(kMsgSectionTooLarge);
    return false;
  }

  // Every header is checked before anything is expanded.
  const SparseReadAt read = [&source](uint64_t offset, uint8_t* out, size_t n) {
    return source.Seek(offset) && source.ReadExact(out, n);
  };
  const auto showVerdict = [&](SparseVerdict v) {
    switch (v) {
      case SparseVerdict::Ok:
      case SparseVerdict::Stopped:
        break;
      case SparseVerdict::Invalid:
        ctx.Show(kMsgInvalidSparse);
        break;
      case SparseVerdict::TooLarge:
        ctx.Show(Format(kMsgExpandedTooLarge, sourcePath.c_str()));
        break;
      case SparseVerdict::ReadFailed:
        ctx.Show(Format(kMsgReadSourceFailed, sourcePath.c_str()));
        break;
    }
    return false;
  };
  SparseFileHeader header;
  if (const SparseVerdict v = WalkSparseImage(read, length, header, {}); v != SparseVerdict::Ok) return showVerdict(v);
  for (const std::string* other : {&sourcePath, &outputPath}) {
    if (SamePath(dataPath, *other)) {
      ctx.Show(Format(kMsgDataFileClash, dataPath.c_str(), other->c_str()));
      return false;
    }
  }
  if (!CheckSigningKey(ctx)) return false;

  // X.img: the sparse image unchanged. It takes its name only together with
  // X_Sign.img, so a run that fails leaves the previous pair as it was.
  OutFile image;
  if (!source.Seek(0)) {
    ctx.Show(Format(kMsgReadSourceFailed, sourcePath.c_str()));
    return false;
  }
  if (!CopyImageFile(ctx, source, length, sourcePath, image, outputPath, kMsgFileBeingUsed, kMsgMallocSignFileData,
                     true))
    return false;

  const uint64_t expanded = header.ExpandedLength();  // checked: 1 .. 4 GiB - 1
  const uint32_t sections = SectionCountFor(expanded);
  const uint64_t mapLength = SparseMapLength(expanded, header.totalChunks);
  // Section index table: entry 0, then one entry per MiB mark passed.
  std::vector<uint8_t> indexTable;
  try {
    indexTable.reserve(4 * (expanded / kSectionSize + 1));
  } catch (const std::bad_alloc&) {
    ctx.Show(kMsgMallocTailFile);
    return false;
  }
  const auto appendIndex = [&indexTable](uint32_t value) {
    uint8_t b[4];
    PutLe32(b, value);
    indexTable.insert(indexTable.end(), b, b + 4);
  };
  appendIndex(0);

  OutFile data;
  if (!data.Create(dataPath)) {
    ctx.Show(kMsgOpenDataFileFailed);
    return false;
  }
  OutFile signFile;
  if (!signFile.Create(tempSignPath)) {
    ctx.Show(Format(kMsgOpenSignFileFailed, tempSignPath.c_str()));
    return false;
  }
  // The section blocks come first; the map follows them and is written as
  // the chunks go by, while the expanded data is written and signed.
  SectionSigner signer(ctx, stamps, outputPath, sections, signFile, &data);
  if (!signer.Begin()) return false;
  if (!signFile.Write(header.raw.data(), header.raw.size())) {
    ctx.Show(Format(kMsgWriteOutputFailed, tempSignPath.c_str()));
    return false;
  }
  Expand expandResult = Expand::Ok;
  const SparseVisit visit = [&](const SparseChunkView& chunk) {
    std::array<uint8_t, SparseChunkHeader::kSize> entry = chunk.header.raw;
    PutLe16(entry.data() + SparseChunkHeader::kOffReserved, static_cast<uint16_t>(chunk.index));
    PutLe32(entry.data() + SparseChunkHeader::kOffTotalSize, static_cast<uint32_t>(chunk.dataOffset));
    if (!signFile.Write(entry.data(), entry.size())) {
      ctx.Show(Format(kMsgWriteOutputFailed, tempSignPath.c_str()));
      return false;
    }
    const uint64_t firstMark = chunk.dataOffset / kSectionSize;
    const uint64_t lastMark = (chunk.dataOffset + chunk.expandedBytes) / kSectionSize;
    for (uint64_t k = firstMark; k < lastMark; ++k) appendIndex(chunk.index);
    expandResult = ExpandChunk(source, chunk, signer);
    return expandResult == Expand::Ok;
  };
  if (const SparseVerdict v = WalkSparseImage(read, length, header, visit); v != SparseVerdict::Ok) {
    if (v == SparseVerdict::Stopped && expandResult == Expand::SourceFailed)
      return showVerdict(SparseVerdict::ReadFailed);
    return showVerdict(v);
  }
  if (signer.BytesSeen() != expanded) return showVerdict(SparseVerdict::ReadFailed);
  if (!signer.Finish()) return signer.Shown() ? false : showVerdict(SparseVerdict::ReadFailed);
  source.Close();
  if (!data.Commit()) {
    ctx.Show(Format(kMsgWriteOutputFailed, dataPath.c_str()));
    return false;
  }
  ctx.StepDone();

  const uint64_t mapWritten = signFile.Written() - uint64_t{sections} * kSignatureBlockSize + indexTable.size();
  if (mapWritten > mapLength || !signFile.Write(indexTable.data(), indexTable.size()) ||
      !signFile.WriteFill(0, mapLength - mapWritten) || !signFile.Commit()) {
    ctx.Show(Format(kMsgWriteOutputFailed, tempSignPath.c_str()));
    return false;
  }
  ctx.StepDone();
  return CommitImageAndSignFile(ctx, image, outputPath, tempSignPath);
}

}  // namespace tarnel
