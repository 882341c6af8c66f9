// Seals one large file with the first-generation containers and builds a
// boot image from it, checking the output lengths; run under /usr/bin/time -v
// by mac_containers_bench.sh for the peak resident memory.
// Usage: mac_containers_bench <work folder> <source file>
#include <chrono>
#include <cstdio>
#include <string>

#include "boot/boot_image.h"
#include "boot/key_gen.h"
#include "boot/key_list.h"
#include "common/files.h"
#include "common/platform.h"
#include "common/reporter.h"
#include "signing/run_services.h"
#include "signing/mac_containers.h"

namespace {

using namespace tarnel;

bool Report(const char* what, bool ok, const std::string& output, uint64_t expected,
            std::chrono::steady_clock::time_point start) {
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  const uint64_t got = StatPath(output).size;
  const bool good = ok && got == expected;
  std::printf("%-10s %llu bytes in %.1f s (expected %llu): %s\n", what, static_cast<unsigned long long>(got), seconds,
              static_cast<unsigned long long>(expected), good ? "ok" : "FAILED");
  RemoveFile(output);
  return good;
}

uint64_t RoundUp(uint64_t v, uint64_t unit) { return (v + unit - 1) / unit * unit; }

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: %s <work folder> <source file>\n", argv[0]);
    return 2;
  }
  const std::string work = std::string(argv[1]) + "/";
  const std::string source = argv[2];
  const uint64_t length = StatPath(source).size;
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
  ws.app.m_nBoardType = 1;
  RecordingReporter reporter;
  RunServices ctx(ws, reporter);
  const Key128 key{};  // the MAC key's value does not change the work
  const uint64_t p = 4096, b = 262144;
  bool ok = true;

  auto start = std::chrono::steady_clock::now();
  const bool raw = SealRawImage(ctx, FlashGeometry{"Nand", p, b, 0}, key, work + "raw.img", source);
  ok = Report("raw", raw, work + "raw.img", RoundUp(RoundUp(length, p) + 2 * p, b), start) && ok;

  start = std::chrono::steady_clock::now();
  const bool chunked = SealChunkedImage(ctx, FlashGeometry{"Nand", p, b, 200}, key, work + "chunked.img", source);
  const uint64_t d = RoundUp(length, b);
  const uint64_t n = RoundUp(d + p, 1048576) / 1048576;
  ok = Report("chunked", chunked, work + "chunked.img", d + RoundUp(16 * n + p, b), start) && ok;

  start = std::chrono::steady_clock::now();
  {
    OutFile cfg;
    ok = cfg.Create(work + "cfg.bin") && cfg.WriteFill(0x5A, 2048) && cfg.Commit() && ok;
  }
  const bool boot = SignBootImage(ctx, ws.app.m_nBoardType, work + "boot.img", source, ws.app.m_strKeysFile, work + "cfg.bin");
  ok = Report("boot", boot, work + "boot.img", 6432 + BootAreaLength(length, false), start) && ok;

  for (const std::string& m : reporter.Messages()) std::fprintf(stderr, "message: %s\n", m.c_str());
  return ok ? 0 : 1;
}
