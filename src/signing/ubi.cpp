#include "signing/ubi.h"

#include <algorithm>
#include <cstdio>
#include <vector>

#include "common/files.h"
#include "common/paths.h"
#include "common/text.h"
#include "signing/section_signer.h"
#include "signing/sign_image.h"
#include "signing/messages.h"

namespace tarnel {

bool SignUbiImage(RunServices& ctx, const std::string& outputPath, const std::string& sourcePath) {
  const std::string signPath = SignFilePathFor(outputPath);
  const std::string tempSignPath = ctx.TempDir() + AfterLastSep(signPath);
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

  // Everything that can refuse the image comes before a byte is written.
  if (!CheckSigningKey(ctx)) return false;
  // X.img is the source as it is, copied in the same pass that signs it; it
  // takes its name only together with X_Sign.img.
  OutFile image;
  if (!image.Create(outputPath)) {
    ctx.Show(Format(kMsgOpenFileFailed, outputPath.c_str()));
    return false;
  }
  OutFile signFile;
  if (!signFile.Create(tempSignPath)) {
    ctx.Show(Format(kMsgOpenSignFileFailed, tempSignPath.c_str()));
    return false;
  }
  const uint32_t sections = SectionCountFor(length);
  SectionSigner signer(ctx, stamps, outputPath, sections, signFile, &image);
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
    if (!signer.Shown()) ctx.Show(Format(kMsgReadSourceFailed, sourcePath.c_str()));
    return false;
  }
  source.Close();
  if (!signFile.Commit()) {
    ctx.Show(Format(kMsgWriteOutputFailed, tempSignPath.c_str()));
    return false;
  }
  return CommitImageAndSignFile(ctx, image, outputPath, tempSignPath);
}

}  // namespace tarnel
