// Boot images of both families: key area, parameter area and boot area, each
// followed by its RSA signature; the family shows in the parameter words.
#include <openssl/crypto.h>

#include <array>
#include <cstring>
#include <vector>

#include "boot/boot_image.h"
#include "common/le.h"
#include "signing/image_headers.h"
#include "verify/messages.h"
#include "verify/reader.h"

namespace tarnel::verify {

namespace {

namespace bp = boot_param;

constexpr size_t kKeyAreaWordOffset = 512;
constexpr size_t kBootTailWords = 8;     // two zero words end the boot area (boards 1-5)
constexpr size_t kParityBlock = 64;

// The image's layout around the family's parameter words.
struct Family {
  const BootFamily& words;
  [[nodiscard]] constexpr uint64_t Overhead() const {
    return kKeyAreaSize + kAreaSignatureSize + words.paramAreaSize + kAreaSignatureSize + words.uncheckedArea +
           kAreaSignatureSize;
  }
  [[nodiscard]] constexpr uint64_t ParamAt() const { return kKeyAreaSize + kAreaSignatureSize; }
  [[nodiscard]] constexpr uint64_t BootAt() const {
    return ParamAt() + words.paramAreaSize + kAreaSignatureSize + words.uncheckedArea;
  }
};

constexpr Family kShort{kBootFamilyZero};
constexpr Family kLong{kBootFamilyOther};
static_assert(kShort.Overhead() == 2304 && kLong.Overhead() == 6432);

// The family whose fixed parameter words the bytes at the parameter area
// carry; the boot area length L comes from the first region's length, and
// `lengthsAgree` tells whether the trailing length and the 256-byte rounding
// agree with it.
bool FamilyOf(ByteSource& src, const Family*& family, uint32_t& bootLength, bool& lengthsAgree) {
  uint8_t w[bp::kFillStart];
  if (!src.ReadAt(kKeyAreaSize + kAreaSignatureSize, w, sizeof w)) return false;
  for (const Family* fam : {&kShort, &kLong}) {
    const BootFamily& words = fam->words;
    if (GetLe32(w + bp::kFirstRegionOffset) == words.regionOffset &&
        GetLe32(w + bp::kSecondRegionOffset) == words.regionOffset && GetLe32(w + bp::kSecondRegionLength) == 0 &&
        GetLe32(w + bp::kFamilyWord) == words.familyWord) {
      family = fam;
      bootLength = GetLe32(w + bp::kFirstRegionLength);
      lengthsAgree = bootLength % 256 == 0 &&
                     uint64_t{GetLe32(w + bp::kTrailingLength)} == uint64_t{bootLength} + words.trailingExtra;
      return true;
    }
  }
  return false;
}

bool ReadBytes(ByteSource& src, uint64_t at, size_t n, std::vector<uint8_t>& out) {
  out.resize(n);
  return src.ReadAt(at, out.data(), n);
}

}  // namespace

bool LooksLikeBootImage(ByteSource& src) {
  const Family* family = nullptr;
  uint32_t l = 0;
  bool agree = false;
  return FamilyOf(src, family, l, agree);
}

bool CheckBootImage(ByteSource& src, Findings& f) {
  const Family* fam = nullptr;
  uint32_t l = 0;
  bool agree = false;
  if (!FamilyOf(src, fam, l, agree)) return f.Problem(kProbParamWords);
  f.Kind(fam->words.boardTypeZero ? kKindBootShort : kKindBootLong);
  if (!agree) return f.Problem(kProbParamWords);
  const bool info = f.KeysOrNull() == nullptr;
  if (info) {
    f.FieldNum("boot area length", l);
    f.FieldNum("parameter area length", fam->words.paramAreaSize);
  }
  const uint64_t expected = fam->Overhead() + l;
  if (src.Size() < expected) return f.Problem(kProbTruncated);
  if (src.Size() > expected) return f.Problem(kProbTrailing);
  if (!fam->words.boardTypeZero && l < 256) return f.Problem(kProbParamWords);
  const int32_t board = f.Opts().board;
  if (board >= 0 && (board == 0) != fam->words.boardTypeZero)
    return f.Problem(Format(kProbBoard, fam->words.boardTypeZero ? "Qm5820RA100" : "boards 1-5"));

  std::vector<uint8_t> keyArea, keySig, param, paramSig, bootSig;
  const uint64_t paramAt = fam->ParamAt();
  const uint64_t bootAt = fam->BootAt();
  if (!ReadBytes(src, 0, kKeyAreaSize, keyArea) || !ReadBytes(src, kKeyAreaSize, kAreaSignatureSize, keySig) ||
      !ReadBytes(src, paramAt, fam->words.paramAreaSize, param) ||
      !ReadBytes(src, paramAt + fam->words.paramAreaSize, kAreaSignatureSize, paramSig) ||
      !ReadBytes(src, bootAt + l, kAreaSignatureSize, bootSig))
    return f.Problem(kProbTruncated);

  // Key area: n and e of the external public key, then a zero word.
  if (GetLe32(keyArea.data() + kKeyAreaWordOffset) != 0) return f.Problem(kProbKeyAreaWord);
  PKey embedded = PublicKeyFromBytes(keyArea.data(), 256, keyArea.data() + 256, 256);
  if (!embedded) return f.Problem(kProbKeyArea);
  f.Fingerprint("key area public key", embedded.get());

  // Parameter area: the fixed 0xFF bytes before the configuration data.
  for (size_t i = bp::kFillStart; i < kParamDataOffset; ++i) {
    if (param[i] != 0xFF && !(fam->words.boardTypeZero && i == bp::kParityByte))
      return f.Problem(Format(kProbFill, static_cast<unsigned long long>(paramAt + i)));
  }
  if (info) f.FieldText("parameter byte 28", Format("0x%02x", param[bp::kParityByte]));
  if (fam->words.boardTypeZero && Sha256FirstBlockOdd(param.data())) f.Problem(kProbParamParity);

  if (!fam->words.boardTypeZero) {
    std::vector<uint8_t> unchecked;
    if (!ReadBytes(src, paramAt + fam->words.paramAreaSize + kAreaSignatureSize, kUncheckedAreaSize, unchecked))
      return f.Problem(kProbTruncated);
    for (size_t i = 0; i < kUncheckedAreaSize; ++i)
      if (unchecked[i] != (i < kUncheckedAreaSize / 2 ? 0x00 : 0xFF)) return f.Problem(kProbUnchecked);
    uint8_t tail[kBootTailWords];
    if (!src.ReadAt(bootAt + l - kBootTailWords, tail, sizeof tail)) return f.Problem(kProbTruncated);
    for (uint8_t b : tail)
      if (b != 0) return f.Problem(kProbBootTail);
  } else if (l >= kParityBlock) {
    uint8_t first[kParityBlock];
    if (!src.ReadAt(bootAt, first, sizeof first)) return f.Problem(kProbTruncated);
    if (Sha256FirstBlockOdd(first)) f.Problem(kProbBootParity);
  }

  uint8_t keyDigest[32], paramDigest[32], bootDigest[32];
  if (!Sha256Range(src, 0, kKeyAreaSize, keyDigest) || !Sha256Range(src, paramAt, fam->words.paramAreaSize, paramDigest) ||
      !Sha256Range(src, bootAt, l, bootDigest))
    return f.Problem(kProbTruncated);
  if (info) {
    f.FieldHex("key area digest", keyDigest, 32);
    f.FieldHex("parameter area digest", paramDigest, 32);
    f.FieldHex("boot area digest", bootDigest, 32);
    return f.Clean();
  }
  const Keys& keys = *f.KeysOrNull();
  if (EVP_PKEY_eq(embedded.get(), keys.externalPublic.get()) != 1) f.Problem(kProbKeyArea);
  if (!RsaVerifyDigest(keys.root.get(), keyDigest, keySig.data(), keySig.size())) f.Problem(kProbKeyAreaSignature);
  if (!RsaVerifyDigest(keys.external.get(), paramDigest, paramSig.data(), paramSig.size()))
    f.Problem(kProbParamSignature);
  if (!RsaVerifyDigest(keys.external.get(), bootDigest, bootSig.data(), bootSig.size()))
    f.Problem(kProbBootSignature);
  return f.Clean();
}

}  // namespace tarnel::verify
