// The signed boot image: key area, parameter area and boot area, each
// followed by its RSA signature.
//
// Board type 0 (short parameter area, no unchecked area):
//   0        516  key area (external public key n, e)
//   516      256  key area signature (root key)
//   772      1020 parameter area
//   1792     256  parameter area signature (external key)
//   2048     L    boot area
//   2048+L   256  boot area signature (external key)
// Other board types:
//   0        516  key area
//   516      256  key area signature
//   772      5116 parameter area
//   5888     256  parameter area signature
//   6144     32   unchecked area (16 x 0x00, 16 x 0xFF)
//   6176     L    boot area (last 8 bytes two zero words)
//   6176+L   256  boot area signature
#pragma once

#include <cstdint>
#include <string>

#include "signing/run_services.h"
#include "signing/signer.h"

namespace tarnel {

// Area files under the program folder's Temp folder.
inline constexpr const char* kKeyAreaFile = "KeyArea.bin";
inline constexpr const char* kKeyAreaSignFile = "KeyAreaSign.bin";
inline constexpr const char* kParamAreaFile = "ParamArea.bin";
inline constexpr const char* kParamAreaSignFile = "ParamAreaSign.bin";
inline constexpr const char* kBootAreaFile = "BootArea.bin";
inline constexpr const char* kBootAreaEncryptPartFile = "BootAreaEncryptPart.bin";
inline constexpr const char* kUncheckedAreaFile = "UncheckedArea.bin";
inline constexpr const char* kBootAreaSignFile = "BootAreaSign.bin";

inline constexpr size_t kKeyAreaSize = 516;
inline constexpr size_t kAreaSignatureSize = 256;
inline constexpr size_t kShortParamAreaSize = 1020;  // board type 0
inline constexpr size_t kLongParamAreaSize = 5116;   // other board types
inline constexpr size_t kUncheckedAreaSize = 32;
inline constexpr size_t kParamDataOffset = 32;       // cfg.bin bytes start here

// The parameter words at the start of the parameter area, 32-bit
// little-endian, then 0xFF up to the cfg.bin bytes. Region offsets count from
// the first byte after the parameter area signature.
namespace boot_param {
inline constexpr size_t kFirstRegionOffset = 0;    // where the boot area starts
inline constexpr size_t kSecondRegionOffset = 4;   // the same: the second region is empty
inline constexpr size_t kFirstRegionLength = 8;    // L: the boot area's length, whole 256-byte units
inline constexpr size_t kSecondRegionLength = 12;  // 0
inline constexpr size_t kTrailingLength = 16;      // L + the family's trailing extra
inline constexpr size_t kFamilyWord = 20;          // the family's fixed word
inline constexpr size_t kFillStart = 24;           // 0xFF up to the cfg.bin bytes
inline constexpr size_t kParityByte = 28;          // board type 0 lowers it until the area tests even
static_assert(kFamilyWord + 4 == kFillStart && kFillStart + 8 == kParamDataOffset);
}  // namespace boot_param

// What the parameter words hold on each family of boards: board type 0 (short
// parameter area, no unchecked area) and the others.
struct BootFamily {
  bool boardTypeZero;
  size_t paramAreaSize;
  uint32_t regionOffset;   // both region offsets: the unchecked area comes first
  uint32_t trailingExtra;  // the trailing length is L + this
  uint32_t familyWord;
  size_t uncheckedArea;    // bytes between the parameter area signature and the boot area
};
inline constexpr BootFamily kBootFamilyZero{true, kShortParamAreaSize, 0, kAreaSignatureSize, 0xFFFFFFFFu, 0};
inline constexpr BootFamily kBootFamilyOther{false, kLongParamAreaSize, static_cast<uint32_t>(kUncheckedAreaSize),
                                             static_cast<uint32_t>(kAreaSignatureSize + kUncheckedAreaSize),
                                             0xFFFFFFF8u, kUncheckedAreaSize};
[[nodiscard]] constexpr const BootFamily& BootFamilyOf(int32_t boardType) {
  return boardType == 0 ? kBootFamilyZero : kBootFamilyOther;
}

// Largest boot file: the boot area, its signature and the areas before it
// must keep the image and the parameter words below 4 GiB.
inline constexpr uint64_t kMaxBootFileSize = 0xFFFFFFFFull - 8192;

// Builds the boot image of one "Fastboot" row for a board type; shows its own messages. The
// key area comes from the run's loaded key lines (9 and 10) and the three
// signatures from the run's signer; `keyListPath` is not opened (no key file
// is cut from it any more).
[[nodiscard]] bool SignBootImage(RunServices& ctx, int32_t boardType, const std::string& outputPath, const std::string& bootPath,
                                 const std::string& keyListPath, const std::string& cfgPath);

// Key area from the external public key lines (key list lines 9 and 10: n,
// e). Shows no message; fails also when a component does not fit its
// 256-byte field.
[[nodiscard]] bool BuildKeyArea(std::string_view nLine, std::string_view eLine, const std::string& keyAreaPath);

// 256-byte RSA signature of the SHA-256 of the whole area file, made by the
// run's signer with the role's key.
[[nodiscard]] bool SignAreaFile(RunServices& ctx, const std::string& areaPath, KeyRole role,
                                const std::string& signaturePath);

// Parameter area for a boot file of `bootSize` bytes, with cfg.bin's bytes.
[[nodiscard]] bool BuildParamArea(RunServices& ctx, int32_t boardType, const std::string& cfgPath, const std::string& paramAreaPath,
                                  uint64_t bootSize);

// Boot area for the boot file of `bootSize` bytes. `sidePath` receives a copy
// of the boot area on board type 0 and the unchecked area otherwise.
[[nodiscard]] bool BuildBootArea(RunServices& ctx, int32_t boardType, const std::string& bootPath, const std::string& bootAreaPath,
                                 const std::string& sidePath, uint64_t bootSize);

// The area files in image order of their listing; `uncheckedArea` is only
// read on board types other than 0.
struct BootAreaFiles {
  std::string keyArea;
  std::string keyAreaSign;
  std::string paramArea;
  std::string paramAreaSign;
  std::string bootArea;
  std::string bootAreaSign;
  std::string uncheckedArea;
};
[[nodiscard]] bool AssembleBootImage(RunServices& ctx, int32_t boardType, const BootAreaFiles& areas, const std::string& outputPath);

// Length of the boot area for a boot file of `bootSize` bytes.
[[nodiscard]] uint64_t BootAreaLength(uint64_t bootSize, bool boardTypeZero);

// SHA-256 compression of one 64-byte block from the initial hash value, no
// padding: the intermediate hash value H0..H7.
void Sha256FirstBlock(const uint8_t* block64, uint32_t hash[8]);
// The parity test of board type 0: H7 of Sha256FirstBlock(data) is odd.
[[nodiscard]] bool Sha256FirstBlockOdd(const uint8_t* data);

}  // namespace tarnel
