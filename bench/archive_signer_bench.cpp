// The upgrade step's archive signing, for archive_signer_bench.sh.
//   archive_signer_bench package <template.zip> <package.zip> <file>...
//       the package Java signs, as the Make run builds it for Java: the
//       template plus the files
//   archive_signer_bench sign native|native-parallel <cert> <key> <template.zip> <signed.zip> <file>...
//       the native signer as the Make run uses it: the template and the
//       files in one pass (run under /usr/bin/time -v)
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "common/files.h"
#include "common/paths.h"
#include "package/apk_signer.h"
#include "package/zip_archive.h"

int main(int argc, char** argv) {
  using namespace tarnel;
  const auto entryName = [](const std::string& path) { return path.substr(path.find_last_of('/') + 1); };
  if (argc >= 4 && std::strcmp(argv[1], "package") == 0) {
    if (!CopyFileReplace(argv[2], argv[3])) return 1;
    CZipArchive zip;
    if (!zip.OpenForAppend(argv[3])) return 1;
    for (int i = 4; i < argc; ++i) {
      if (!zip.AddDiskFile(argv[i], entryName(argv[i]))) return 1;
    }
    return zip.Close() ? 0 : 1;
  }
  if (argc >= 7 && std::strcmp(argv[1], "sign") == 0) {
    ApkSignOptions options;
    options.parallelDeflate = std::strcmp(argv[2], "native-parallel") == 0;
    std::vector<ApkAddedFile> files;
    for (int i = 7; i < argc; ++i) files.push_back({argv[i], entryName(argv[i])});
    const ApkSignResult r = SignApkWithFiles(argv[3], argv[4], argv[5], files, argv[6], options);
    if (!r.Ok()) std::fprintf(stderr, "%s\n", r.message.c_str());
    return r.Ok() ? 0 : 1;
  }
  std::fprintf(stderr,
               "usage: %s package <template.zip> <package.zip> <file>...\n"
               "       %s sign native|native-parallel <cert> <key> <template.zip> <signed.zip> <file>...\n",
               argv[0], argv[0]);
  return 2;
}
