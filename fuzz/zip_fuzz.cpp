// Opens arbitrary bytes as a template archive, appends one entry and closes
// it: the directory checks must refuse what does not hold together without
// reading or writing outside the file.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "package/zip_archive.h"

namespace {

// A scratch file removed when the fuzzer exits.
struct ScratchFile {
  ScratchFile(const char* tag, const char* content);
  ~ScratchFile() { std::remove(path.c_str()); }
  ScratchFile(const ScratchFile&) = delete;
  ScratchFile& operator=(const ScratchFile&) = delete;
  std::string path;
};

ScratchFile::ScratchFile(const char* tag, const char* content) {
  const char* dir = std::getenv("TMPDIR");
  path = std::string(dir != nullptr && *dir != '\0' ? dir : "/tmp") + "/zip_fuzz_" + tag + "_XXXXXX";
  const int fd = ::mkstemp(path.data());
  if (fd < 0) std::abort();
  const size_t n = std::strlen(content);
  if (::write(fd, content, n) != static_cast<ssize_t>(n)) std::abort();
  ::close(fd);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const ScratchFile archive("archive", "");
  static const ScratchFile entry("entry", "partition image\n");
  const std::string& archivePath = archive.path;
  const std::string& entryPath = entry.path;

  FILE* f = std::fopen(archivePath.c_str(), "wb");
  if (f == nullptr) return 0;
  if (size > 0 && std::fwrite(data, 1, size, f) != size) {
    std::fclose(f);
    return 0;
  }
  std::fclose(f);

  tarnel::CZipArchive zip;
  if (zip.OpenForAppend(archivePath)) {
    (void)zip.AddDiskFile(entryPath, "kernel.img");
    if (!zip.Close()) std::abort();  // an archive that opened must close
  }
  return 0;
}
