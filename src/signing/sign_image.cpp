#include "signing/sign_image.h"

#include <new>
#include <vector>

#include "common/files.h"
#include "common/platform.h"
#include "common/stream.h"
#include "common/text.h"
#include "signing/messages.h"

namespace tarnel {

Signer& RunSigner(RunServices& ctx) {
  if (!ctx.signer) {
    std::string error;
    ctx.signer = MakeSigner(kSignerKeyList, ctx.Keys(), ctx.TempDir(), nullptr, error);
  }
  return *ctx.signer;
}

bool OpenRunSigner(RunServices& ctx) {
  if (!ctx.signer) {
    std::string error;
    std::unique_ptr<Signer> signer =
        MakeSigner(ctx.signerSpec, ctx.Keys(), ctx.TempDir(), ctx.pinSource, error);
    if (!signer) {
      ctx.Show(error);
      return false;
    }
    ctx.signer = std::move(signer);
    // The token or helper holds the private keys: the key list's copies go now.
    if (!SignerUsesKeyList(ctx.signerSpec)) WipePrivateKeyLines(ctx.Keys());
  }
  SignError error;
  if (!ctx.signer->Open(error)) {
    ctx.Show(error.message);
    return false;
  }
  return true;
}

bool ShowSignError(RunServices& ctx, const SignError& error, const char* linesMissingMessage,
                   const char* signFailedMessage) {
  if (!error.message.empty()) ctx.Show(error.message);
  const char* text = error.fault == SignFault::KeyLinesMissing ? linesMissingMessage : signFailedMessage;
  if (error.placeholderLines.empty()) {
    ctx.Show(text);
  } else {
    ctx.ShowDetail(text, ctx.KeysFile() + ": " + Format(kMsgPlaceholderLines, error.placeholderLines.c_str()));
  }
  return false;
}

bool CheckSigningKey(RunServices& ctx) {
  SignError error;
  if (RunSigner(ctx).CheckKey(KeyRole::External, error)) return true;
  return ShowSignError(ctx, error, kMsgReadMpiFailed, kMsgMakeSignFailed);
}

bool SignWithRunSigner(RunServices& ctx, KeyRole role, const uint8_t* digest32, uint8_t* signature256,
                       const char* linesMissingMessage, const char* signFailedMessage) {
  SignError error;
  if (RunSigner(ctx).Sign(role, digest32, signature256, error)) return true;
  return ShowSignError(ctx, error, linesMissingMessage, signFailedMessage);
}

bool OpenSourceImage(RunServices& ctx, InFile& source, const std::string& sourcePath, uint64_t& length) {
  if (!source.Open(sourcePath)) {
    const std::string why = WhyUnreadable(sourcePath);
    ctx.ShowDetail(Format(kMsgOpenFileFailed, sourcePath.c_str()),
                   sourcePath + ": " + (why.empty() ? "cannot be opened" : why));
    return false;
  }
  length = source.Size();
  if (length > kMaxImageLength) {
    ctx.Show(Format(kMsgFileTooLarge, sourcePath.c_str()));
    return false;
  }
  return true;
}

bool SignImageFile(RunServices& ctx, const std::string& outputPath, const std::string& sourcePath) {
  OutFile output;
  if (!SignImageFileInto(ctx, output, outputPath, sourcePath)) return false;
  if (!output.Commit()) {
    ctx.Show(Format(kMsgWriteOutputFailed, outputPath.c_str()));
    return false;
  }
  return true;
}

bool SignImageFileInto(RunServices& ctx, OutFile& output, const std::string& outputPath,
                       const std::string& sourcePath) {
  const Stamps stamps = TakeStamps();

  InFile source;
  uint64_t length = 0;
  if (!OpenSourceImage(ctx, source, sourcePath, length)) return false;
  const auto length32 = static_cast<uint32_t>(length);

  if (!CheckSigningKey(ctx)) return false;

  // One pass over the source: every piece is hashed and copied, so an image
  // is read once and never held whole. The output stays a temporary file
  // until the signature block is written.
  if (!output.Create(outputPath)) {
    ctx.Show(Format(kMsgCreateOutputFailed, outputPath.c_str()));
    return false;
  }
  Sha256Stream hash;
  if (!hash.Begin()) {
    ctx.Show(Format(kMsgHashFailed, sourcePath.c_str()));
    return false;
  }
  // Read, hash and write at the same time; the hash sees the pieces in order.
  StreamStages stages;
  ReadFrom(source, stages);
  stages.compute = [&hash](const uint8_t* data, size_t n) { return hash.Update(data, n); };
  stages.write = WriteStage(output);
  stages.progress = ctx.StepProgressOf(length);
  // The image is what its length said when it was opened: one that grew
  // since is refused as unreadable.
  const StreamMessages messages{kMsgReadSourceFailed, kMsgHashFailed, kMsgWriteOutputFailed, kMsgMallocFileData};
  const std::string failure = StreamFailureMessage(StreamThrough(length, stages), messages, sourcePath, outputPath);
  if (!failure.empty()) {
    ctx.Show(failure);
    return false;
  }
  source.Close();

  uint8_t digest[kDigestSize];
  uint8_t signature[kSignatureSize];
  if (!hash.Final(digest)) {
    ctx.Show(Format(kMsgHashFailed, sourcePath.c_str()));
    return false;
  }
  if (!SignWithRunSigner(ctx, KeyRole::External, digest, signature, kMsgReadMpiFailed, kMsgMakeSignFailed))
    return false;
  SignedImageHeader header = NewSignedHeader(stamps, length32, 0, 0, 1);
  SetHeaderSignature(header, digest, signature, sourcePath, ctx.KeysFile());
  SignatureBlock block;
  EncodeSignatureBlock(header, block);

  const uint64_t remainder = length % kSignatureBlockSize;
  const uint64_t fill = remainder == 0 ? 0 : kSignatureBlockSize - remainder;
  if (!output.WriteFill(0xFF, fill) || !output.Write(block.data(), block.size())) {
    ctx.Show(Format(kMsgWriteOutputFailed, outputPath.c_str()));
    return false;
  }
  return true;
}

}  // namespace tarnel
