// Demo samples for the boot image: a boot loader blob and its cfg.bin.
#include <array>
#include <cstring>
#include <iterator>
#include <string>
#include <vector>

#include "boot/boot_image.h"
#include "cli/demo.h"
#include "common/files.h"
#include "common/le.h"

namespace tarnel::demo {

namespace {

constexpr size_t kBootBlobSize = 200 * 1024;
constexpr size_t kCfgSize = 2048;
constexpr size_t kBootHeaderSize = 64;
constexpr size_t kBootFlagsOffset = 20;  // a low byte: room for the board type 0 parity adjustment
constexpr size_t kBootBuildOffset = 24;

// 0: "TRNLBOOT", 8: u32 header version, 12: u32 load address, 16: u32 entry
// offset, 20: u32 flags, 24: u32 build number, 28: u32 image size,
// 32: 32-byte NUL-padded name; the code follows.
void BootHeader(std::vector<uint8_t>& blob, uint32_t build) {
  std::memcpy(blob.data(), "TRNLBOOT", 8);
  PutLe32(blob.data() + 8, 1);
  PutLe32(blob.data() + 12, 0x80008000u);
  PutLe32(blob.data() + 16, static_cast<uint32_t>(kBootHeaderSize));
  PutLe32(blob.data() + kBootFlagsOffset, 0);
  PutLe32(blob.data() + kBootBuildOffset, build);
  PutLe32(blob.data() + 28, static_cast<uint32_t>(blob.size()));
  std::memset(blob.data() + 32, 0, 32);
  std::memcpy(blob.data() + 32, "Tarnel demo boot loader", 23);
}

// True when the parity adjustment of board type 0 finds an even value.
bool ParityRoom(const std::vector<uint8_t>& blob) {
  std::array<uint8_t, kBootHeaderSize> head{};
  std::memcpy(head.data(), blob.data(), head.size());
  while (Sha256FirstBlockOdd(head.data())) {
    if (head[kBootFlagsOffset] == 0xFF) return false;
    ++head[kBootFlagsOffset];
  }
  return true;
}

bool WriteWhole(const std::string& path, const std::vector<uint8_t>& bytes) {
  OutFile out;
  return out.Create(path) && out.Write(bytes.data(), bytes.size()) && out.Commit();
}

}  // namespace

bool WriteBootSamples(const std::string& inputDir, std::string& error) {
  std::vector<uint8_t> blob(kBootBlobSize);
  uint32_t x = 0x626F6F74;  // deterministic code-like bytes
  for (size_t i = kBootHeaderSize; i < blob.size(); ++i) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    blob[i] = static_cast<uint8_t>(x);
  }
  uint32_t build = 1;
  BootHeader(blob, build);
  while (!ParityRoom(blob)) BootHeader(blob, ++build);
  if (!WriteWhole(inputDir + kBootFile, blob)) {
    error = "cannot write " + inputDir + kBootFile;
    return false;
  }

  // cfg.bin: "CFG1", u32 entry count, then NUL-terminated "name=value"
  // entries, zero-filled.
  std::vector<uint8_t> cfg(kCfgSize, 0);
  std::memcpy(cfg.data(), "CFG1", 4);
  const char* const entries[] = {"console=ttyS0,115200", "bootdelay=1", "bootcmd=nand read kernel; bootm",
                                 "mtdparts=fastboot,kernel,system,userdata", "secure=1"};
  size_t at = 8;
  for (const char* entry : entries) {
    const size_t n = std::strlen(entry) + 1;
    std::memcpy(cfg.data() + at, entry, n);
    at += n;
  }
  PutLe32(cfg.data() + 4, static_cast<uint32_t>(std::size(entries)));
  if (!WriteWhole(inputDir + kCfgFile, cfg)) {
    error = "cannot write " + inputDir + kCfgFile;
    return false;
  }
  return true;
}

}  // namespace tarnel::demo
