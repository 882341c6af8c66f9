// Key list files, key record texts and key component lines from arbitrary bytes.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include "fuzz_files.h"
#include "boot/key_list.h"
#include "common/reporter.h"
#include "signing/crypto.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace tarnel;
  const std::string text(reinterpret_cast<const char*>(data), size);
  static fuzz::MemoryFile input("key-list");
  input.Set(data, size);
  const std::string& src = input.Path();
  static const std::string dst = fuzz::MemoryFolder() + "record.bin";

  Workspace ws;
  RecordingReporter reporter;
  if (LoadKeyListFile(ws, reporter, src) && ws.keyLines.size() != kKeyListLines) __builtin_trap();
  if (ConvertKeyRecordText(reporter, dst, src)) {
    FILE* f = std::fopen(dst.c_str(), "rb");
    if (f == nullptr) __builtin_trap();
    std::fseek(f, 0, SEEK_END);
    if (std::ftell(f) % static_cast<long>(kKeyRecordSize) != 0) __builtin_trap();
    std::fclose(f);
  }
  KeyLoad status = KeyLoad::Ok;
  PKey key = LoadRsaPrivateKey(src, &status);
  if (key) {
    uint8_t digest[32] = {};
    uint8_t sig[256];
    (void)SignDigest(key.get(), digest, sig);
  }
  (void)KeyComponentFromLine(text);
  (void)DecodeKey128(text);
  std::remove(dst.c_str());
  return 0;
}
