#include "signing/ubi.h"

#include <algorithm>
#include <cstdio>
#include <vector>

#include "common/files.h"
#include "common/paths.h"
#include "common/text.h"
#include "signing/section_signer.h"
#include "signing/sign_image.h"

namespace tarnel {

bool SignUbiImage(SigningContext& ctx, const std::string& outputPath, const std::string& sourcePath) {
  const std::string signPath = SignFilePathFor(outputPath);
  const std::string tempSignPath = ctx.App().TempDir() + AfterLastSep(signPath);
  const Stamps stamps = TakeStamps();

  // Lengths are 32-bit fields: a larger image would have its tail left
  // unsigned, so it is refused.
  InFile source;
  uint64_t length = 0;
  if (!OpenSourceImage(ctx, source, sourcePath, length)) return false;
  if (!SectionedSourceLongEnough(length)) {
    ctx.Show(kMsgSectionTooLarge);
    return false;
  }

  // X.img first: it stays in place whatever happens to the signing.
  if (!CopyImageFile(ctx, source, length, sourcePath, outputPath, kMsgOpenFileFailed, kMsgMallocFilebuffer, false))
    return false;
  if (!source.Seek(0)) {
    ctx.Show(Format(kMsgOpenFileFailed, sourcePath.c_str()));
    return false;
  }

  if (!CheckSigningKey(ctx)) return false;
  OutFile signFile;
  if (!signFile.Create(tempSignPath)) {
    ctx.Show(Format(kMsgOpenSignFileFailed, tempSignPath.c_str()));
    return false;
  }
  const uint32_t sections = SectionCountFor(length);
  SectionSigner signer(ctx, stamps, outputPath, sections, signFile, nullptr);
  if (!signer.Begin()) return false;
  uint64_t left = length;
  while (left > 0) {
    size_t room = 0;
    uint8_t* at = signer.Room(room);
    const size_t want = static_cast<size_t>(std::min<uint64_t>(room, left));
    if (want == 0 || !source.ReadExact(at, want)) {
      ctx.Show(Format(kMsgReadSourceFailed, sourcePath.c_str()));
      return false;
    }
    if (!signer.Filled(want)) return false;
    left -= want;
  }
  if (!signer.Finish()) {
    ctx.Show(Format(kMsgReadSourceFailed, sourcePath.c_str()));
    return false;
  }
  source.Close();
  if (!signFile.Commit()) {
    ctx.Show(Format(kMsgWriteOutputFailed, tempSignPath.c_str()));
    return false;
  }
  return SignImageFile(ctx, signPath, tempSignPath);
}

}  // namespace tarnel
