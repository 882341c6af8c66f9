// Demo samples of the file-system File Types: an Android sparse ext4 image
// (mke2fs, then img2simg, with its zero runs turned into don't-care chunks),
// a UBI image (mkfs.ubifs and ubinize) and a Yaffs2 image for a 2K-page NAND
// with 64 spare bytes per page, written here page by page.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include "cli/demo.h"
#include "common/files.h"
#include "common/le.h"
#include "common/paths.h"
#include "common/platform.h"
#include "signing/sparse_ext4.h"

namespace tarnel::demo {

namespace {

constexpr const char* kWorkFolder = ".fs-samples";
constexpr const char* kToolLog = "tools.log";
constexpr const char* kExt4Size = "24M";
constexpr uint32_t kExt4BlockSize = 4096;
constexpr size_t kFirmwareSize = 2500000;    // keeps the sparse image above 2 MiB
constexpr size_t kPatternFileSize = 262144;  // whole blocks of one 4-byte pattern: fill chunks
constexpr size_t kUbiPayloadSize = 2700000;  // keeps the UBI image above 2 MiB

// UBI geometry of a 2K-page NAND with 128K erase blocks.
constexpr const char* kUbiMinIo = "2048";
constexpr const char* kUbiLeb = "126976";
constexpr const char* kUbiPeb = "128KiB";
constexpr const char* kUbiMaxLebs = "64";

// `size` bytes of a repeatable pattern (xorshift32 from `seed`).
std::vector<uint8_t> Pattern(size_t size, uint32_t seed) {
  std::vector<uint8_t> out(size);
  uint32_t x = seed;
  for (uint8_t& b : out) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    b = static_cast<uint8_t>(x >> 24);
  }
  return out;
}

bool WriteWhole(const std::string& path, const std::vector<uint8_t>& bytes) {
  OutFile out;
  return out.Create(path) && out.Write(bytes.data(), bytes.size()) && out.Commit();
}

bool WriteText(const std::string& path, const std::string& text) {
  return WriteWhole(path, std::vector<uint8_t>(text.begin(), text.end()));
}

// An executable on the search path or in the system folders; empty when none.
std::string FindTool(const std::string& name) {
  std::vector<std::string> folders;
  if (const char* path = std::getenv("PATH")) {
    std::string all(path);
    for (size_t start = 0; start <= all.size();) {
      const size_t end = std::min(all.find(':', start), all.size());
      if (end > start) folders.push_back(all.substr(start, end - start));
      start = end + 1;
    }
  }
  for (const char* extra : {"/usr/local/sbin", "/usr/sbin", "/sbin"}) folders.emplace_back(extra);
  for (const std::string& folder : folders) {
    const std::string candidate = WithTrailingSep(folder) + name;
    std::error_code ec;
    const auto status = std::filesystem::status(candidate, ec);
    if (!ec && std::filesystem::is_regular_file(status) &&
        (status.permissions() & std::filesystem::perms::others_exec) != std::filesystem::perms::none)
      return candidate;
  }
  return {};
}

bool Run(const std::vector<std::string>& argv, const std::string& work, std::string& error) {
  if (RunProcess(argv, work, work + kToolLog) == 0) return true;
  error = argv[0] + " failed; see " + work + kToolLog;
  return false;
}

// The files both file systems hold: a firmware blob, a file of one 4-byte
// pattern, a few texts.
bool WriteSampleTree(const std::string& root, size_t payloadSize, std::string& error) {
  std::error_code ec;
  std::filesystem::create_directories(root + "etc", ec);
  std::filesystem::create_directories(root + "lib/firmware", ec);
  std::vector<uint8_t> pattern;
  pattern.reserve(kPatternFileSize);
  while (pattern.size() < kPatternFileSize) pattern.insert(pattern.end(), {0xDE, 0xAD, 0xBE, 0xEF});
  if (!WriteWhole(root + "lib/firmware/dsp.bin", Pattern(payloadSize, 0x65787434)) ||
      !WriteWhole(root + "lib/firmware/calibration.bin", pattern) ||
      !WriteText(root + "etc/build.prop", "ro.product.board=qm5820\nro.build.id=TARNEL.DEMO\n") ||
      !WriteText(root + "etc/hostname", "settop\n")) {
    error = "cannot write the sample files under " + root;
    return false;
  }
  return true;
}

// ---------------------------------------------------------------------------
// Android sparse ext4.

void PutChunkHeader(uint8_t* h, uint16_t type, uint32_t blocks, uint32_t totalSize) {
  PutLe16(h + SparseChunkHeader::kOffType, type);
  PutLe16(h + SparseChunkHeader::kOffReserved, 0);
  PutLe32(h + SparseChunkHeader::kOffBlocks, blocks);
  PutLe32(h + SparseChunkHeader::kOffTotalSize, totalSize);
}

// Copies img2simg's output, writing every run of zero blocks (a fill chunk
// of pattern 0) as a don't-care chunk instead, as sparse writers with hole
// detection do. The chunk count stays the same, so the header is copied as is.
bool ZeroFillsToDontCare(const std::string& from, const std::string& to, std::string& error) {
  InFile in;
  OutFile out;
  if (!in.Open(from) || !out.Create(to)) {
    error = "cannot copy " + from + " to " + to;
    return false;
  }
  const SparseReadAt read = [&in](uint64_t offset, uint8_t* buf, size_t n) {
    return in.Seek(offset) && in.ReadExact(buf, n);
  };
  std::vector<uint8_t> buffer(1 << 20);
  bool headerDone = false;
  SparseFileHeader header;
  const SparseVisit visit = [&](const SparseChunkView& chunk) {
    if (!headerDone && !out.Write(header.raw.data(), header.raw.size())) return false;
    headerDone = true;
    if (chunk.header.type == kChunkFill && chunk.fill == std::array<uint8_t, 4>{0, 0, 0, 0}) {
      uint8_t h[SparseChunkHeader::kSize];
      PutChunkHeader(h, kChunkDontCare, chunk.header.blocks, SparseChunkHeader::kSize);
      return out.Write(h, sizeof h);
    }
    if (!out.Write(chunk.header.raw.data(), chunk.header.raw.size()) || !in.Seek(chunk.dataPos)) return false;
    for (uint64_t left = chunk.header.totalSize - SparseChunkHeader::kSize; left > 0;) {
      const size_t n = static_cast<size_t>(std::min<uint64_t>(left, buffer.size()));
      if (!in.ReadExact(buffer.data(), n) || !out.Write(buffer.data(), n)) return false;
      left -= n;
    }
    return true;
  };
  if (WalkSparseImage(read, in.Size(), header, visit) != SparseVerdict::Ok || !out.Commit()) {
    error = "cannot rewrite the sparse image " + from;
    return false;
  }
  return true;
}

// Without mke2fs and img2simg: the same kinds of chunks written directly.
bool WriteSyntheticSparse(const std::string& path, std::string& error) {
  constexpr uint32_t kRawBlocks = 640, kFillBlocks = 64, kDontCareBlocks = 4096, kTailBlocks = 16;
  OutFile out;
  uint8_t header[SparseFileHeader::kSize] = {};
  PutLe32(header + SparseFileHeader::kOffMagic, kSparseMagic);
  PutLe16(header + SparseFileHeader::kOffMajorVersion, kSparseMajorVersion);
  PutLe16(header + SparseFileHeader::kOffFileHeaderSize, SparseFileHeader::kSize);
  PutLe16(header + SparseFileHeader::kOffChunkHeaderSize, SparseChunkHeader::kSize);
  PutLe32(header + SparseFileHeader::kOffBlockSize, kExt4BlockSize);
  PutLe32(header + SparseFileHeader::kOffTotalBlocks, kRawBlocks + kFillBlocks + kDontCareBlocks + kTailBlocks);
  PutLe32(header + SparseFileHeader::kOffTotalChunks, 4);
  uint8_t h[SparseChunkHeader::kSize];
  const auto raw = [&](uint32_t blocks, uint32_t seed) {
    PutChunkHeader(h, kChunkRaw, blocks, SparseChunkHeader::kSize + blocks * kExt4BlockSize);
    const auto data = Pattern(size_t{blocks} * kExt4BlockSize, seed);
    return out.Write(h, sizeof h) && out.Write(data.data(), data.size());
  };
  const uint8_t fill[4] = {0xDE, 0xAD, 0xBE, 0xEF};
  bool ok = out.Create(path) && out.Write(header, sizeof header) && raw(kRawBlocks, 0x72617730);
  PutChunkHeader(h, kChunkFill, kFillBlocks, SparseChunkHeader::kSize + 4);
  ok = ok && out.Write(h, sizeof h) && out.Write(fill, sizeof fill);
  PutChunkHeader(h, kChunkDontCare, kDontCareBlocks, SparseChunkHeader::kSize);
  ok = ok && out.Write(h, sizeof h) && raw(kTailBlocks, 0x7461696C) && out.Commit();
  if (!ok) error = "cannot write " + path;
  return ok;
}

bool WriteExt4Sample(const std::string& inputDir, const std::string& work, std::string& error) {
  const std::string target = inputDir + kExt4SparseFile;
  const std::string mke2fs = FindTool("mke2fs");
  const std::string img2simg = FindTool("img2simg");
  if (mke2fs.empty() || img2simg.empty()) return WriteSyntheticSparse(target, error);

  const std::string root = work + "ext4-root/";
  const std::string raw = work + "system.raw";
  const std::string sparse = work + "system.simg";
  if (!WriteSampleTree(root, kFirmwareSize, error)) return false;
  // A fixed UUID and hash seed keep the file system the same from run to run.
  if (!Run({mke2fs, "-q", "-F", "-t", "ext4", "-b", std::to_string(kExt4BlockSize), "-L", "system", "-U",
            "5d1c0a3e-7b2f-4e61-9a8c-2f4b6d8e0c1a", "-E",
            "hash_seed=5d1c0a3e-7b2f-4e61-9a8c-2f4b6d8e0c1a,root_owner=0:0", "-d", root, raw, kExt4Size},
           work, error))
    return false;
  if (!Run({img2simg, raw, sparse}, work, error)) return false;
  return ZeroFillsToDontCare(sparse, target, error);
}

// ---------------------------------------------------------------------------
// UBI.

bool WriteUbiSample(const std::string& inputDir, const std::string& work, std::string& error) {
  const std::string mkfs = FindTool("mkfs.ubifs");
  const std::string ubinize = FindTool("ubinize");
  if (mkfs.empty() || ubinize.empty()) return true;  // the demo lists the sample as not available
  const std::string root = work + "ubi-root/";
  const std::string volume = work + "rootfs.ubifs";
  const std::string ini = work + "ubinize.ini";
  if (!WriteSampleTree(root, kUbiPayloadSize, error)) return false;
  if (!Run({mkfs, "-x", "none", "-r", root, "-m", kUbiMinIo, "-e", kUbiLeb, "-c", kUbiMaxLebs, "-o", volume}, work,
           error))
    return false;
  if (!WriteText(ini, "[rootfs]\nmode=ubi\nimage=" + volume +
                          "\nvol_id=0\nvol_type=dynamic\nvol_name=rootfs\nvol_flags=autoresize\n")) {
    error = "cannot write " + ini;
    return false;
  }
  return Run({ubinize, "-o", inputDir + kUbiFile, "-m", kUbiMinIo, "-p", kUbiPeb, "-s", kUbiMinIo, ini}, work, error);
}

// ---------------------------------------------------------------------------
// Yaffs2 on a NAND with 2048-byte pages, 64 spare bytes and 64 pages a block.

constexpr size_t kYaffsPage = 2048;
constexpr size_t kYaffsSpare = 64;
constexpr size_t kYaffsPagesPerBlock = 64;
constexpr size_t kTagsOffset = 2;            // after the bad-block marker bytes
constexpr uint32_t kFirstSequence = 0x1000;  // lowest block sequence number
constexpr uint32_t kRootObject = 1;
constexpr uint32_t kFirstObject = 257;
constexpr uint32_t kTypeFile = 1;
constexpr uint32_t kTypeDirectory = 3;

// Object header chunk: 0 type, 4 parent object, 8 u16 (unused), 10 name
// (256 bytes), 268 mode, 272 uid, 276 gid, 280 atime, 284 mtime, 288 ctime,
// 292 file size (low), 296 equivalent object, 300 alias (160 bytes), 460 rdev,
// 464..487 three Windows times, 488 shadowed object, 492 shrink flag,
// 496 file size (high), 500 reserved, 504 shadows, 508 shrink; 512 bytes, then 0xFF.
constexpr size_t kHdrName = 10, kHdrMode = 268, kHdrAtime = 280, kHdrMtime = 284, kHdrCtime = 288, kHdrSizeLow = 292,
                 kHdrSizeHigh = 496, kHdrEnd = 512;
constexpr uint32_t kSampleTime = 1700000000u;
static_assert(kHdrEnd <= kYaffsPage);

class YaffsWriter {
 public:
  explicit YaffsWriter(OutFile& out) : out_(out), page_(kYaffsPage + kYaffsSpare) {}

  // The header chunk of an object.
  bool Header(uint32_t object, uint32_t parent, uint32_t type, const std::string& name, uint32_t mode, uint64_t size) {
    std::fill(page_.begin(), page_.end(), 0xFF);
    std::fill(page_.begin(), page_.begin() + kHdrEnd, 0);
    PutLe32(page_.data(), type);
    PutLe32(page_.data() + 4, parent);
    std::memcpy(page_.data() + kHdrName, name.data(), std::min<size_t>(name.size(), 255));
    PutLe32(page_.data() + kHdrMode, mode);
    for (size_t at : {kHdrAtime, kHdrMtime, kHdrCtime}) PutLe32(page_.data() + at, kSampleTime);
    PutLe32(page_.data() + kHdrSizeLow, static_cast<uint32_t>(size));
    PutLe32(page_.data() + kHdrSizeHigh, static_cast<uint32_t>(size >> 32));
    return Emit(object, 0, 0);
  }

  // The data chunks of a file, numbered from 1.
  bool Data(uint32_t object, const std::vector<uint8_t>& bytes) {
    uint32_t chunk = 1;
    for (size_t at = 0; at < bytes.size(); at += kYaffsPage, ++chunk) {
      const size_t n = std::min(kYaffsPage, bytes.size() - at);
      std::fill(page_.begin(), page_.end(), 0xFF);
      std::memcpy(page_.data(), bytes.data() + at, n);
      if (!Emit(object, chunk, static_cast<uint32_t>(n))) return false;
    }
    return true;
  }

  // Erased pages up to the end of the block, and at least `minBlocks` blocks.
  bool Finish(size_t minBlocks) {
    std::fill(page_.begin(), page_.end(), 0xFF);
    while (pages_ % kYaffsPagesPerBlock != 0 || pages_ < minBlocks * kYaffsPagesPerBlock) {
      if (!out_.Write(page_.data(), page_.size())) return false;
      ++pages_;
    }
    return true;
  }

 private:
  // Writes the page with its tags in the spare area: block sequence number,
  // object, chunk number and byte count.
  bool Emit(uint32_t object, uint32_t chunk, uint32_t bytes) {
    uint8_t* tags = page_.data() + kYaffsPage + kTagsOffset;
    PutLe32(tags, kFirstSequence + static_cast<uint32_t>(pages_ / kYaffsPagesPerBlock));
    PutLe32(tags + 4, object);
    PutLe32(tags + 8, chunk);
    PutLe32(tags + 12, bytes);
    ++pages_;
    return out_.Write(page_.data(), page_.size());
  }

  OutFile& out_;
  std::vector<uint8_t> page_;
  size_t pages_ = 0;
};

bool WriteYaffsSample(const std::string& inputDir, std::string& error) {
  const std::string path = inputDir + kYaffsFile;
  const std::vector<uint8_t> app = Pattern(1100000, 0x79616666);
  const std::string version = "tarnel demo userdata 1.0\n";
  const std::string notes = "Sample Yaffs2 partition: 2048-byte pages, 64 spare bytes, 128 KiB blocks.\n";
  OutFile out;
  YaffsWriter w(out);
  const uint32_t etc = kFirstObject, versionFile = kFirstObject + 1, appFile = kFirstObject + 2,
                 notesFile = kFirstObject + 3;
  const bool ok = out.Create(path) && w.Header(etc, kRootObject, kTypeDirectory, "etc", 040755, 0) &&
                  w.Header(versionFile, etc, kTypeFile, "version", 0100644, version.size()) &&
                  w.Data(versionFile, std::vector<uint8_t>(version.begin(), version.end())) &&
                  w.Header(appFile, kRootObject, kTypeFile, "app.bin", 0100755, app.size()) && w.Data(appFile, app) &&
                  w.Header(notesFile, kRootObject, kTypeFile, "notes.txt", 0100644, notes.size()) &&
                  w.Data(notesFile, std::vector<uint8_t>(notes.begin(), notes.end())) && w.Finish(8) && out.Commit();
  if (!ok) error = "cannot write " + path;
  return ok;
}

}  // namespace

bool WriteFsSamples(const std::string& inputDir, std::string& error) {
  const std::string work = inputDir + kWorkFolder + std::string(kSepStr);
  std::error_code ec;
  std::filesystem::remove_all(work, ec);
  std::filesystem::create_directories(work, ec);
  if (!IsFolder(work)) {
    error = "cannot create the folder " + work;
    return false;
  }
  // The work folder stays behind on failure, with the tools' log.
  if (!WriteExt4Sample(inputDir, work, error) || !WriteUbiSample(inputDir, work, error) ||
      !WriteYaffsSample(inputDir, error))
    return false;
  std::filesystem::remove_all(work, ec);
  return true;
}

}  // namespace tarnel::demo
