#include "signing/yaffs.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <utility>
#include <vector>

#include "common/files.h"
#include "common/stream.h"
#include "common/platform.h"
#include "common/text.h"
#include "signing/image_headers.h"
#include "signing/mac_containers.h"
#include "signing/sign_image.h"
#include "signing/messages.h"

namespace tarnel {

namespace {

constexpr uint64_t kChunkBytes = kMacChunkSize;  // page data per MAC

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

  [[nodiscard]] uint64_t Length() const { return data_ + slot_.size(); }

  [[nodiscard]] bool Next(uint8_t* out, size_t n) {
    while (n > 0) {
      size_t piece;
      if (pos_ < length_) {
        piece = static_cast<size_t>(std::min<uint64_t>(n, length_ - pos_));
        if (!source_.ReadExact(out, piece)) return false;
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

 private:
  InFile& source_;
  uint64_t length_;
  uint64_t data_;
  std::vector<uint8_t> slot_;
  uint64_t pos_ = 0;
};

// The MAC table of the padded stream: the page bytes of every page stride
// (never its spare bytes) go into one CBC-MAC per 1 MiB of page data, the
// last one short. Pieces may split the strides anywhere.
class PageMacs {
 public:
  PageMacs(const Key128& key, uint64_t page, uint64_t stride, std::vector<uint8_t>& table)
      : key_(key), page_(page), stride_(stride), table_(table) {}

  [[nodiscard]] bool Feed(const uint8_t* data, size_t n) {
    while (n > 0) {
      const uint64_t at = pos_ % stride_;
      size_t piece;
      if (at < page_) {
        if (!mac_) mac_ = std::make_unique<CbcMac>(key_);
        piece = static_cast<size_t>(std::min<uint64_t>({n, page_ - at, kChunkBytes - mac_->Fed()}));
        if (!mac_->Update(data, piece)) return false;
        if (mac_->Fed() == kChunkBytes && !Close()) return false;
      } else {
        piece = static_cast<size_t>(std::min<uint64_t>(n, stride_ - at));
      }
      pos_ += piece;
      data += piece;
      n -= piece;
    }
    return true;
  }
  // Ends the last chunk; true when the table is exactly full.
  [[nodiscard]] bool Finish() { return (!mac_ || Close()) && done_ * kMacSize == table_.size(); }

 private:
  [[nodiscard]] bool Close() {
    const bool ok = (done_ + 1) * kMacSize <= table_.size() && mac_->Final(table_.data() + done_ * kMacSize);
    mac_.reset();
    ++done_;
    return ok;
  }

  const Key128& key_;
  uint64_t page_;
  uint64_t stride_;
  std::vector<uint8_t>& table_;
  std::unique_ptr<CbcMac> mac_;
  uint64_t pos_ = 0;
  uint64_t done_ = 0;
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

  std::vector<uint8_t> slot, table;
  try {
    slot.assign(static_cast<size_t>(layout.stride), 0xFF);
    table.assign(static_cast<size_t>(kMacSize * layout.chunks), 0);
  } catch (const std::bad_alloc&) {
    ctx.Show(kMsgMallocFailed);
    return false;
  }
  header.Encode(slot.data());

  // One pass over the padded image and the header page: read, MACed and
  // written at the same time, the table filled as the chunks go by.
  PaddedStream stream(source, length, layout.data, std::move(slot));
  PageMacs macs(key, pageSize, layout.stride, table);
  StreamStages stages;
  ReadFrom(source, stages);
  stages.read = [&stream](uint8_t* buffer, size_t n) { return stream.Next(buffer, n); };
  stages.compute = [&macs](const uint8_t* data, size_t n) { return macs.Feed(data, n); };
  stages.write = WriteStage(output);
  stages.progress = ctx.StepProgressOf(stream.Length());
  static constexpr StreamMessages kMessages{kMsgReadSourceFailed, kMsgMallocFailed, kMsgWriteOutputFailed,
                                            kMsgMallocFailed};
  StreamStatus status = StreamThrough(stream.Length(), stages);
  if (status == StreamStatus::Ok && !macs.Finish()) status = StreamStatus::ComputeFailed;
  if (status != StreamStatus::Ok) {
    ctx.Show(StreamFailureMessage(status, kMessages, sourcePath, outputPath));
    return false;
  }
  const auto writeFailed = [&] {
    ctx.Show(Format(kMsgWriteOutputFailed, outputPath.c_str()));
    return false;
  };

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
