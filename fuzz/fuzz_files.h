// Files for fuzz targets whose parsers take paths: inputs live in a memory
// file (memfd) reached through /proc/self/fd, outputs in a folder on tmpfs
// (/dev/shm when there is one), so that no input touches or syncs a disk.
#pragma once

#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <system_error>
#include <string>

namespace tarnel::fuzz {

class MemoryFile {
 public:
  explicit MemoryFile(const char* name) : fd_(::memfd_create(name, 0)) {
    if (fd_ < 0) std::abort();
    path_ = "/proc/self/fd/" + std::to_string(fd_);
  }
  ~MemoryFile() { ::close(fd_); }
  MemoryFile(const MemoryFile&) = delete;
  MemoryFile& operator=(const MemoryFile&) = delete;
  // Replaces the content.
  void Set(const uint8_t* data, size_t size) {
    if (::ftruncate(fd_, 0) != 0) std::abort();
    size_t done = 0;
    while (done < size) {
      const ssize_t n = ::pwrite(fd_, data + done, size - done, static_cast<off_t>(done));
      if (n <= 0) std::abort();
      done += static_cast<size_t>(n);
    }
  }
  [[nodiscard]] const std::string& Path() const { return path_; }

 private:
  int fd_;
  std::string path_;
};

// A folder of this process on tmpfs, ending with a separator.
inline const std::string& MemoryFolder() {
  static const std::string folder = [] {
    struct stat st {};
    const char* tmp = std::getenv("TMPDIR");
    const std::string parent = ::stat("/dev/shm", &st) == 0 && S_ISDIR(st.st_mode)
                                   ? std::string("/dev/shm")
                                   : std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp");
    std::string templ = parent + "/tarnel-fuzz-XXXXXX";
    if (::mkdtemp(templ.data()) == nullptr) std::abort();
    return templ + "/";
  }();
  // Removed with what is in it when the fuzzer ends.
  static const struct Remover {
    ~Remover() {
      std::error_code ec;
      std::filesystem::remove_all(folder, ec);
    }
  } remover;
  return folder;
}

}  // namespace tarnel::fuzz
