// The small ZIP component of the upgrade package: opens an existing
// single-file archive, appends disk files as new entries and writes a new
// central directory. Entries already in the archive keep their local headers
// and data where they are; their central directory records are written back
// unchanged. Archives that would need ZIP64 are refused, never written.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "package/zip_format.h"

namespace tarnel {

// 1: a regular file, -1: a folder, 0: nothing (or something else) there.
[[nodiscard]] int FileExists(const std::string& path);

// Without ZIP64 records every offset and size must stay below 0xFFFFFFFF
// (that value marks a ZIP64 field) and the entry count below 0xFFFF.
inline constexpr uint64_t kZipMaxOffset = 0xFFFFFFFEull;
inline constexpr uint64_t kZipMaxEntries = 0xFFFEull;
// A template's central directory is held in memory while the archive is
// open; nothing an update template holds comes near this.
inline constexpr uint64_t kZipMaxCentralDirectory = 16ull * 1024 * 1024;
// Files shorter than this are stored rather than deflated.
inline constexpr uint64_t kZipStoreBelow = 5;

class CZipArchive {
 public:
  CZipArchive();
  // An archive still open is closed (its central directory written).
  ~CZipArchive();
  CZipArchive(const CZipArchive&) = delete;
  CZipArchive& operator=(const CZipArchive&) = delete;

  // Opens an existing archive for appending. False when one is already open,
  // the file cannot be opened for reading and writing, or it is not an
  // ordinary single-disk archive whose directory holds together.
  [[nodiscard]] bool OpenForAppend(const std::string& path);
  // True when OpenForAppend would take `path`; reads it, never writes.
  [[nodiscard]] static bool CanAppendTo(const std::string& path);
  // Appends `diskPath` as entry `entryName` (deflated, or stored below 5
  // bytes). The file is streamed, never held whole: it is deflated in blocks
  // of 128 KiB on the worker threads, a few blocks at a time, and the bytes
  // written are the same whatever the number of threads. On failure the
  // archive is left as it was before the call.
  [[nodiscard]] bool AddDiskFile(const std::string& diskPath, const std::string& entryName);
  // Writes the central directory (old entries, then new ones) and the end
  // record, trims the file there and closes it. False when nothing was open
  // or writing failed; the object is closed either way.
  [[nodiscard]] bool Close();
  [[nodiscard]] bool IsOpen() const { return file_ != nullptr; }

 private:
  struct FileCloser {
    void operator()(std::FILE* f) const;
  };
  struct NewEntry {
    std::vector<uint8_t> centralRecord;  // complete, name included
  };

  [[nodiscard]] bool ReadDirectory(uint64_t fileSize);
  [[nodiscard]] bool TryEndRecord(uint64_t fileSize, uint64_t endOffset, const uint8_t* end);
  [[nodiscard]] bool CheckOldEntries(uint64_t fileSize);
  [[nodiscard]] bool WriteAt(uint64_t offset, const void* data, size_t n);
  [[nodiscard]] bool ReadAt(uint64_t offset, void* data, size_t n);
  [[nodiscard]] uint64_t DirectorySizeWith(size_t extraRecordBytes) const;
  void Reset();

  std::unique_ptr<std::FILE, FileCloser> file_;
  std::string path_;
  std::vector<uint8_t> oldDirectory_;  // old central directory, byte for byte
  uint64_t oldEntryCount_ = 0;
  std::vector<uint8_t> comment_;       // archive comment, kept
  uint64_t dataEnd_ = 0;               // where the next local header goes
  std::vector<NewEntry> newEntries_;
  uint64_t newDirectoryBytes_ = 0;
};

}  // namespace tarnel
