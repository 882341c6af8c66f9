// The records of the ZIP archive format: signatures, fixed sizes and the
// offsets of the fields inside each record. All numbers little-endian.
//
//   local header       signature, fixed part, name, extra, then the data
//   data descriptor    after the data of an entry whose flags say so
//   central record     one per entry in the central directory
//   zip64 end record   and its locator, before the end record when counts,
//                      sizes or offsets overflow the end record's fields
//   end record         last, followed by the archive comment
#pragma once

#include <cstddef>
#include <cstdint>

namespace tarnel {

namespace zip {

// Local file header: 30 bytes + name + extra.
namespace loc {
inline constexpr uint32_t kSignature = 0x04034b50;  // "PK\3\4"
inline constexpr size_t kSize = 30;
inline constexpr size_t kSig = 0;             // u32
inline constexpr size_t kVersionNeeded = 4;   // u16
inline constexpr size_t kFlags = 6;           // u16
inline constexpr size_t kMethod = 8;          // u16
inline constexpr size_t kTime = 10;           // u16
inline constexpr size_t kDate = 12;           // u16
inline constexpr size_t kCrc = 14;            // u32
inline constexpr size_t kCompressedSize = 18; // u32
inline constexpr size_t kUncompressedSize = 22; // u32
inline constexpr size_t kNameLength = 26;     // u16
inline constexpr size_t kExtraLength = 28;    // u16
static_assert(kExtraLength + 2 == kSize);
}  // namespace loc

// Data descriptor: signature, CRC-32 and both sizes (u32, or u64 in zip64).
namespace desc {
inline constexpr uint32_t kSignature = 0x08074b50;  // "PK\7\b"
inline constexpr size_t kSize = 16;
inline constexpr size_t kSize64 = 24;
inline constexpr size_t kSig = 0;             // u32
inline constexpr size_t kCrc = 4;             // u32
inline constexpr size_t kCompressedSize = 8;  // u32 (u64 in zip64)
inline constexpr size_t kUncompressedSize = 12; // u32 (at 16, u64, in zip64)
inline constexpr size_t kUncompressedSize64 = 16;
static_assert(kUncompressedSize + 4 == kSize && kUncompressedSize64 + 8 == kSize64);
}  // namespace desc

// Central directory record: 46 bytes + name + extra + comment.
namespace cen {
inline constexpr uint32_t kSignature = 0x02014b50;  // "PK\1\2"
inline constexpr size_t kSize = 46;
inline constexpr size_t kSig = 0;             // u32
inline constexpr size_t kVersionMadeBy = 4;   // u16, the host system in the high byte
inline constexpr size_t kVersionNeeded = 6;   // u16
inline constexpr size_t kFlags = 8;           // u16
inline constexpr size_t kMethod = 10;         // u16
inline constexpr size_t kTime = 12;           // u16
inline constexpr size_t kDate = 14;           // u16
inline constexpr size_t kCrc = 16;            // u32
inline constexpr size_t kCompressedSize = 20; // u32
inline constexpr size_t kUncompressedSize = 24; // u32
inline constexpr size_t kNameLength = 28;     // u16
inline constexpr size_t kExtraLength = 30;    // u16
inline constexpr size_t kCommentLength = 32;  // u16
inline constexpr size_t kDiskStart = 34;      // u16
inline constexpr size_t kInternalAttributes = 36; // u16
inline constexpr size_t kExternalAttributes = 38; // u32, a Unix mode in the high half
inline constexpr size_t kLocalOffset = 42;    // u32
static_assert(kLocalOffset + 4 == kSize);
}  // namespace cen

// End of central directory record: 22 bytes + comment.
namespace end {
inline constexpr uint32_t kSignature = 0x06054b50;  // "PK\5\6"
inline constexpr size_t kSize = 22;
inline constexpr size_t kSig = 0;             // u32
inline constexpr size_t kDisk = 4;            // u16
inline constexpr size_t kDirectoryDisk = 6;   // u16
inline constexpr size_t kEntriesHere = 8;     // u16
inline constexpr size_t kEntries = 10;        // u16
inline constexpr size_t kDirectorySize = 12;  // u32
inline constexpr size_t kDirectoryOffset = 16; // u32
inline constexpr size_t kCommentLength = 20;  // u16
inline constexpr size_t kMaxComment = 0xFFFF;
static_assert(kCommentLength + 2 == kSize);
}  // namespace end

// Zip64 end of central directory record: 56 bytes (no extensible data here).
namespace end64 {
inline constexpr uint32_t kSignature = 0x06064b50;  // "PK\6\6"
inline constexpr size_t kSize = 56;
inline constexpr size_t kSig = 0;             // u32
inline constexpr size_t kRecordSize = 4;      // u64, the size of the rest: kSize - 12
inline constexpr size_t kVersionMadeBy = 12;  // u16
inline constexpr size_t kVersionNeeded = 14;  // u16
inline constexpr size_t kDisk = 16;           // u32
inline constexpr size_t kDirectoryDisk = 20;  // u32
inline constexpr size_t kEntriesHere = 24;    // u64
inline constexpr size_t kEntries = 32;        // u64
inline constexpr size_t kDirectorySize = 40;  // u64
inline constexpr size_t kDirectoryOffset = 48; // u64
static_assert(kDirectoryOffset + 8 == kSize);
}  // namespace end64

// Zip64 end of central directory locator: 20 bytes, right before the end record.
namespace loc64 {
inline constexpr uint32_t kSignature = 0x07064b50;  // "PK\6\7"
inline constexpr size_t kSize = 20;
inline constexpr size_t kSig = 0;             // u32
inline constexpr size_t kDisk = 4;            // u32, disk of the zip64 end record
inline constexpr size_t kEnd64Offset = 8;     // u64
inline constexpr size_t kDisks = 16;          // u32
static_assert(kDisks + 4 == kSize);
}  // namespace loc64

// Extra field blocks: a u16 id and a u16 data size, then the data.
namespace extra {
inline constexpr size_t kHeaderSize = 4;
inline constexpr uint16_t kZip64 = 0x0001;
inline constexpr uint16_t kNtfs = 0x000a;
inline constexpr uint16_t kExtendedTime = 0x5455;  // "UT"
inline constexpr uint16_t kJarMagic = 0xcafe;
inline constexpr uint16_t kAlignment = 0xd935;
}  // namespace extra

inline constexpr uint16_t kMethodStored = 0;
inline constexpr uint16_t kMethodDeflated = 8;
inline constexpr uint16_t kFlagEncrypted = 1u << 0;
inline constexpr uint16_t kFlagDataDescriptor = 1u << 3;
inline constexpr uint16_t kFlagUtf8Name = 1u << 11;
inline constexpr uint16_t kVersionStored = 10;    // 1.0
inline constexpr uint16_t kVersionDeflated = 20;  // 2.0
inline constexpr uint16_t kVersionZip64 = 45;     // 4.5
inline constexpr uint8_t kHostUnix = 3;           // high byte of "version made by"
// A 32-bit size or offset (16-bit count) with this value lives in a zip64 record.
inline constexpr uint32_t kZip64Marker = 0xFFFFFFFFu;
inline constexpr uint16_t kZip64Marker16 = 0xFFFFu;

}  // namespace zip

// The names the rest of the program has long used for the same values.
inline constexpr uint32_t kZipLocalHeaderSig = zip::loc::kSignature;
inline constexpr uint32_t kZipCentralHeaderSig = zip::cen::kSignature;
inline constexpr uint32_t kZipEndSig = zip::end::kSignature;
inline constexpr size_t kZipLocalHeaderSize = zip::loc::kSize;
inline constexpr size_t kZipCentralHeaderSize = zip::cen::kSize;
inline constexpr size_t kZipEndSize = zip::end::kSize;
inline constexpr size_t kZipMaxComment = zip::end::kMaxComment;

}  // namespace tarnel
