// Appends one large disk file to an empty archive with the ZIP writer and
// reports the throughput; run under /usr/bin/time -v by zip_append_bench.sh
// for the peak resident memory (the writer streams through 64 KiB pieces).
// Usage: zip_append_bench <archive> <disk file>
#include <chrono>
#include <cstdio>
#include <string>

#include "common/le.h"
#include "common/platform.h"
#include "package/zip_archive.h"

int main(int argc, char** argv) {
  using namespace tarnel;
  if (argc != 3) {
    std::fprintf(stderr, "usage: %s <archive> <disk file>\n", argv[0]);
    return 2;
  }
  const std::string archivePath = argv[1];
  const std::string diskPath = argv[2];
  uint8_t end[kZipEndSize] = {};
  PutLe32(end, kZipEndSig);
  FILE* f = std::fopen(archivePath.c_str(), "wb");
  if (f == nullptr || std::fwrite(end, 1, sizeof end, f) != sizeof end || std::fclose(f) != 0) {
    std::fprintf(stderr, "cannot write %s\n", archivePath.c_str());
    return 1;
  }
  const auto start = std::chrono::steady_clock::now();
  CZipArchive zip;
  const bool ok = zip.OpenForAppend(archivePath) && zip.AddDiskFile(diskPath, "big.img");
  const bool closed = zip.Close();
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  const uint64_t in = StatPath(diskPath).size;
  std::printf("appended %llu bytes as %llu archive bytes in %.1f s (%.0f MiB/s): %s\n",
              static_cast<unsigned long long>(in), static_cast<unsigned long long>(StatPath(archivePath).size),
              seconds, static_cast<double>(in) / 1048576.0 / seconds, ok && closed ? "ok" : "FAILED");
  return ok && closed ? 0 : 1;
}
