// Ext4 sparse images of the later boards: signed per 1 MiB of expanded data
// into Output Name + "_Sign.img", with a map back to the sparse chunks.
//
// For an output image X.img the signer writes X.img (a copy of the sparse
// source), X_Sign.img (section signature blocks, the sparse map, and a
// whole-file signature block) and leaves two files in Temp: the expanded data
// (named like the source) and the signature file before its whole-file block.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "signing/run_services.h"

namespace tarnel {

// ---------------------------------------------------------------------------
// Android sparse image, all fields little-endian.
inline constexpr uint32_t kSparseMagic = 0xED26FF3Au;
inline constexpr uint16_t kSparseMajorVersion = 1;
inline constexpr uint16_t kChunkRaw = 0xCAC1;       // chunk size x block size data bytes follow
inline constexpr uint16_t kChunkFill = 0xCAC2;      // a 4-byte pattern follows, repeated over the blocks
inline constexpr uint16_t kChunkDontCare = 0xCAC3;  // nothing follows; the blocks read as zero
inline constexpr uint16_t kChunkCrc32 = 0xCAC4;     // a 4-byte checksum follows; no blocks

struct SparseFileHeader {
  static constexpr size_t kSize = 28;
  static constexpr size_t kOffMagic = 0;             // u32, 0xED26FF3A
  static constexpr size_t kOffMajorVersion = 4;      // u16, 1
  static constexpr size_t kOffMinorVersion = 6;      // u16, ignored
  static constexpr size_t kOffFileHeaderSize = 8;    // u16, 28
  static constexpr size_t kOffChunkHeaderSize = 10;  // u16, 12
  static constexpr size_t kOffBlockSize = 12;        // u32, bytes per block
  static constexpr size_t kOffTotalBlocks = 16;      // u32, blocks of the expanded image
  static constexpr size_t kOffTotalChunks = 20;      // u32
  static constexpr size_t kOffChecksum = 24;         // u32, ignored

  std::array<uint8_t, kSize> raw{};  // the bytes as read
  uint32_t magic = 0;
  uint16_t majorVersion = 0;
  uint16_t minorVersion = 0;
  uint16_t fileHeaderSize = 0;
  uint16_t chunkHeaderSize = 0;
  uint32_t blockSize = 0;
  uint32_t totalBlocks = 0;
  uint32_t totalChunks = 0;
  uint32_t checksum = 0;

  [[nodiscard]] static SparseFileHeader Decode(const uint8_t* p);
  // Length of the expanded data (64-bit, never wraps).
  [[nodiscard]] uint64_t ExpandedLength() const { return uint64_t{totalBlocks} * blockSize; }
};
static_assert(SparseFileHeader::kOffChecksum + 4 == SparseFileHeader::kSize);

struct SparseChunkHeader {
  static constexpr size_t kSize = 12;
  static constexpr size_t kOffType = 0;       // u16
  static constexpr size_t kOffReserved = 2;   // u16; the map stores the chunk index here
  static constexpr size_t kOffBlocks = 4;     // u32, chunk size in blocks
  static constexpr size_t kOffTotalSize = 8;  // u32, bytes in the source with this header; the map stores
                                              // the chunk's data offset here

  std::array<uint8_t, kSize> raw{};
  uint16_t type = 0;
  uint16_t reserved = 0;
  uint32_t blocks = 0;
  uint32_t totalSize = 0;

  [[nodiscard]] static SparseChunkHeader Decode(const uint8_t* p);
};
static_assert(SparseChunkHeader::kOffTotalSize + 4 == SparseChunkHeader::kSize);

// One chunk as the walk hands it over, after its header has been checked.
struct SparseChunkView {
  uint32_t index = 0;
  SparseChunkHeader header;
  uint64_t dataPos = 0;           // source offset of the bytes after the chunk header
  uint64_t dataOffset = 0;        // offset of the chunk's blocks in the expanded data
  uint64_t expandedBytes = 0;     // bytes the chunk adds to the expanded data
  std::array<uint8_t, 4> fill{};  // fill chunks: the pattern, in source byte order
};

enum class SparseVerdict {
  Ok,
  Invalid,     // not a sparse image, or one whose headers do not add up
  TooLarge,    // expands to 4 GiB or more
  ReadFailed,  // the reader failed inside the file
  Stopped,     // the visitor stopped the walk
};

// Reads n bytes at an offset that the walk has checked to lie inside the file.
using SparseReadAt = std::function<bool(uint64_t offset, uint8_t* out, size_t n)>;
using SparseVisit = std::function<bool(const SparseChunkView&)>;

// Reads and checks the file header, then every chunk header in order, each
// one before it is trusted: a chunk header size of 12, a block size that is
// a nonzero multiple of 4, an expanded length below 4 GiB and above 0, a
// known chunk type whose total size matches it, chunks that lie inside the
// file, and chunk sizes that add up to the total blocks. Hands each checked
// chunk to `visit` (may be empty). Fills `header` once it has been read.
[[nodiscard]] SparseVerdict WalkSparseImage(const SparseReadAt& read, uint64_t fileLength, SparseFileHeader& header,
                                            const SparseVisit& visit);
// The same checks over an image held in memory.
[[nodiscard]] SparseVerdict ValidateSparseImage(const uint8_t* data, size_t n);

[[nodiscard]] bool SignSparseExt4Image(RunServices& ctx, const std::string& outputPath,
                                       const std::string& sourcePath);

}  // namespace tarnel
