// Signs one large file with the whole-image signer and checks the output
// length; run under /usr/bin/time -v by sign_image_bench.sh for the peak
// resident memory. Usage: sign_image_bench <work folder> <source file>
#include <cstdio>
#include <string>

#include "boot/key_gen.h"
#include "boot/key_list.h"
#include "common/files.h"
#include "common/platform.h"
#include "common/reporter.h"
#include "signing/run_services.h"
#include "signing/sign_image.h"

int main(int argc, char** argv) {
  using namespace tarnel;
  if (argc != 3) {
    std::fprintf(stderr, "usage: %s <work folder> <source file>\n", argv[0]);
    return 2;
  }
  const std::string work = std::string(argv[1]) + "/";
  const std::string source = argv[2];
  Workspace ws;
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
  const std::string output = work + "signed.img";
  const bool ok = SignImageFile(ctx, output, source);
  for (const std::string& m : reporter.Messages()) std::fprintf(stderr, "message: %s\n", m.c_str());
  const uint64_t in = StatPath(source).size;
  const uint64_t out = StatPath(output).size;
  const uint64_t expected = 8192 * ((in + 8191) / 8192 + 1);
  std::printf("signed %llu bytes into %llu bytes (expected %llu): %s\n", static_cast<unsigned long long>(in),
              static_cast<unsigned long long>(out), static_cast<unsigned long long>(expected),
              ok && out == expected ? "ok" : "FAILED");
  RemoveFile(output);
  return ok && out == expected ? 0 : 1;
}
