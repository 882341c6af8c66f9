#include "signing/section_signer.h"

#include <cstdio>
#include <new>
#include <utility>

#include "common/text.h"
#include "signing/sign_image.h"

namespace tarnel {

std::string SignFilePathFor(const std::string& outputImagePath) {
  const size_t keep = outputImagePath.size() >= 4 ? outputImagePath.size() - 4 : 0;
  return outputImagePath.substr(0, keep) + "_Sign.img";
}

uint32_t SectionCountFor(uint64_t length) { return static_cast<uint32_t>((length + kSectionSize - 1) / kSectionSize); }

bool SectionedSourceLongEnough(uint64_t length) {
  // The length with bit 0 cleared must reach 2 MiB.
  return (length & ~uint64_t{1}) >= kMinSectionedSource;
}

bool AllocateOrShow(SigningContext& ctx, std::vector<uint8_t>& buffer, size_t n, const char* message) {
  try {
    buffer.assign(n, 0);
  } catch (const std::bad_alloc&) {
    ctx.Show(message);
    return false;
  }
  return true;
}

bool CopyImageFile(SigningContext& ctx, InFile& source, uint64_t length, const std::string& sourcePath,
                   OutFile& output, const std::string& outputPath, const char* createFailedMessage,
                   const char* mallocMessage, bool stepWhenStarted) {
  if (!output.Create(outputPath)) {
    ctx.Show(Format(createFailedMessage, outputPath.c_str()));
    return false;
  }
  std::vector<uint8_t> buffer;
  if (!AllocateOrShow(ctx, buffer, kSectionSize, mallocMessage)) return false;
  if (stepWhenStarted) ctx.StepDone();
  uint64_t copied = 0;
  for (;;) {
    const size_t n = source.Read(buffer.data(), buffer.size());
    if (n == 0) break;
    copied += n;
    if (!output.Write(buffer.data(), n)) {
      ctx.Show(Format(kMsgWriteOutputFailed, outputPath.c_str()));
      return false;
    }
  }
  if (std::ferror(source.Get()) != 0 || copied != length) {
    ctx.Show(Format(kMsgReadSourceFailed, sourcePath.c_str()));
    return false;
  }
  return true;
}

bool CommitImageAndSignFile(SigningContext& ctx, OutFile& image, const std::string& imagePath,
                            const std::string& tempSignPath) {
  const std::string signPath = SignFilePathFor(imagePath);
  OutFile signFile;
  if (!SignImageFileInto(ctx, signFile, signPath, tempSignPath)) return false;
  if (!CommitPair(image, signFile)) {
    ctx.Show(Format(kMsgWriteOutputFailed, imagePath.c_str()));
    return false;
  }
  return true;
}

SectionSigner::SectionSigner(SigningContext& ctx, const Stamps& stamps, std::string imagePath,
                             uint32_t sectionCount, OutFile& signFile, OutFile* dataFile)
    : ctx_(ctx),
      stamps_(stamps),
      imagePath_(std::move(imagePath)),
      count_(sectionCount),
      signFile_(signFile),
      dataFile_(dataFile) {}

bool SectionSigner::Begin() {
  if (!AllocateOrShow(ctx_, buffer_, kSectionSize, kMsgMallocFilebuffer)) return false;
  if (signFile_.Written() != 0 || !signFile_.WriteFill(0, uint64_t{count_} * kSignatureBlockSize)) {
    ctx_.Show(Format(kMsgWriteOutputFailed, signFile_.Path().c_str()));
    return false;
  }
  return true;
}

uint8_t* SectionSigner::Room(size_t& n) {
  n = done_ < count_ ? buffer_.size() - fill_ : 0;
  return buffer_.data() + fill_;
}

bool SectionSigner::Filled(size_t n) {
  if (done_ >= count_ || n > buffer_.size() - fill_) return false;
  fill_ += n;
  seen_ += n;
  if (fill_ == buffer_.size()) return SignCurrent();
  return true;
}

bool SectionSigner::Finish() {
  if (fill_ > 0 && !SignCurrent()) return false;
  return done_ == count_;
}

bool SectionSigner::SignCurrent() {
  const auto length = static_cast<uint32_t>(fill_);
  if (dataFile_ != nullptr && !dataFile_->Write(buffer_.data(), fill_)) {
    ctx_.Show(Format(kMsgWriteOutputFailed, dataFile_->Path().c_str()));
    return false;
  }
  if (!SignSection(ctx_, stamps_, buffer_.data(), length, imagePath_, done_, count_, block_)) return false;
  if (!signFile_.WriteAt(uint64_t{done_} * kSignatureBlockSize, block_.data(), block_.size())) {
    ctx_.Show(Format(kMsgWriteOutputFailed, signFile_.Path().c_str()));
    return false;
  }
  ++done_;
  fill_ = 0;
  return true;
}

}  // namespace tarnel
