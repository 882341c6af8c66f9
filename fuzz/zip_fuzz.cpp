// Opens arbitrary bytes as a template archive, appends one entry and closes
// it: the directory checks must refuse what does not hold together without
// reading or writing outside the file. All in memory.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "fuzz_files.h"
#include "package/zip_archive.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static tarnel::fuzz::MemoryFile archive("archive");
  static tarnel::fuzz::MemoryFile entry("entry");
  static const bool entryReady = [] {
    static const char kEntry[] = "partition image\n";
    entry.Set(reinterpret_cast<const uint8_t*>(kEntry), sizeof kEntry - 1);
    return true;
  }();
  (void)entryReady;
  archive.Set(data, size);

  tarnel::CZipArchive zip;
  if (zip.OpenForAppend(archive.Path())) {
    (void)zip.AddDiskFile(entry.Path(), "kernel.img");
    if (!zip.Close()) std::abort();  // an archive that opened must close
  }
  return 0;
}
