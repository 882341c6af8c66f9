#include "boot/boot_image.h"

#include <cerrno>
#include <cstring>

#include <algorithm>
#include <array>
#include <vector>

#include "boot/key_list.h"
#include "common/files.h"
#include "common/le.h"
#include "common/platform.h"
#include "common/stream.h"
#include "common/text.h"
#include "signing/crypto.h"
#include "signing/sign_image.h"
#include "boot/messages.h"

namespace tarnel {

namespace {

constexpr uint64_t kBootAreaUnit = 256;
constexpr size_t kParityBlock = 64;      // the parity test reads one SHA-256 block
constexpr size_t kBootParityByte = 20;   // raised until the boot data tests even

uint64_t RoundUp(uint64_t value, uint64_t unit) { return (value + unit - 1) / unit * unit; }


// Streams the last `count` bytes of `in`, which must end there, to `out`
// and, when given, to `copy` as well.
StreamStatus CopyTo(InFile& in, uint64_t count, OutFile& out, OutFile* copy) {
  StreamStages stages;
  ReadFrom(in, stages);
  stages.write = [&out, copy](const uint8_t* data, size_t n) {
    return out.Write(data, n) && (copy == nullptr || copy->Write(data, n));
  };
  return StreamThrough(count, stages);
}

constexpr std::array<uint32_t, 64> kSha256K = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};
constexpr std::array<uint32_t, 8> kSha256H0 = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                               0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};

constexpr uint32_t Rotr(uint32_t x, int n) { return (x >> n) | (x << (32 - n)); }

}  // namespace

// ---------------------------------------------------------------------------
// Parity test

void Sha256FirstBlock(const uint8_t* block64, uint32_t hash[8]) {
  uint32_t w[64];
  for (int t = 0; t < 16; ++t)
    w[t] = (static_cast<uint32_t>(block64[4 * t]) << 24) | (static_cast<uint32_t>(block64[4 * t + 1]) << 16) |
           (static_cast<uint32_t>(block64[4 * t + 2]) << 8) | static_cast<uint32_t>(block64[4 * t + 3]);
  for (int t = 16; t < 64; ++t) {
    const uint32_t s0 = Rotr(w[t - 15], 7) ^ Rotr(w[t - 15], 18) ^ (w[t - 15] >> 3);
    const uint32_t s1 = Rotr(w[t - 2], 17) ^ Rotr(w[t - 2], 19) ^ (w[t - 2] >> 10);
    w[t] = w[t - 16] + s0 + w[t - 7] + s1;
  }
  uint32_t a = kSha256H0[0], b = kSha256H0[1], c = kSha256H0[2], d = kSha256H0[3];
  uint32_t e = kSha256H0[4], f = kSha256H0[5], g = kSha256H0[6], h = kSha256H0[7];
  for (int t = 0; t < 64; ++t) {
    const uint32_t sum1 = Rotr(e, 6) ^ Rotr(e, 11) ^ Rotr(e, 25);
    const uint32_t ch = (e & f) ^ (~e & g);
    const uint32_t t1 = h + sum1 + ch + kSha256K[static_cast<size_t>(t)] + w[t];
    const uint32_t sum0 = Rotr(a, 2) ^ Rotr(a, 13) ^ Rotr(a, 22);
    const uint32_t maj = (a & b) ^ (a & c) ^ (b & c);
    const uint32_t t2 = sum0 + maj;
    h = g;
    g = f;
    f = e;
    e = d + t1;
    d = c;
    c = b;
    b = a;
    a = t1 + t2;
  }
  const uint32_t out[8] = {a, b, c, d, e, f, g, h};
  for (size_t i = 0; i < 8; ++i) hash[i] = kSha256H0[i] + out[i];
}

bool Sha256FirstBlockOdd(const uint8_t* data) {
  uint32_t hash[8];
  Sha256FirstBlock(data, hash);
  return (hash[7] & 1u) != 0;
}

uint64_t BootAreaLength(uint64_t bootSize, bool boardTypeZero) {
  const uint64_t rounded = RoundUp(bootSize, kBootAreaUnit);
  if (boardTypeZero) return rounded;
  // At least 8 bytes of fill follow the boot data: they carry the two zero words.
  const uint64_t r = bootSize % kBootAreaUnit;
  return (r == 0 || r > kBootAreaUnit - 8) ? rounded + kBootAreaUnit : rounded;
}

// ---------------------------------------------------------------------------
// Areas

bool BuildKeyArea(std::string_view nLine, std::string_view eLine, const std::string& keyAreaPath) {
  const BigNum n = KeyComponentFromLine(nLine);
  const BigNum e = KeyComponentFromLine(eLine);
  if (!n || !e) return false;
  // 0: n (256, big-endian, right-aligned), 256: e (256, same), 512: u32 0.
  std::array<uint8_t, kKeyAreaSize> area{};
  if (!StoreKeyComponent256(area.data(), n.get()) || !StoreKeyComponent256(area.data() + 256, e.get()))
    return false;
  PutLe32(area.data() + 512, 0);
  OutFile out;
  return out.Create(keyAreaPath) && out.Write(area.data(), area.size()) && out.Commit();
}

bool SignAreaFile(RunServices& ctx, const std::string& areaPath, KeyRole role, const std::string& signaturePath) {
  InFile area;
  if (!area.Open(areaPath)) {
    ctx.Show(kMsgOpenAreaFailed);
    ctx.Show(kMsgOpenAreaForBootSignFailed);
    return false;
  }
  std::array<uint8_t, 32> digest{};
  std::array<uint8_t, kAreaSignatureSize> signature{};
  if (!HashFileSha256(area, digest.data())) {
    ctx.Show(kMsgBootSignFailed);
    return false;
  }
  if (!SignWithRunSigner(ctx, role, digest.data(), signature.data(), kMsgReadBootKeyFailed, kMsgBootSignFailed))
    return false;
  OutFile out;
  if (!out.Create(signaturePath) || !out.Write(signature.data(), signature.size()) || !out.Commit()) {
    ctx.Show(kMsgCreateBootSignatureFailed);
    return false;
  }
  return true;
}

bool BuildParamArea(RunServices& ctx, int32_t boardType, const std::string& cfgPath, const std::string& paramAreaPath,
                    uint64_t bootSize) {
  const bool zero = boardType == 0;
  if (bootSize > kMaxBootFileSize) {
    ctx.Show(Format(kMsgBootSizeTooLarge, static_cast<unsigned long long>(bootSize)));
    return false;
  }
  const BootFamily& family = BootFamilyOf(boardType);
  const uint64_t bootLength = BootAreaLength(bootSize, zero);
  std::vector<uint8_t> area(family.paramAreaSize, 0xFF);
  // The boot area is the first region, the second is empty.
  PutLe32(area.data() + boot_param::kFirstRegionOffset, family.regionOffset);
  PutLe32(area.data() + boot_param::kSecondRegionOffset, family.regionOffset);
  PutLe32(area.data() + boot_param::kFirstRegionLength, static_cast<uint32_t>(bootLength));
  PutLe32(area.data() + boot_param::kSecondRegionLength, 0);
  PutLe32(area.data() + boot_param::kTrailingLength, static_cast<uint32_t>(bootLength + family.trailingExtra));
  PutLe32(area.data() + boot_param::kFamilyWord, family.familyWord);

  InFile cfg;
  if (!cfg.Open(cfgPath)) {
    ctx.Show(kMsgInvalidCfgBin, MsgIcon::Warning);
    return false;
  }
  const size_t take = static_cast<size_t>(std::min<uint64_t>(cfg.Size(), area.size() - kParamDataOffset));
  if (!cfg.ReadExact(area.data() + kParamDataOffset, take)) {
    ctx.Show(kMsgInvalidCfgBin, MsgIcon::Warning);
    return false;
  }
  cfg.Close();

  OutFile out;
  if (!out.Create(paramAreaPath)) {
    ctx.Show(kMsgCreateParamAreaFailed, MsgIcon::Warning);
    return false;
  }
  if (zero && Sha256FirstBlockOdd(area.data())) {
    bool even = false;
    for (int value = 255; value >= 2 && !even; --value) {
      area[boot_param::kParityByte] = static_cast<uint8_t>(value);
      even = !Sha256FirstBlockOdd(area.data());
    }
    if (!even) {
      ctx.Show(kMsgParamAreaInvalid);
      return false;
    }
  }
  if (!out.Write(area.data(), area.size()) || !out.Commit()) {
    ctx.Show(kMsgCreateParamAreaFailed, MsgIcon::Warning);
    return false;
  }
  return true;
}

bool BuildBootArea(RunServices& ctx, int32_t boardType, const std::string& bootPath, const std::string& bootAreaPath,
                   const std::string& sidePath, uint64_t bootSize) {
  const bool zero = boardType == 0;
  if (bootSize > kMaxBootFileSize) {
    ctx.Show(Format(kMsgBootFileTooLarge, bootPath.c_str()));
    return false;
  }
  const uint64_t bootLength = BootAreaLength(bootSize, zero);
  InFile boot;
  if (!boot.Open(bootPath)) {
    ctx.Show(kMsgInvalidBootFileForSign);
    return false;
  }
  OutFile area;
  if (!area.Create(bootAreaPath)) {
    ctx.Show(kMsgCreateBootAreaFailed);
    return false;
  }
  OutFile side;
  if (!side.Create(sidePath)) {
    ctx.Show(kMsgCreateBootSideFailed);
    return false;
  }
  // The boot file is read as it is now; one that changed size since it was
  // measured is not used.
  if (boot.Size() != bootSize) {
    ctx.Show(kMsgReadBootFileFailed);
    return false;
  }

  // A boot file that cannot be read to where its size said is unreadable;
  // an area that cannot be written is not created.
  static constexpr StreamMessages kCopyMessages{kMsgReadBootFileFailed, kMsgReadBootFileFailed,
                                                kMsgCreateBootAreaFailed, kMsgCreateBootAreaFailed};
  const auto copyFailed = [&](StreamStatus status) {
    ctx.Show(StreamFailureMessage(status, kCopyMessages, bootPath, bootAreaPath));
    return false;
  };
  bool written = true;
  if (zero) {
    // The parity test reads the first 64 bytes of boot data; a shorter file
    // cannot pass it.
    if (bootSize < kParityBlock) {
      ctx.Show(kMsgBootFileInvalid);
      return false;
    }
    std::array<uint8_t, kParityBlock> head{};
    if (!boot.ReadExact(head.data(), head.size())) {
      ctx.Show(kMsgReadBootFileFailed);
      return false;
    }
    while (Sha256FirstBlockOdd(head.data())) {
      if (head[kBootParityByte] == 0xFF) {
        ctx.Show(kMsgBootFileInvalid);
        return false;
      }
      ++head[kBootParityByte];
    }
    // The boot area and its copy in the side file hold the same bytes.
    if (!area.Write(head.data(), head.size()) || !side.Write(head.data(), head.size()))
      return copyFailed(StreamStatus::WriteFailed);
    if (const StreamStatus status = CopyTo(boot, bootSize - kParityBlock, area, &side); status != StreamStatus::Ok)
      return copyFailed(status);
    written = area.WriteFill(0xFF, bootLength - bootSize) && side.WriteFill(0xFF, bootLength - bootSize);
  } else {
    std::array<uint8_t, kUncheckedAreaSize> unchecked{};
    std::fill(unchecked.begin() + 16, unchecked.end(), 0xFF);
    static_assert(kUncheckedAreaSize == 32);
    std::array<uint8_t, 8> zeroWords{};
    PutLe32(zeroWords.data(), 0);
    PutLe32(zeroWords.data() + 4, 0);
    if (!side.Write(unchecked.data(), unchecked.size())) return copyFailed(StreamStatus::WriteFailed);
    if (const StreamStatus status = CopyTo(boot, bootSize, area, nullptr); status != StreamStatus::Ok)
      return copyFailed(status);
    // Always at least 8 bytes of fill after the boot data (BootAreaLength).
    written = area.WriteFill(0xFF, bootLength - bootSize - zeroWords.size()) &&
              area.Write(zeroWords.data(), zeroWords.size());
  }
  if (!written || !area.Commit()) {
    ctx.Show(kMsgCreateBootAreaFailed);
    return false;
  }
  if (!side.Commit()) {
    ctx.Show(kMsgCreateBootSideFailed);
    return false;
  }
  return true;
}

bool AssembleBootImage(RunServices& ctx, int32_t boardType, const BootAreaFiles& areas, const std::string& outputPath) {
  const bool zero = boardType == 0;
  struct Part {
    const std::string* path;
    const char* message;
    uint64_t size;  // what the area must measure; 0: the boot area (whole 256-byte units)
  };
  // Opening order.
  const Part parts[7] = {
      {&areas.keyArea, kMsgInvalidKeyAreaFile, kKeyAreaSize},
      {&areas.keyAreaSign, kMsgInvalidKeyAreaSignFile, kAreaSignatureSize},
      {&areas.paramArea, kMsgInvalidParamAreaFile, zero ? kShortParamAreaSize : kLongParamAreaSize},
      {&areas.paramAreaSign, kMsgInvalidParamAreaSignFile, kAreaSignatureSize},
      {&areas.bootArea, kMsgInvalidBootAreaFile, 0},
      {&areas.bootAreaSign, kMsgInvalidBootAreaSignFile, kAreaSignatureSize},
      {&areas.uncheckedArea, kMsgInvalidUncheckedAreaFile, kUncheckedAreaSize},
  };
  const size_t count = zero ? 6 : 7;
  InFile files[7];
  uint64_t total = 0;
  for (size_t i = 0; i < count; ++i) {
    const uint64_t size = files[i].Open(*parts[i].path) ? files[i].Size() : 0;
    const bool sizeOk = parts[i].size != 0 ? size == parts[i].size
                                           : (size > 0 && size % kBootAreaUnit == 0 && size <= kMaxImageLength);
    if (!files[i].IsOpen() || !sizeOk) {
      ctx.Show(parts[i].message);
      return false;
    }
    total += size;
  }
  if (total > kMaxImageLength) {
    ctx.Show(kMsgInvalidBootAreaFile);
    return false;
  }
  OutFile out;
  if (errno = 0; !out.Create(outputPath)) {
    ctx.ShowDetail(kMsgCreateBootImageFailed,
                   outputPath + ": " + (errno != 0 ? std::strerror(errno) : "cannot be created"));
    return false;
  }
  // Image order: the unchecked area comes before the boot area.
  static constexpr size_t kOrderZero[6] = {0, 1, 2, 3, 4, 5};
  static constexpr size_t kOrderOther[7] = {0, 1, 2, 3, 6, 4, 5};
  const size_t* order = zero ? kOrderZero : kOrderOther;
  for (size_t i = 0; i < count; ++i) {
    InFile& in = files[order[i]];
    // An area that cannot be read as it measured is invalid; the image
    // that cannot be written is named.
    const StreamMessages messages{parts[order[i]].message, parts[order[i]].message, kMsgWriteBootImageFailed,
                                  kMsgWriteBootImageFailed};
    if (const StreamStatus status = CopyTo(in, in.Size(), out, nullptr); status != StreamStatus::Ok) {
      ctx.Show(StreamFailureMessage(status, messages, *parts[order[i]].path, outputPath));
      return false;
    }
    in.Close();
  }
  if (!out.Commit()) {
    ctx.Show(Format(kMsgWriteBootImageFailed, outputPath.c_str()));
    return false;
  }
  return true;
}

// ---------------------------------------------------------------------------

bool SignBootImage(RunServices& ctx, int32_t boardType, const std::string& outputPath, const std::string& bootPath,
                   const std::string& keyListPath, const std::string& cfgPath) {
  const FileInfo info = StatPath(bootPath);
  if (info.kind != PathKind::File) {
    ctx.Show(kMsgInvalidBootFile);
    return false;
  }
  if (info.size > kMaxBootFileSize) {
    ctx.Show(Format(kMsgBootFileTooLarge, bootPath.c_str()));
    return false;
  }
  const uint64_t bootSize = info.size;
  (void)keyListPath;  // the keys stay in memory (see the header)
  const KeyLines& lines = ctx.Keys();

  const std::string temp = ctx.TempDir();
  const bool zero = boardType == 0;
  BootAreaFiles areas;
  areas.keyArea = temp + kKeyAreaFile;
  areas.keyAreaSign = temp + kKeyAreaSignFile;
  areas.paramArea = temp + kParamAreaFile;
  areas.paramAreaSign = temp + kParamAreaSignFile;
  areas.bootArea = temp + kBootAreaFile;
  areas.bootAreaSign = temp + kBootAreaSignFile;
  areas.uncheckedArea = temp + kUncheckedAreaFile;
  const std::string sidePath = zero ? temp + kBootAreaEncryptPartFile : areas.uncheckedArea;

  if (lines.size() < kKeyListLines || !BuildKeyArea(lines[kExternalPublicNLine], lines[kExternalPublicNLine + 1],
                                                    areas.keyArea))
    return false;
  if (!SignAreaFile(ctx, areas.keyArea, KeyRole::Root, areas.keyAreaSign)) return false;
  if (!BuildParamArea(ctx, boardType, cfgPath, areas.paramArea, bootSize)) return false;
  if (!SignAreaFile(ctx, areas.paramArea, KeyRole::External, areas.paramAreaSign)) return false;
  if (!BuildBootArea(ctx, boardType, bootPath, areas.bootArea, sidePath, bootSize)) return false;
  // Board type 0 signs the copy; both hold the same bytes.
  if (!SignAreaFile(ctx, zero ? sidePath : areas.bootArea, KeyRole::External, areas.bootAreaSign)) return false;
  return AssembleBootImage(ctx, boardType, areas, outputPath);
}

}  // namespace tarnel
