#include "package/zip_archive.h"

#include <zlib.h>

#include <algorithm>
#include <ctime>
#include <exception>
#include <filesystem>
#include <functional>
#include <system_error>

#include "common/files.h"
#include "common/le.h"
#include "common/platform.h"
#include "common/stamps.h"
#include "package/block_deflate.h"

namespace tarnel {

namespace {

constexpr uint16_t kMethodStored = zip::kMethodStored;
constexpr uint16_t kMethodDeflated = zip::kMethodDeflated;
constexpr uint16_t kVersionStored = zip::kVersionStored;
constexpr uint16_t kVersionDeflated = zip::kVersionDeflated;
constexpr uint16_t kVersionMadeBy = (uint16_t{zip::kHostUnix} << 8) | zip::kVersionDeflated;
constexpr uint16_t kFlagDataDescriptor = zip::kFlagDataDescriptor;
constexpr uint16_t kFlagUtf8Name = zip::kFlagUtf8Name;
constexpr uint32_t kZip64Marker = zip::kZip64Marker;
constexpr uint16_t kZip64Marker16 = zip::kZip64Marker16;
constexpr uint64_t kDataDescriptorMin = zip::desc::kSize - zip::desc::kCrc;  // without the optional signature
constexpr uint32_t kUnixTypeMask = 0170000;
constexpr uint32_t kUnixRegular = 0100000;

struct DosStamp {
  uint16_t time = 0;
  uint16_t date = 0;
};

DosStamp ToDos(const std::tm& tm) {
  int year = tm.tm_year + 1900;
  DosStamp s;
  if (year < 1980) {  // the DOS calendar starts in 1980
    s.date = (1u << 5) | 1u;
    return s;
  }
  if (year > 2107) {
    s.date = static_cast<uint16_t>((127u << 9) | (12u << 5) | 31u);
    s.time = static_cast<uint16_t>((23u << 11) | (59u << 5) | 29u);
    return s;
  }
  s.date = static_cast<uint16_t>(((year - 1980) << 9) | ((tm.tm_mon + 1) << 5) | tm.tm_mday);
  s.time = static_cast<uint16_t>((tm.tm_hour << 11) | (tm.tm_min << 5) | (tm.tm_sec / 2));
  return s;
}

// SOURCE_DATE_EPOCH in UTC when set, else the file's time in local time,
// else the current local time.
DosStamp EntryStamp(const FileInfo& info) {
  std::tm tm{};
  bool have = false;
  if (const auto epoch = SourceDateEpoch()) {
    have = gmtime_r(&*epoch, &tm) != nullptr;
  } else if (info.hasMtime) {
    const auto t = static_cast<std::time_t>(info.mtime);
    have = localtime_r(&t, &tm) != nullptr;
  }
  if (!have) {
    const std::time_t now = std::time(nullptr);
    have = localtime_r(&now, &tm) != nullptr;
  }
  return have ? ToDos(tm) : DosStamp{};
}

bool NeedsUtf8Flag(const std::string& name) {
  return std::any_of(name.begin(), name.end(), [](char c) { return static_cast<unsigned char>(c) >= 0x80; });
}

// Reads `length` bytes (at least one) of `in` block by block and deflates
// them in independent blocks on the worker threads, handing the stream to
// `emit` in order; `crc` becomes the data's CRC-32.
bool DeflateBlocks(InFile& in, uint64_t length, uLong& crc, const std::function<bool(const uint8_t*, size_t)>& emit) {
  try {
    BlockDeflater deflater(emit);
    std::vector<uint8_t> piece(BlockDeflater::kBlock);
    for (uint64_t left = length; left > 0;) {
      const size_t n = static_cast<size_t>(std::min<uint64_t>(left, piece.size()));
      if (!in.ReadExact(piece.data(), n) || !deflater.Push(piece.data(), n)) return false;
      left -= n;
    }
    if (!deflater.Finish()) return false;
    crc = deflater.Crc();
  } catch (const std::exception&) {  // a buffer that could not be had
    return false;
  }
  return true;
}

}  // namespace

int FileExists(const std::string& path) {
  switch (GetPathKind(path)) {
    case PathKind::File:
      return 1;
    case PathKind::Folder:
      return -1;
    default:
      return 0;
  }
}

void CZipArchive::FileCloser::operator()(std::FILE* f) const { std::fclose(f); }

CZipArchive::CZipArchive() = default;

CZipArchive::~CZipArchive() {
  if (IsOpen()) (void)Close();
}

void CZipArchive::Reset() {
  file_.reset();
  path_.clear();
  oldDirectory_.clear();
  oldEntryCount_ = 0;
  comment_.clear();
  dataEnd_ = 0;
  newEntries_.clear();
  newDirectoryBytes_ = 0;
}

bool CZipArchive::ReadAt(uint64_t offset, void* data, size_t n) {
  if (offset > static_cast<uint64_t>(INT64_MAX)) return false;
  if (fseeko(file_.get(), static_cast<off_t>(offset), SEEK_SET) != 0) return false;
  return std::fread(data, 1, n, file_.get()) == n;
}

bool CZipArchive::WriteAt(uint64_t offset, const void* data, size_t n) {
  if (fseeko(file_.get(), static_cast<off_t>(offset), SEEK_SET) != 0) return false;
  return n == 0 || std::fwrite(data, 1, n, file_.get()) == n;
}

bool CZipArchive::OpenForAppend(const std::string& path) {
  if (IsOpen()) return false;
  if (GetPathKind(path) != PathKind::File) return false;
  file_.reset(std::fopen(path.c_str(), "r+be"));
  if (!file_) return false;
  path_ = path;
  if (fseeko(file_.get(), 0, SEEK_END) != 0) {
    Reset();
    return false;
  }
  const off_t size = ftello(file_.get());
  if (size < 0 || !ReadDirectory(static_cast<uint64_t>(size))) {
    Reset();
    return false;
  }
  return true;
}

// The end record is searched backwards from the end of the file, within the
// longest comment it can carry; a candidate counts only when its comment
// reaches exactly to the end of the file and the directory it names holds
// together.
bool CZipArchive::ReadDirectory(uint64_t fileSize) {
  if (fileSize < kZipEndSize) return false;
  const uint64_t tailSize = std::min<uint64_t>(fileSize, kZipEndSize + kZipMaxComment);
  const uint64_t tailStart = fileSize - tailSize;
  std::vector<uint8_t> tail(static_cast<size_t>(tailSize));
  if (!ReadAt(tailStart, tail.data(), tail.size())) return false;
  for (size_t i = tail.size() - kZipEndSize + 1; i-- > 0;) {
    const uint8_t* end = tail.data() + i;
    if (GetLe32(end + zip::end::kSig) != kZipEndSig) continue;
    if (i + kZipEndSize + GetLe16(end + zip::end::kCommentLength) != tail.size()) continue;
    if (TryEndRecord(fileSize, tailStart + i, end)) return true;
  }
  return false;
}

bool CZipArchive::TryEndRecord(uint64_t fileSize, uint64_t endOffset, const uint8_t* end) {
  const uint16_t thisDisk = GetLe16(end + zip::end::kDisk);
  const uint16_t directoryDisk = GetLe16(end + zip::end::kDirectoryDisk);
  const uint16_t entriesHere = GetLe16(end + zip::end::kEntriesHere);
  const uint16_t entries = GetLe16(end + zip::end::kEntries);
  const uint32_t directorySize = GetLe32(end + zip::end::kDirectorySize);
  const uint32_t directoryOffset = GetLe32(end + zip::end::kDirectoryOffset);
  const uint16_t commentLength = GetLe16(end + zip::end::kCommentLength);
  if (thisDisk != 0 || directoryDisk != 0 || entriesHere != entries) return false;
  if (entries == kZip64Marker16 || directorySize == kZip64Marker || directoryOffset == kZip64Marker) return false;
  // The directory must end where the end record starts: nothing between
  // them (a ZIP64 end record would sit there) and no prefix before entry 0.
  if (static_cast<uint64_t>(directoryOffset) + directorySize != endOffset) return false;
  if (endOffset + kZipEndSize + commentLength != fileSize) return false;
  if (directorySize > kZipMaxCentralDirectory) return false;
  if (static_cast<uint64_t>(entries) * kZipCentralHeaderSize > directorySize) return false;

  oldDirectory_.assign(directorySize, 0);
  if (directorySize > 0 && !ReadAt(directoryOffset, oldDirectory_.data(), oldDirectory_.size())) return false;
  comment_.assign(end + kZipEndSize, end + kZipEndSize + commentLength);
  oldEntryCount_ = entries;
  dataEnd_ = directoryOffset;
  if (CheckOldEntries(fileSize)) return true;
  oldDirectory_.clear();
  comment_.clear();
  oldEntryCount_ = 0;
  dataEnd_ = 0;
  return false;
}

// Every directory record must be complete and lie inside the directory, and
// point at a local header whose data ends before the directory starts (new
// entries are written from there on).
bool CZipArchive::CheckOldEntries(uint64_t fileSize) {
  const uint64_t directorySize = oldDirectory_.size();
  uint64_t pos = 0;
  for (uint64_t k = 0; k < oldEntryCount_; ++k) {
    if (pos + kZipCentralHeaderSize > directorySize) return false;
    const uint8_t* rec = oldDirectory_.data() + pos;
    if (GetLe32(rec + zip::cen::kSig) != kZipCentralHeaderSig) return false;
    const uint16_t flags = GetLe16(rec + zip::cen::kFlags);
    const uint32_t compressedSize = GetLe32(rec + zip::cen::kCompressedSize);
    const uint32_t uncompressedSize = GetLe32(rec + zip::cen::kUncompressedSize);
    const uint64_t recordSize = kZipCentralHeaderSize + uint64_t{GetLe16(rec + zip::cen::kNameLength)} + GetLe16(rec + zip::cen::kExtraLength) +
                                GetLe16(rec + zip::cen::kCommentLength);
    const uint16_t diskStart = GetLe16(rec + zip::cen::kDiskStart);
    const uint32_t localOffset = GetLe32(rec + zip::cen::kLocalOffset);
    if (pos + recordSize > directorySize) return false;
    if (diskStart != 0) return false;
    if (compressedSize == kZip64Marker || uncompressedSize == kZip64Marker || localOffset == kZip64Marker)
      return false;

    uint8_t local[kZipLocalHeaderSize];
    if (uint64_t{localOffset} + kZipLocalHeaderSize > dataEnd_) return false;
    if (!ReadAt(localOffset, local, sizeof local)) return false;
    if (GetLe32(local + zip::loc::kSig) != kZipLocalHeaderSig) return false;
    uint64_t entryEnd = uint64_t{localOffset} + kZipLocalHeaderSize + GetLe16(local + zip::loc::kNameLength) + GetLe16(local + zip::loc::kExtraLength) +
                        compressedSize;
    if ((flags & kFlagDataDescriptor) != 0) entryEnd += kDataDescriptorMin;
    if (entryEnd > dataEnd_ || entryEnd > fileSize) return false;
    pos += recordSize;
  }
  return pos == directorySize;
}

uint64_t CZipArchive::DirectorySizeWith(size_t extraRecordBytes) const {
  return oldDirectory_.size() + newDirectoryBytes_ + extraRecordBytes;
}

bool CZipArchive::AddDiskFile(const std::string& diskPath, const std::string& entryName) {
  if (!IsOpen()) return false;
  if (entryName.empty() || entryName.size() > 0xFFFF) return false;
  if (oldEntryCount_ + newEntries_.size() + 1 > kZipMaxEntries) return false;

  const FileInfo info = StatPath(diskPath);
  if (info.kind != PathKind::File) return false;
  if (info.size > kZipMaxOffset) return false;
  InFile in;
  if (!in.Open(diskPath)) return false;
  in.AdviseSequential();

  const uint64_t headerOffset = dataEnd_;
  const uint64_t dataStart = headerOffset + kZipLocalHeaderSize + entryName.size();
  const size_t recordSize = kZipCentralHeaderSize + entryName.size();
  // The archive without this entry's data must already fit; checked again
  // with the real compressed size below.
  const uint64_t fixedTail = DirectorySizeWith(recordSize) + kZipEndSize + comment_.size();
  if (dataStart + fixedTail > kZipMaxOffset) return false;

  const bool stored = info.size < kZipStoreBelow;
  const uint16_t method = stored ? kMethodStored : kMethodDeflated;
  const uint16_t versionNeeded = stored ? kVersionStored : kVersionDeflated;
  const uint16_t flags = NeedsUtf8Flag(entryName) ? kFlagUtf8Name : 0;
  const DosStamp stamp = EntryStamp(info);
  uint32_t mode = info.mode;
  if ((mode & kUnixTypeMask) == 0) mode |= kUnixRegular;

  // Local header with CRC and sizes zero for now; patched once known.
  std::vector<uint8_t> local(kZipLocalHeaderSize + entryName.size(), 0);
  PutLe32(&local[zip::loc::kSig], kZipLocalHeaderSig);
  PutLe16(&local[zip::loc::kVersionNeeded], versionNeeded);
  PutLe16(&local[zip::loc::kFlags], flags);
  PutLe16(&local[zip::loc::kMethod], method);
  PutLe16(&local[zip::loc::kTime], stamp.time);
  PutLe16(&local[zip::loc::kDate], stamp.date);
  PutLe16(&local[zip::loc::kNameLength], static_cast<uint16_t>(entryName.size()));
  PutLe16(&local[zip::loc::kExtraLength], 0);
  std::copy(entryName.begin(), entryName.end(), local.begin() + kZipLocalHeaderSize);
  if (!WriteAt(headerOffset, local.data(), local.size())) return false;

  uLong crc = crc32(0L, Z_NULL, 0);
  uint64_t compressed = 0;
  std::FILE* out = file_.get();
  auto emit = [&](const uint8_t* p, size_t n) {
    compressed += n;
    if (dataStart + compressed + fixedTail > kZipMaxOffset) return false;
    return n == 0 || std::fwrite(p, 1, n, out) == n;
  };
  const uint64_t uncompressed = info.size;
  if (stored) {
    std::vector<uint8_t> data(static_cast<size_t>(uncompressed));
    if (!in.ReadExact(data.data(), data.size())) return false;
    crc = crc32(crc, data.data(), static_cast<uInt>(data.size()));
    if (!emit(data.data(), data.size())) return false;
  } else if (!DeflateBlocks(in, uncompressed, crc, emit)) {
    return false;
  }
  // The entry is the file as it was when added: one that grew since is refused.
  uint8_t extra = 0;
  if (in.Read(&extra, 1) != 0) return false;
  if (std::fflush(out) != 0 || std::ferror(out) != 0) return false;

  // CRC and both sizes sit side by side, in the same order, in both headers.
  static_assert(zip::loc::kCompressedSize == zip::loc::kCrc + 4 && zip::loc::kUncompressedSize == zip::loc::kCrc + 8);
  static_assert(zip::cen::kCompressedSize == zip::cen::kCrc + 4 && zip::cen::kUncompressedSize == zip::cen::kCrc + 8);
  constexpr size_t kCrcAt = 0;
  constexpr size_t kCompressedAt = zip::loc::kCompressedSize - zip::loc::kCrc;
  constexpr size_t kUncompressedAt = zip::loc::kUncompressedSize - zip::loc::kCrc;
  uint8_t sizes[kUncompressedAt + 4];
  PutLe32(&sizes[kCrcAt], static_cast<uint32_t>(crc));
  PutLe32(&sizes[kCompressedAt], static_cast<uint32_t>(compressed));
  PutLe32(&sizes[kUncompressedAt], static_cast<uint32_t>(uncompressed));
  if (!WriteAt(headerOffset + zip::loc::kCrc, sizes, sizeof sizes)) return false;
  if (std::fflush(out) != 0) return false;

  NewEntry entry;
  entry.centralRecord.assign(recordSize, 0);
  uint8_t* rec = entry.centralRecord.data();
  PutLe32(rec + zip::cen::kSig, kZipCentralHeaderSig);
  PutLe16(rec + zip::cen::kVersionMadeBy, kVersionMadeBy);
  PutLe16(rec + zip::cen::kVersionNeeded, versionNeeded);
  PutLe16(rec + zip::cen::kFlags, flags);
  PutLe16(rec + zip::cen::kMethod, method);
  PutLe16(rec + zip::cen::kTime, stamp.time);
  PutLe16(rec + zip::cen::kDate, stamp.date);
  std::copy(sizes, sizes + sizeof sizes, rec + zip::cen::kCrc);
  PutLe16(rec + zip::cen::kNameLength, static_cast<uint16_t>(entryName.size()));
  PutLe16(rec + zip::cen::kExtraLength, 0);
  PutLe16(rec + zip::cen::kCommentLength, 0);
  PutLe16(rec + zip::cen::kDiskStart, 0);
  PutLe16(rec + zip::cen::kInternalAttributes, 0);
  PutLe32(rec + zip::cen::kExternalAttributes, mode << 16);
  PutLe32(rec + zip::cen::kLocalOffset, static_cast<uint32_t>(headerOffset));
  std::copy(entryName.begin(), entryName.end(), rec + kZipCentralHeaderSize);

  newEntries_.push_back(std::move(entry));
  newDirectoryBytes_ += recordSize;
  dataEnd_ = dataStart + compressed;
  return true;
}

bool CZipArchive::Close() {
  if (!IsOpen()) return false;
  const uint64_t directoryOffset = dataEnd_;
  const uint64_t directorySize = DirectorySizeWith(0);
  const uint64_t entries = oldEntryCount_ + newEntries_.size();
  const uint64_t archiveEnd = directoryOffset + directorySize + kZipEndSize + comment_.size();
  bool ok = archiveEnd <= kZipMaxOffset && entries <= kZipMaxEntries;

  ok = ok && WriteAt(directoryOffset, oldDirectory_.data(), oldDirectory_.size());
  for (const NewEntry& e : newEntries_) {
    if (!ok) break;
    ok = std::fwrite(e.centralRecord.data(), 1, e.centralRecord.size(), file_.get()) == e.centralRecord.size();
  }
  if (ok) {
    std::vector<uint8_t> end(kZipEndSize, 0);
    PutLe32(&end[zip::end::kSig], kZipEndSig);
    PutLe16(&end[zip::end::kDisk], 0);
    PutLe16(&end[zip::end::kDirectoryDisk], 0);
    PutLe16(&end[zip::end::kEntriesHere], static_cast<uint16_t>(entries));
    PutLe16(&end[zip::end::kEntries], static_cast<uint16_t>(entries));
    PutLe32(&end[zip::end::kDirectorySize], static_cast<uint32_t>(directorySize));
    PutLe32(&end[zip::end::kDirectoryOffset], static_cast<uint32_t>(directoryOffset));
    PutLe16(&end[zip::end::kCommentLength], static_cast<uint16_t>(comment_.size()));
    end.insert(end.end(), comment_.begin(), comment_.end());
    ok = std::fwrite(end.data(), 1, end.size(), file_.get()) == end.size();
  }
  ok = ok && std::fflush(file_.get()) == 0 && std::ferror(file_.get()) == 0;
  const bool closed = std::fclose(file_.release()) == 0;
  ok = ok && closed;
  if (ok) {
    // A failed addition may have left bytes past the end record.
    std::error_code ec;
    std::filesystem::resize_file(path_, archiveEnd, ec);
    ok = !ec;
  }
  Reset();
  return ok;
}

}  // namespace tarnel
