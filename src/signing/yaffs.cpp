#include "signing/yaffs.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <new>
#include <utility>
#include <vector>

#include "common/files.h"
#include "common/platform.h"
#include "common/text.h"
#include "signing/image_headers.h"
#include "signing/mac_containers.h"
#include "signing/sign_image.h"

namespace tarnel {

namespace {

constexpr uint64_t kChunkBytes = kMacChunkSize;  // page data per MAC
constexpr size_t kSparePiece = 64 * 1024;        // spare bytes pass through this much at a time

// Sizes of the sealed layout (all 64-bit; the caller refuses a total of 4 GiB or more).
struct YaffsLayout {
  uint64_t spare = 0;       // spare bytes per page that the layout uses
  uint64_t stride = 0;      // G = P + spare: one page with its spare bytes
  uint64_t rawBlock = 0;    // R = (B / P) x G
  uint64_t blocks = 0;      // nb = ceil(L / R)
  uint64_t data = 0;        // D = nb x R
  uint64_t covered = 0;     // C = P + nb x B: page data of the blocks and the header page
  uint64_t chunks = 0;      // N = ceil(C / 1 MiB)
  uint64_t tablePages = 0;  // ceil(16 N / P)
  uint64_t tableArea = 0;   // TA: header page and table, in whole raw blocks
  uint64_t total = 0;       // D + TA
};

// False when a raw block alone would already reach 4 GiB.
bool ComputeLayout(uint64_t page, uint64_t block, uint64_t spare, uint64_t sourceLength, YaffsLayout& out) {
  out.spare = spare;
  out.stride = page + spare;
  const uint64_t pagesPerBlock = block / page;
  if (out.stride > kMaxImageLength || pagesPerBlock > kMaxImageLength / out.stride) return false;
  out.rawBlock = pagesPerBlock * out.stride;
  out.blocks = (sourceLength + out.rawBlock - 1) / out.rawBlock;
  out.data = out.blocks * out.rawBlock;
  out.covered = page + out.blocks * block;
  out.chunks = (out.covered + kChunkBytes - 1) / kChunkBytes;
  out.tablePages = (kMacSize * out.chunks + page - 1) / page;
  const uint64_t headerAndTable = out.tablePages * out.stride + out.stride;
  out.tableArea = (headerAndTable + out.rawBlock - 1) / out.rawBlock * out.rawBlock;
  out.total = out.data + out.tableArea;
  return true;
}

// The bytes of the padded image followed by the header page slot: the
// source, 0xFF up to D, then the header and 0xFF up to one page stride.
class PaddedStream {
 public:
  PaddedStream(InFile& source, uint64_t sourceLength, uint64_t dataLength, std::vector<uint8_t> headerSlot)
      : source_(source), length_(sourceLength), data_(dataLength), slot_(std::move(headerSlot)) {}

  [[nodiscard]] bool Next(uint8_t* out, size_t n) {
    while (n > 0) {
      size_t piece;
      if (pos_ < length_) {
        piece = static_cast<size_t>(std::min<uint64_t>(n, length_ - pos_));
        if (!source_.ReadExact(out, piece)) {
          readFailed_ = true;
          return false;
        }
      } else if (pos_ < data_) {
        piece = static_cast<size_t>(std::min<uint64_t>(n, data_ - pos_));
        std::memset(out, 0xFF, piece);
      } else {
        const uint64_t at = pos_ - data_;
        if (at >= slot_.size()) return false;
        piece = static_cast<size_t>(std::min<uint64_t>(n, slot_.size() - at));
        std::memcpy(out, slot_.data() + at, piece);
      }
      pos_ += piece;
      out += piece;
      n -= piece;
    }
    return true;
  }
  [[nodiscard]] bool ReadFailed() const { return readFailed_; }

 private:
  InFile& source_;
  uint64_t length_;
  uint64_t data_;
  std::vector<uint8_t> slot_;
  uint64_t pos_ = 0;
  bool readFailed_ = false;
};

}  // namespace

bool SealYaffsImage(RunServices& ctx, const FlashGeometry& geometry, const Key128& key, const std::string& outputPath,
                    const std::string& sourcePath) {
  const uint32_t pageSize = geometry.pageSize;
  const uint32_t blockSize = geometry.blockSize;
  if (!IsRegularFile(sourcePath)) {
    ctx.Show(kMsgMacSourceNotFound);
    return false;
  }
  InFile source;
  if (!source.Open(sourcePath)) {
    ctx.Show(kMsgMacOpenSourceFailed);
    return false;
  }
  if (pageSize == 0 || pageSize % kMacSize != 0 || kChunkBytes % pageSize != 0 || pageSize < kMacImageHeaderSize) {
    ctx.Show(Format(kMsgYaffsBadPageSize, pageSize, sourcePath.c_str()));
    return false;
  }
  if (blockSize == 0 || blockSize % pageSize != 0) {
    ctx.Show(Format(kMsgYaffsBadBlockSize, blockSize, sourcePath.c_str(), pageSize));
    return false;
  }
  // Only a NAND flash has spare bytes; any other flash is laid out without
  // them, whatever spare size the geometry holds.
  const uint64_t spare = geometry.IsNand() ? geometry.spareSize : 0;
  const uint64_t length = source.Size();
  YaffsLayout layout;
  if (length > kMaxImageLength || !ComputeLayout(pageSize, blockSize, spare, length, layout) ||
      layout.total > kMaxImageLength) {
    ctx.Show(Format(kMsgYaffsTooLarge, sourcePath.c_str()));
    return false;
  }
  OutFile output;
  if (!output.Create(outputPath)) {
    ctx.Show(kMsgMacCreateDestinationFailed);
    return false;
  }
  if (layout.data < kChunkBytes) {
    ctx.Show(kMsgSourceTooSmall);
    return false;
  }

  MacImageHeader header;
  header.size = kMacImageHeaderSize;
  header.pageSize = pageSize;
  header.blockSize = blockSize;
  header.spareSize = static_cast<uint32_t>(spare);
  header.totalLength = static_cast<uint32_t>(layout.total);
  header.pageEcho = 0;
  header.sourceLength = static_cast<uint32_t>(length);
  header.coveredLength = static_cast<uint32_t>(layout.covered);
  header.kindValue = kMacHeaderKind;
  header.dataLength = static_cast<uint32_t>(layout.blocks * blockSize);
  header.coveredLength2 = static_cast<uint32_t>(pageSize + layout.blocks * blockSize);
  header.macLength = kMacSize;
  header.chunkCount = static_cast<uint32_t>(layout.chunks);
  header.chunkSize = kMacChunkSize;

  std::vector<uint8_t> slot, chunk, spareBytes, table;
  try {
    slot.assign(static_cast<size_t>(layout.stride), 0xFF);
    chunk.assign(kChunkBytes, 0xFF);
    spareBytes.assign(static_cast<size_t>(std::min<uint64_t>(spare, kSparePiece)), 0xFF);
    table.assign(static_cast<size_t>(kMacSize * layout.chunks), 0);
  } catch (const std::bad_alloc&) {
    ctx.Show(kMsgMallocFailed);
    return false;
  }
  header.Encode(slot.data());

  // One pass: every page stride goes to the output as it is produced; the
  // page bytes gather into the chunk buffer, whose MAC is taken when it holds
  // 1 MiB of page data, or the last pages (the header page among them).
  PaddedStream stream(source, length, layout.data, std::move(slot));
  const auto streamFailed = [&] {
    if (stream.ReadFailed())
      ctx.Show(Format(kMsgReadSourceFailed, sourcePath.c_str()));
    else
      ctx.Show(kMsgMallocFailed);
    return false;
  };
  const auto writeFailed = [&] {
    ctx.Show(Format(kMsgWriteOutputFailed, outputPath.c_str()));
    return false;
  };
  const uint64_t pagesPerChunk = kChunkBytes / pageSize;
  const uint64_t strides = layout.data / layout.stride + 1;  // data pages and the header page
  uint64_t stride = 0;
  for (uint64_t c = 0; c < layout.chunks; ++c) {
    const uint64_t pages = std::min<uint64_t>(pagesPerChunk, strides - stride);
    for (uint64_t k = 0; k < pages; ++k, ++stride) {
      uint8_t* page = chunk.data() + k * pageSize;
      if (!stream.Next(page, pageSize)) return streamFailed();
      if (!output.Write(page, pageSize)) return writeFailed();
      for (uint64_t left = spare; left > 0;) {
        const size_t piece = static_cast<size_t>(std::min<uint64_t>(left, spareBytes.size()));
        if (!stream.Next(spareBytes.data(), piece)) return streamFailed();
        if (!output.Write(spareBytes.data(), piece)) return writeFailed();
        left -= piece;
      }
    }
    if (!ComputeCbcMac(key, chunk.data(), static_cast<size_t>(pages * pageSize),
                       table.data() + c * kMacSize)) {
      ctx.Show(kMsgMallocFailed);
      return false;
    }
  }
  if (stride != strides) return streamFailed();

  // The table, one page-size piece at the start of each page stride; 0xFF
  // everywhere else up to the end of the table area.
  for (uint64_t t = 0; t < layout.tablePages; ++t) {
    const uint64_t from = t * pageSize;
    const size_t piece = static_cast<size_t>(std::min<uint64_t>(pageSize, table.size() - from));
    if (!output.Write(table.data() + from, piece) || !output.WriteFill(0xFF, layout.stride - piece))
      return writeFailed();
  }
  const uint64_t tail = layout.tableArea - layout.stride - layout.tablePages * layout.stride;
  if (!output.WriteFill(0xFF, tail) || output.Written() != layout.total || !output.Commit()) return writeFailed();
  return true;
}

}  // namespace tarnel
