// Feeds arbitrary bytes to the readers of every output kind, with and
// without keys, as one file or as an X.img / X_Sign.img pair: whatever the
// bytes claim, nothing is read outside them and nothing crashes.
//
// Input: one mode byte, then the file. Mode bit 0: the file is a pair, split
// after the image length held in the next 4 bytes (little-endian); bit 1:
// check with keys; bits 2-4: board index + 1 (0: no board given).
#include <openssl/evp.h>
#include <openssl/rsa.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "fuzz_files.h"
#include "verify/verify.h"

namespace {

const tarnel::verify::Keys& FuzzKeys() {
  static tarnel::verify::Keys* keys = [] {
    auto* k = new tarnel::verify::Keys;
    EVP_PKEY* external = EVP_RSA_gen(2048);
    EVP_PKEY* root = EVP_RSA_gen(2048);
    if (external == nullptr || root == nullptr) __builtin_trap();
    EVP_PKEY_up_ref(external);
    k->external.reset(external);
    k->externalPublic.reset(external);
    k->root.reset(root);
    for (size_t i = 0; i < 16; ++i) {
      k->v1[i] = static_cast<uint8_t>(i);
      k->v2[i] = static_cast<uint8_t>(0x20 + i);
      k->v3[i] = static_cast<uint8_t>(0x40 + i);
    }
    k->keyListPath = "/nonexistent/Keys_for_signature.txt";
    return k;
  }();
  return *keys;
}

}  // namespace

// Freed memory is reused soon: with the default quarantine every input's
// buffers land on fresh pages, and page faults were a third of the time.
extern "C" const char* __asan_default_options() { return "quarantine_size_mb=8"; }

// Archive entries unpacked for a check go to tmpfs, not the disk.
extern "C" int LLVMFuzzerInitialize(int*, char***) {
  const std::string& folder = tarnel::fuzz::MemoryFolder();
  setenv("TMPDIR", folder.substr(0, folder.size() - 1).c_str(), 1);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const uint8_t mode = data[0];
  ++data;
  --size;
  tarnel::verify::Options options;
  if (mode & 2) options.keys = &FuzzKeys();
  options.board = static_cast<int32_t>((mode >> 2) & 7) - 1;
  if (options.board > 5) options.board = -1;
  if ((mode & 1) != 0 && size >= 4) {
    uint32_t imageLength = 0;
    std::memcpy(&imageLength, data, 4);
    data += 4;
    size -= 4;
    const size_t split = imageLength <= size ? imageLength : size;
    (void)tarnel::verify::CheckBytes(data, split, data + split, size - split, options);
  } else {
    (void)tarnel::verify::CheckBytes(data, size, nullptr, 0, options);
  }
  return 0;
}
