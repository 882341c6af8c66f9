// The upgrade step's archive signing, for archive_signer_bench.sh.
//   archive_signer_bench package <template.zip> <package.zip> <file>...
//       the package as the Make run builds it: the template plus the files
//   archive_signer_bench sign native|native-parallel <cert> <key> <package.zip> <signed.zip>
//       the native signer over the package (run under /usr/bin/time -v)
#include <cstdio>
#include <cstring>
#include <string>

#include "common/files.h"
#include "common/paths.h"
#include "package/apk_signer.h"
#include "package/zip_archive.h"

int main(int argc, char** argv) {
  using namespace tarnel;
  if (argc >= 4 && std::strcmp(argv[1], "package") == 0) {
    if (!CopyFileReplace(argv[2], argv[3])) return 1;
    CZipArchive zip;
    if (!zip.OpenForAppend(argv[3])) return 1;
    for (int i = 4; i < argc; ++i) {
      const std::string path = argv[i];
      if (!zip.AddDiskFile(path, path.substr(path.find_last_of('/') + 1))) return 1;
    }
    return zip.Close() ? 0 : 1;
  }
  if (argc == 7 && std::strcmp(argv[1], "sign") == 0) {
    ApkSignOptions options;
    options.parallelDeflate = std::strcmp(argv[2], "native-parallel") == 0;
    const ApkSignResult r = SignApkWholeFile(argv[3], argv[4], argv[5], argv[6], options);
    if (!r.Ok()) std::fprintf(stderr, "%s\n", r.message.c_str());
    return r.Ok() ? 0 : 1;
  }
  std::fprintf(stderr,
               "usage: %s package <template.zip> <package.zip> <file>...\n"
               "       %s sign native|native-parallel <cert> <key> <package.zip> <signed.zip>\n",
               argv[0], argv[0]);
  return 2;
}
