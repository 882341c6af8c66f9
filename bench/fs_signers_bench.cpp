// The file-system signers over large images; run under /usr/bin/time -v by
// fs_signers_bench.sh for the peak resident memory.
//   fs_signers_bench make-sparse <file> <GiB>   writes a sparse image of raw,
//                                              fill and don't-care chunks
//   fs_signers_bench <ext4|ubi|yaffs> <work folder> <source file>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "boot/key_gen.h"
#include "boot/key_list.h"
#include "common/files.h"
#include "common/le.h"
#include "common/platform.h"
#include "common/reporter.h"
#include "signing/run_services.h"
#include "signing/sparse_ext4.h"
#include "signing/ubi.h"
#include "signing/yaffs.h"

namespace {

using namespace tarnel;

constexpr uint32_t kBlock = 4096;
constexpr uint32_t kRawBlocks = 4096;       // 16 MiB of data
constexpr uint32_t kFillBlocks = 4096;      // 16 MiB of one pattern
constexpr uint32_t kDontCareBlocks = 8192;  // 32 MiB of zeros

bool MakeSparse(const std::string& path, uint64_t gib) {
  const uint64_t rounds = gib * 16;  // 64 MiB each
  OutFile out;
  uint8_t header[28] = {};
  PutLe32(header, 0xED26FF3A);
  PutLe16(header + 4, 1);
  PutLe16(header + 8, 28);
  PutLe16(header + 10, 12);
  PutLe32(header + 12, kBlock);
  PutLe32(header + 16, static_cast<uint32_t>(rounds * (kRawBlocks + kFillBlocks + kDontCareBlocks)));
  PutLe32(header + 20, static_cast<uint32_t>(rounds * 3));
  if (!out.Create(path) || !out.Write(header, sizeof header)) return false;
  std::vector<uint8_t> data(size_t{kRawBlocks} * kBlock);
  uint32_t x = 0x62656E63;
  for (uint64_t r = 0; r < rounds; ++r) {
    for (uint8_t& b : data) {
      x ^= x << 13;
      x ^= x >> 17;
      x ^= x << 5;
      b = static_cast<uint8_t>(x);
    }
    uint8_t h[12] = {};
    PutLe16(h, 0xCAC1);
    PutLe32(h + 4, kRawBlocks);
    PutLe32(h + 8, static_cast<uint32_t>(12 + data.size()));
    if (!out.Write(h, 12) || !out.Write(data.data(), data.size())) return false;
    const uint8_t fill[4] = {0xA5, 0x5A, static_cast<uint8_t>(r), 0x01};
    PutLe16(h, 0xCAC2);
    PutLe32(h + 4, kFillBlocks);
    PutLe32(h + 8, 16);
    if (!out.Write(h, 12) || !out.Write(fill, 4)) return false;
    PutLe16(h, 0xCAC3);
    PutLe32(h + 4, kDontCareBlocks);
    PutLe32(h + 8, 12);
    if (!out.Write(h, 12)) return false;
  }
  return out.Commit();
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 4 && std::string(argv[1]) == "make-sparse")
    return MakeSparse(argv[2], std::strtoull(argv[3], nullptr, 10)) ? 0 : 1;
  if (argc != 4) {
    std::fprintf(stderr, "usage: %s make-sparse <file> <GiB> | %s <ext4|ubi|yaffs> <work folder> <source>\n", argv[0],
                 argv[0]);
    return 2;
  }
  const std::string kind = argv[1];
  const std::string work = std::string(argv[2]) + "/";
  const std::string source = argv[3];
  Workspace ws;
  ws.app.m_strAppDir = work;
  MakeFolder(work + "Temp");
  ws.app.m_strKeysFile = work + "Keys_for_signature.txt";
  if (WriteNewKeyList(ws.app.m_strKeysFile, true) != KeyListWrite::Ok) {
    std::fprintf(stderr, "cannot write the key list\n");
    return 1;
  }
  // The signers take the key lines loaded for the run, as the window does.
  RecordingReporter loadReporter;
  if (!LoadKeyListFile(ws, loadReporter, ws.app.m_strKeysFile)) {
    std::fprintf(stderr, "cannot load the key list\n");
    return 1;
  }
  RecordingReporter reporter;
  RunServices ctx(ws, reporter);
  const Key128 key{};  // the MAC key's value does not change the work
  const std::string output = work + "signed.img";
  bool ok = false;
  if (kind == "ext4") {
    ok = SignSparseExt4Image(ctx, output, source);
  } else if (kind == "ubi") {
    ok = SignUbiImage(ctx, output, source);
  } else if (kind == "yaffs") {
    ok = SealYaffsImage(ctx, FlashGeometry{"Nand", 2048, 131072, 64}, key, output, source);
  }
  for (const std::string& m : reporter.Messages()) std::fprintf(stderr, "message: %s\n", m.c_str());
  std::printf("%s: %s -> %llu bytes", kind.c_str(), ok ? "ok" : "FAILED",
              static_cast<unsigned long long>(StatPath(output).size));
  if (kind != "yaffs")
    std::printf(", signature file %llu bytes",
                static_cast<unsigned long long>(StatPath(work + "signed_Sign.img").size));
  std::printf("\n");
  return ok ? 0 : 1;
}
