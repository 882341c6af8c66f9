// RAII files. InFile reads (binary or text); OutFile writes a whole output
// all-or-nothing: the bytes go to a temporary sibling that is renamed over the
// final name by Commit(), so a failed or killed run never leaves a truncated
// file under the final name and never destroys the previous one.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

namespace tarnel {

// Images whose lengths the headers store in 32 bits must stay below this.
inline constexpr uint64_t kMaxImageLength = 0xFFFFFFFFull;

class InFile {
 public:
  InFile() = default;
  ~InFile() { Close(); }
  InFile(const InFile&) = delete;
  InFile& operator=(const InFile&) = delete;
  InFile(InFile&& other) noexcept : f_(other.f_), buffer_(std::move(other.buffer_)) { other.f_ = nullptr; }

  // Opens a regular file (a folder is refused). Text files (key lists, key
  // record texts) are read through a buffer of our own that is wiped on Close().
  [[nodiscard]] bool Open(const std::string& path, bool text = false);
  void Close();
  [[nodiscard]] bool IsOpen() const { return f_ != nullptr; }

  // Reads up to n bytes; returns how many arrived.
  [[nodiscard]] size_t Read(void* buf, size_t n);
  // Reads exactly n bytes or fails.
  [[nodiscard]] bool ReadExact(void* buf, size_t n) { return Read(buf, n) == n; }
  [[nodiscard]] bool Seek(uint64_t offset);
  [[nodiscard]] uint64_t Size() const;
  // fgets-style line read of at most maxChars characters (the line end
  // included when it fits). False at end of file or on a read error.
  [[nodiscard]] bool ReadLine(std::string& line, size_t maxChars);
  // A whole line, its line end included when there is one; lines longer than
  // maxChars are refused (false). False at end of file with nothing read.
  [[nodiscard]] bool ReadFullLine(std::string& line, size_t maxChars = 1u << 20);
  [[nodiscard]] uint64_t Tell() const;
  // True once a read has failed (not merely reached the end).
  [[nodiscard]] bool Failed() const;
  // Tells the system the file will be read once from start to end.
  void AdviseSequential();

 private:
  FILE* f_ = nullptr;
  std::unique_ptr<char[]> buffer_;  // stdio buffer of text files, wiped on Close()
};

class OutFile {
 public:
  OutFile() = default;
  ~OutFile() { Discard(); }
  OutFile(const OutFile&) = delete;
  OutFile& operator=(const OutFile&) = delete;

  // Starts the file; nothing appears under `path` until Commit(). An empty
  // name, a name ending with a separator and an existing folder are refused.
  // Owner-only files hold secrets: they are written through a buffer of our
  // own that is wiped when the file closes.
  [[nodiscard]] bool Create(const std::string& path, bool ownerOnly = false);
  [[nodiscard]] bool Write(const void* buf, size_t n);
  // Writes `count` copies of `byte`.
  [[nodiscard]] bool WriteFill(uint8_t byte, uint64_t count);
  // Overwrites bytes already written (offset + n must not pass Written()).
  [[nodiscard]] bool WriteAt(uint64_t offset, const void* buf, size_t n);
  [[nodiscard]] uint64_t Written() const { return written_; }
  // Starts the disk writes of everything written so far without waiting for
  // them, so that Commit's sync has little left to do. False on a write error.
  [[nodiscard]] bool StartWriteback();
  // Flushes, closes and renames into place.
  [[nodiscard]] bool Commit();
  // Commits two files as a pair: the second takes its final name right after
  // the first, and when it cannot, the first's previous file is put back. On
  // failure both temporary files are gone.
  friend bool CommitPair(OutFile& first, OutFile& second);
  // Drops the temporary file; the final name is left as it was.
  void Discard();
  [[nodiscard]] const std::string& Path() const { return path_; }

 private:
  void CloseFile();
  // Flushes, syncs and closes; the bytes keep their temporary name.
  [[nodiscard]] bool Seal();
  // Renames the sealed file into place.
  [[nodiscard]] bool Publish();

  FILE* f_ = nullptr;
  std::unique_ptr<char[]> buffer_;  // stdio buffer of owner-only files, wiped on close
  std::string path_;
  std::string tempPath_;
  uint64_t written_ = 0;
};

[[nodiscard]] bool CommitPair(OutFile& first, OutFile& second);

// Streams a whole file into another through a fixed buffer, all-or-nothing.
[[nodiscard]] bool CopyFileReplace(const std::string& from, const std::string& to);

}  // namespace tarnel
