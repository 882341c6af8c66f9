// Texts of the readers: the output kinds they recognise and the regions they
// name when something is wrong. A problem text starts with the region, so the
// first problem of a file tells where to look.
#pragma once

namespace tarnel::verify {

// Output kinds.
inline constexpr const char* kKindWholeImage = "whole image (RSA)";
inline constexpr const char* kKindPackageRsa = "update package (RSA)";
inline constexpr const char* kKindExt4Pair = "Ext4 sparse image with section signatures";
inline constexpr const char* kKindUbiPair = "UBI image with section signatures";
inline constexpr const char* kKindSectionFile = "section signatures";
inline constexpr const char* kKindSparseImage = "Ext4 sparse image";
inline constexpr const char* kKindMacRaw = "MAC container (raw)";
inline constexpr const char* kKindPackageMac = "update package (MAC)";
inline constexpr const char* kKindMacChunked = "MAC container (Ext4 chunked)";
inline constexpr const char* kKindMacYaffs = "MAC container (Yaffs)";
inline constexpr const char* kKindKeyPartition = "key partition";
inline constexpr const char* kKindBootShort = "boot image (Qm5820RA100)";
inline constexpr const char* kKindBootLong = "boot image (boards 1-5)";
inline constexpr const char* kKindArchive = "ZIP archive";
inline constexpr const char* kUnknownFormat = "unknown format";

// Regions and problems. Problems inside a section block or the whole-file
// block of X_Sign.img carry the prefix "section <n> " or
// "signature file whole-file block ".
inline constexpr const char* kWhereSection = "section %u ";
inline constexpr const char* kWhereSignFileTail = "signature file whole-file block ";
inline constexpr const char* kWhereSignFile = "signature file ";
inline constexpr const char* kProbUnreadable = "cannot be read";
inline constexpr const char* kProbEmpty = "empty file";
inline constexpr const char* kProbNoHeader = "no known header";
inline constexpr const char* kProbTruncated = "truncated";
inline constexpr const char* kProbTrailing = "bytes after the end of the image";
inline constexpr const char* kProbTooLarge = "4 GiB or more";
inline constexpr const char* kProbMagic = "header magic";
inline constexpr const char* kProbVersion = "header version";
inline constexpr const char* kProbChecksum = "header checksum";
inline constexpr const char* kProbHeaderField = "header field %s";
inline constexpr const char* kProbDigest = "digest";
inline constexpr const char* kProbSignature = "signature";
inline constexpr const char* kProbFill = "fill byte at 0x%llx";
inline constexpr const char* kProbBlockPadding = "signature block padding at 0x%llx";
inline constexpr const char* kProbPath = "header field %s: no terminating zero";
inline constexpr const char* kProbMac = "MAC";
inline constexpr const char* kProbChunkMac = "chunk %llu MAC";
inline constexpr const char* kProbSparseHeader = "sparse header";
inline constexpr const char* kProbSparseChunk = "sparse chunk %u";
inline constexpr const char* kProbSparseMap = "sparse map at 0x%llx";
inline constexpr const char* kProbSparseMapLength = "sparse map length";
inline constexpr const char* kProbImageMissing = "image %s missing";
inline constexpr const char* kProbSignFileMissing = "signature file %s missing";
inline constexpr const char* kProbSectionCount = "section count";
inline constexpr const char* kProbRecordLength = "key record length";
inline constexpr const char* kProbRecordId = "key record id";
inline constexpr const char* kProbRecordFiller = "key record filler";
inline constexpr const char* kProbRecordKey = "key record key";
inline constexpr const char* kProbKeyArea = "key area public key";
inline constexpr const char* kProbKeyAreaWord = "key area word at 512";
inline constexpr const char* kProbKeyAreaSignature = "key area signature";
inline constexpr const char* kProbParamWords = "parameter area words";
inline constexpr const char* kProbParamSignature = "parameter area signature";
inline constexpr const char* kProbParamParity = "parameter area parity";
inline constexpr const char* kProbBootParity = "boot area parity";
inline constexpr const char* kProbBootTail = "boot area end words";
inline constexpr const char* kProbBootSignature = "boot area signature";
inline constexpr const char* kProbUnchecked = "unchecked area";
inline constexpr const char* kProbBoard = "board: the file is made for %s";
inline constexpr const char* kProbDirectory = "archive directory";
inline constexpr const char* kProbEntry = "entry %s";
inline constexpr const char* kProbEntryData = "entry %s: data";
inline constexpr const char* kProbEntryNested = "entry %s: %s";
inline constexpr const char* kProbAndroidMissing = "Android signature missing";
inline constexpr const char* kProbAndroidSignature = "Android signature";
inline constexpr const char* kProbAndroidCert = "Android certificate %s cannot be read";
inline constexpr const char* kProbNestedTooDeep = "archive nested too deep";
inline constexpr const char* kProbEntryTwice = "entry %s listed twice";
inline constexpr const char* kProbEntryOverlap = "entry %s overlaps entry %s";
inline constexpr const char* kProbEntrySize = "entry %s: declared size larger than its data can hold";
inline constexpr const char* kProbNotRegular = "not a regular file";

// Why a file could not be checked at all (neither OK nor FAIL).
inline constexpr const char* kScratchFailed = "cannot make a scratch folder in %s to unpack entry %s";
inline constexpr const char* kScratchFull = "the scratch folder %s ran out of space unpacking entry %s";

// Key list problems (before any file is looked at).
inline constexpr const char* kKeysUnreadable = "cannot read the key list %s";
inline constexpr const char* kKeysInvalid = "the key list %s is not a valid 23-line key list";
inline constexpr const char* kKeysBadKey = "the key list %s holds an RSA public key that cannot be built (lines %s)";

}  // namespace tarnel::verify
