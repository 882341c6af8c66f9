#include "signing/sign_image.h"

#include <new>
#include <vector>

#include "common/files.h"
#include "common/text.h"

namespace tarnel {

PKey LoadSigningKey(SigningContext& ctx) {
  const std::string& keyPath = ctx.App().m_strKeysFile;
  KeyLoad status = KeyLoad::Ok;
  PKey key = LoadRsaPrivateKey(keyPath, &status);
  switch (status) {
    case KeyLoad::Ok:
      break;
    case KeyLoad::OpenFailed:
      ctx.Show(Format(kMsgOpenRsaKeyFailed, keyPath.c_str()));
      break;
    case KeyLoad::ReadFailed:
      ctx.Show(kMsgReadMpiFailed);
      break;
    case KeyLoad::BuildFailed:
      ctx.Show(kMsgMakeSignFailed);
      break;
  }
  return key;
}

bool SignSection(SigningContext& ctx, EVP_PKEY* key, const Stamps& stamps, const uint8_t* data, uint32_t length,
                 const std::string& imagePath, uint32_t sectionIndex, uint32_t sectionCount, SignatureBlock& block) {
  SignedImageHeader header = NewSignedHeader(stamps, length, sectionIndex, kSectionSize, sectionCount);
  uint8_t digest[kDigestSize];
  uint8_t signature[kSignatureSize];
  if (!Sha256(data, length, digest) || SignDigest(key, digest, signature) != 0) {
    ctx.Show(kMsgMakeSignFailed);
    return false;
  }
  SetHeaderSignature(header, digest, signature, imagePath, ctx.App().m_strKeysFile);
  EncodeSignatureBlock(header, block);
  return true;
}

bool OpenSourceImage(SigningContext& ctx, InFile& source, const std::string& sourcePath, uint64_t& length) {
  if (!source.Open(sourcePath)) {
    ctx.Show(Format(kMsgOpenFileFailed, sourcePath.c_str()));
    return false;
  }
  length = source.Size();
  if (length > kMaxImageLength) {
    ctx.Show(Format(kMsgFileTooLarge, sourcePath.c_str()));
    return false;
  }
  return true;
}

bool SignImageFile(SigningContext& ctx, const std::string& outputPath, const std::string& sourcePath) {
  OutFile output;
  if (!SignImageFileInto(ctx, output, outputPath, sourcePath)) return false;
  if (!output.Commit()) {
    ctx.Show(Format(kMsgWriteOutputFailed, outputPath.c_str()));
    return false;
  }
  return true;
}

bool SignImageFileInto(SigningContext& ctx, OutFile& output, const std::string& outputPath,
                       const std::string& sourcePath) {
  const Stamps stamps = TakeStamps();

  InFile source;
  uint64_t length = 0;
  if (!OpenSourceImage(ctx, source, sourcePath, length)) return false;
  const auto length32 = static_cast<uint32_t>(length);

  PKey key = LoadSigningKey(ctx);
  if (!key) return false;

  // One pass over the source: every piece is hashed and copied, so an image
  // is read once and never held whole. The output stays a temporary file
  // until the signature block is written.
  if (!output.Create(outputPath)) {
    ctx.Show(Format(kMsgCreateOutputFailed, outputPath.c_str()));
    return false;
  }
  std::unique_ptr<HashContext> hash;
  if (CA_common_InitHASH(hash) != 0) {
    ctx.Show(Format(kMsgHashFailed, sourcePath.c_str()));
    return false;
  }
  std::vector<uint8_t> buffer;
  try {
    buffer.resize(kWholeImagePiece);
  } catch (const std::bad_alloc&) {
    ctx.Show(kMsgMallocFileData);
    return false;
  }
  uint64_t copied = 0;
  for (;;) {
    const size_t n = source.Read(buffer.data(), buffer.size());
    if (n == 0) break;
    copied += n;
    if (CA_common_UpdateHASH(*hash, buffer.data(), n) != 0) {
      ctx.Show(Format(kMsgHashFailed, sourcePath.c_str()));
      return false;
    }
    if (!output.Write(buffer.data(), n)) {
      ctx.Show(Format(kMsgWriteOutputFailed, outputPath.c_str()));
      return false;
    }
  }
  if (std::ferror(source.Get()) != 0 || copied != length) {
    ctx.Show(Format(kMsgReadSourceFailed, sourcePath.c_str()));
    return false;
  }
  source.Close();

  uint8_t digest[kDigestSize];
  uint8_t signature[kSignatureSize];
  if (CA_common_FinalHASH(digest, hash) != 0) {
    ctx.Show(Format(kMsgHashFailed, sourcePath.c_str()));
    return false;
  }
  if (SignDigest(key.get(), digest, signature) != 0) {
    ctx.Show(kMsgMakeSignFailed);
    return false;
  }
  SignedImageHeader header = NewSignedHeader(stamps, length32, 0, 0, 1);
  SetHeaderSignature(header, digest, signature, sourcePath, ctx.App().m_strKeysFile);
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
