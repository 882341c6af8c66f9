#include "verify/run_check.h"

#include "common/text.h"
#include "verify/reader.h"

namespace tarnel::verify {

std::string FileSha256(const std::string& path) {
  FileSource src;
  uint8_t digest[32];
  if (!src.Open(path) || !Sha256Range(src, 0, src.Size(), digest)) return {};
  return Hex(digest, sizeof digest);
}

}  // namespace tarnel::verify
