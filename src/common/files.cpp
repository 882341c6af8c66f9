#include "common/files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <vector>

#include <openssl/crypto.h>

#include "common/paths.h"
#include "common/platform.h"
#include "common/stream.h"

namespace tarnel {

namespace {

constexpr size_t kStdioBuffer = 4096;

// Gives a stream a buffer of our own, so that what passes through it can be
// wiped afterwards (stdio's own buffer is freed as it is).
bool UseOwnBuffer(FILE* f, std::unique_ptr<char[]>& buffer) {
  buffer = std::make_unique<char[]>(kStdioBuffer);
  return std::setvbuf(f, buffer.get(), _IOFBF, kStdioBuffer) == 0;
}

void WipeBuffer(std::unique_ptr<char[]>& buffer) {
  if (buffer) OPENSSL_cleanse(buffer.get(), kStdioBuffer);
  buffer.reset();
}

}  // namespace

bool InFile::Open(const std::string& path, bool text) {
  Close();
  // Opened without waiting (a FIFO put in place after a check would block
  // the open itself) and kept only when it is a regular file; close-on-exec,
  // so no child inherits it.
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || ::fcntl(fd, F_SETFL, 0) != 0) {
    ::close(fd);
    return false;
  }
  f_ = ::fdopen(fd, text ? "r" : "rb");
  if (f_ == nullptr) {
    ::close(fd);
    return false;
  }
  if (text && !UseOwnBuffer(f_, buffer_)) {
    Close();
    return false;
  }
  return true;
}

void InFile::Close() {
  if (f_ != nullptr) {
    std::fclose(f_);
    f_ = nullptr;
  }
  WipeBuffer(buffer_);
}

size_t InFile::Read(void* buf, size_t n) {
  if (f_ == nullptr || n == 0) return 0;
  return std::fread(buf, 1, n, f_);
}

bool InFile::Seek(uint64_t offset) {
  return f_ != nullptr && fseeko(f_, static_cast<off_t>(offset), SEEK_SET) == 0;
}

uint64_t InFile::Size() const {
  if (f_ == nullptr) return 0;
  struct stat st {};
  if (::fstat(fileno(f_), &st) != 0) return 0;
  return static_cast<uint64_t>(st.st_size);
}

bool InFile::ReadLine(std::string& line, size_t maxChars) {
  line.clear();
  if (f_ == nullptr) return false;
  if (maxChars == 0 || maxChars > static_cast<size_t>(INT_MAX) - 1) return false;
  std::vector<char> buf(maxChars + 1);
  const bool ok = std::fgets(buf.data(), static_cast<int>(buf.size()), f_) != nullptr;
  if (ok) line.assign(buf.data());
  // Key lines pass through here.
  OPENSSL_cleanse(buf.data(), buf.size());
  return ok;
}

bool InFile::ReadFullLine(std::string& line, size_t maxChars) {
  line.clear();
  if (f_ == nullptr) return false;
  // Room for a key line up front, so that growing does not leave copies behind.
  line.reserve(std::min<size_t>(maxChars, 4096));
  int c;
  while ((c = std::fgetc(f_)) != EOF) {
    if (line.size() >= maxChars) return false;
    line.push_back(static_cast<char>(c));
    if (c == '\n') break;
  }
  return !line.empty();
}

uint64_t InFile::Tell() const {
  if (f_ == nullptr) return 0;
  const off_t pos = ftello(f_);
  return pos < 0 ? 0 : static_cast<uint64_t>(pos);
}

bool InFile::Failed() const { return f_ == nullptr || std::ferror(f_) != 0; }

void InFile::AdviseSequential() {
  if (f_ != nullptr) AdviseSequentialRead(f_);
}

bool OutFile::Create(const std::string& path, bool ownerOnly) {
  Discard();
  path_ = path;
  written_ = 0;
  // A final name is needed, and only a regular file is ever replaced: not a
  // folder, nor a FIFO or a device (the rename would put a file in place of
  // /dev/null), also not through a link.
  if (path.empty() || IsSep(path.back())) return false;
  if (const PathKind kind = GetPathKind(path); kind == PathKind::Folder || kind == PathKind::Other) return false;
  f_ = CreateTempSibling(path, ownerOnly, tempPath_);
  if (f_ == nullptr) return false;
  if (ownerOnly && !UseOwnBuffer(f_, buffer_)) {
    Discard();
    return false;
  }
  return true;
}

void OutFile::CloseFile() {
  if (f_ != nullptr) {
    std::fclose(f_);
    f_ = nullptr;
  }
  WipeBuffer(buffer_);
}

bool OutFile::Write(const void* buf, size_t n) {
  if (f_ == nullptr) return false;
  if (n == 0) return true;
  if (std::fwrite(buf, 1, n, f_) != n) return false;
  written_ += n;
  return true;
}

bool OutFile::StartWriteback() {
  if (f_ == nullptr || std::fflush(f_) != 0) return false;
  StartDiskWrites(f_);
  return true;
}

bool OutFile::WriteFill(uint8_t byte, uint64_t count) {
  static constexpr size_t kPiece = 64 * 1024;
  std::vector<uint8_t> fill(static_cast<size_t>(std::min<uint64_t>(count, kPiece)), byte);
  while (count > 0) {
    const size_t n = static_cast<size_t>(std::min<uint64_t>(count, kPiece));
    if (!Write(fill.data(), n)) return false;
    count -= n;
  }
  return true;
}

bool OutFile::WriteAt(uint64_t offset, const void* buf, size_t n) {
  if (f_ == nullptr || offset > written_ || n > written_ - offset) return false;
  if (fseeko(f_, static_cast<off_t>(offset), SEEK_SET) != 0) return false;
  const bool ok = std::fwrite(buf, 1, n, f_) == n;
  return fseeko(f_, 0, SEEK_END) == 0 && ok;
}

bool OutFile::Seal() {
  if (f_ == nullptr) return false;
  // On the disk before it takes the final name: a power cut leaves the old
  // file or the new one, never a renamed empty one.
  const bool flushed = std::fflush(f_) == 0 && std::ferror(f_) == 0 && SyncToDisk(f_);
  const bool closed = std::fclose(f_) == 0;
  f_ = nullptr;
  WipeBuffer(buffer_);
  if (!flushed || !closed) {
    Discard();
    return false;
  }
  return true;
}

bool OutFile::Publish() {
  if (tempPath_.empty()) return false;
  const bool renamed = RenameReplace(tempPath_, path_);
  if (!renamed) RemoveFile(tempPath_);
  UnregisterLiveTempFile(tempPath_);
  tempPath_.clear();
  return renamed;
}

bool OutFile::Commit() { return Seal() && Publish(); }

void OutFile::Discard() {
  CloseFile();
  if (!tempPath_.empty()) {
    RemoveFile(tempPath_);
    UnregisterLiveTempFile(tempPath_);
    tempPath_.clear();
  }
}

bool CommitPair(OutFile& first, OutFile& second) {
  if (!first.Seal() || !second.Seal()) {
    first.Discard();
    second.Discard();
    return false;
  }
  // Ctrl-C between the two renames would leave a mismatched pair.
  const SignalHold hold;
  // The first file's previous bytes stay reachable until the second is in place.
  const std::string backup = IsRegularFile(first.path_) ? LinkToSibling(first.path_) : std::string();
  if (!first.Publish()) {
    second.Discard();
    if (!backup.empty()) RemoveFile(backup);
    return false;
  }
  if (!second.Publish()) {
    if (!backup.empty()) (void)RenameReplace(backup, first.path_);
    else RemoveFile(first.path_);
    return false;
  }
  if (!backup.empty()) RemoveFile(backup);
  return true;
}

bool CopyFileReplace(const std::string& from, const std::string& to) {
  InFile in;
  if (!in.Open(from)) return false;
  OutFile out;
  if (!out.Create(to)) return false;
  // Nothing may follow the length taken at the start (the engine checks).
  StreamStages stages;
  ReadFrom(in, stages);
  stages.write = WriteStage(out);
  if (StreamThrough(in.Size(), stages) != StreamStatus::Ok) return false;
  return out.Commit();
}

}  // namespace tarnel
