#include "signing/section_signer.h"

#include <cstdio>
#include <exception>
#include <new>
#include <utility>

#include "common/stream.h"
#include "common/text.h"
#include "signing/sign_image.h"
#include "signing/messages.h"

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

bool CopyImageFile(RunServices& ctx, InFile& source, uint64_t length, const std::string& sourcePath,
                   OutFile& output, const std::string& outputPath, const char* createFailedMessage,
                   const char* mallocMessage, bool stepWhenStarted) {
  if (!output.Create(outputPath)) {
    ctx.Show(Format(createFailedMessage, outputPath.c_str()));
    return false;
  }
  if (stepWhenStarted) ctx.StepDone();
  StreamStages stages;
  ReadFrom(source, stages);
  stages.write = WriteStage(output);
  stages.progress = ctx.StepProgressOf(length);
  const StreamMessages messages{kMsgReadSourceFailed, kMsgReadSourceFailed, kMsgWriteOutputFailed, mallocMessage};
  const std::string failure =
      StreamFailureMessage(StreamThrough(length, stages), messages, sourcePath, outputPath);
  if (!failure.empty()) {
    ctx.Show(failure);
    return false;
  }
  return true;
}

bool CommitImageAndSignFile(RunServices& ctx, OutFile& image, const std::string& imagePath,
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

SectionSigner::SectionSigner(RunServices& ctx, const Stamps& stamps, std::string imagePath,
                             uint32_t sectionCount, OutFile& signFile, OutFile* dataFile)
    : ctx_(ctx),
      stamps_(stamps),
      imagePath_(std::move(imagePath)),
      keyPath_(ctx.KeysFile()),
      count_(sectionCount),
      signFile_(signFile),
      dataFile_(dataFile) {}

void SectionSigner::Show(const std::string& message) {
  shown_ = true;
  ctx_.Show(message);
}

SectionSigner::~SectionSigner() {
  writer_.reset();
  pool_.reset();
}

bool SectionSigner::Begin() {
  signer_ = &RunSigner(ctx_);
  const unsigned threads = WorkerThreads();
  try {
    pool_ = std::make_unique<TaskPool>(threads);
    if (dataFile_ != nullptr) writer_ = std::make_unique<TaskPool>(1, /*ownThread=*/true);
    current_ = std::make_unique<Job>();
    current_->data.assign(kSectionSize, 0);
  } catch (const std::exception&) {
    Show(kMsgMallocFilebuffer);
    return false;
  }
  inFlightMax_ = 2 * size_t{threads};
  if (signFile_.Written() != 0 || !signFile_.WriteFill(0, uint64_t{count_} * kSignatureBlockSize)) {
    Show(Format(kMsgWriteOutputFailed, signFile_.Path().c_str()));
    return false;
  }
  return true;
}

uint8_t* SectionSigner::Room(size_t& n) {
  if (!current_ || submitted_ >= count_) {
    n = 0;
    return nullptr;
  }
  n = kSectionSize - fill_;
  return current_->data.data() + fill_;
}

bool SectionSigner::Filled(size_t n) {
  if (!current_ || submitted_ >= count_ || n > kSectionSize - fill_) return false;
  fill_ += n;
  seen_ += n;
  if (fill_ == kSectionSize) {
    if (!SubmitCurrent()) return false;
    ctx_.StepProgress(seen_, uint64_t{count_} * kSectionSize);
  }
  return true;
}

bool SectionSigner::Finish() {
  if (fill_ > 0 && !SubmitCurrent()) return false;
  while (!inFlight_.empty())
    if (!CollectOldest()) return false;
  if (done_ != count_) return false;
  ctx_.StepProgress(seen_, seen_);
  return true;
}

// Runs on a worker thread: the digest here, the signature through the run's
// signer, which takes one call at a time.
void SectionSigner::Sign(Job& job) const {
  const auto length = static_cast<uint32_t>(job.data.size());
  uint8_t digest[kDigestSize];
  uint8_t signature[kSignatureSize];
  if (!Sha256(job.data.data(), length, digest)) return;
  if (!signer_->Sign(KeyRole::External, digest, signature, job.error)) return;
  SignedImageHeader header = NewSignedHeader(stamps_, length, job.index, kSectionSize, count_);
  SetHeaderSignature(header, digest, signature, imagePath_, keyPath_);
  EncodeSignatureBlock(header, job.block);
  job.ok = true;
}

bool SectionSigner::SubmitCurrent() {
  std::unique_ptr<Job> job = std::move(current_);
  job->data.resize(fill_);
  job->index = submitted_;
  Job* raw = job.get();
  try {
    // Owned by the queue before any task may touch it.
    inFlight_.push_back(std::move(job));
    // The bytes go to the data file while they are hashed.
    if (writer_) {
      raw->written = writer_->Submit([this, raw] {
        raw->writeOk = dataFile_->Write(raw->data.data(), raw->data.size()) && dataFile_->StartWriteback();
      });
    }
    raw->done = pool_->Submit([this, raw] { Sign(*raw); });
  } catch (const std::exception&) {
    Show(kMsgMallocFilebuffer);
    return false;
  }
  ++submitted_;
  fill_ = 0;
  while (inFlight_.size() >= inFlightMax_)
    if (!CollectOldest()) return false;
  if (submitted_ < count_) {
    try {
      current_ = std::make_unique<Job>();
      current_->data.assign(kSectionSize, 0);
    } catch (const std::exception&) {
      Show(kMsgMallocFilebuffer);
      return false;
    }
  }
  return true;
}

bool SectionSigner::CollectOldest() {
  std::unique_ptr<Job> job = std::move(inFlight_.front());
  inFlight_.pop_front();
  if (job->done.valid()) job->done.wait();
  if (job->written.valid()) job->written.wait();
  if (!job->writeOk) {
    Show(Format(kMsgWriteOutputFailed, dataFile_->Path().c_str()));
    return false;
  }
  if (!job->ok) {
    shown_ = true;
    return ShowSignError(ctx_, job->error, kMsgReadMpiFailed, kMsgMakeSignFailed);
  }
  if (!signFile_.WriteAt(uint64_t{job->index} * kSignatureBlockSize, job->block.data(), job->block.size())) {
    Show(Format(kMsgWriteOutputFailed, signFile_.Path().c_str()));
    return false;
  }
  ++done_;
  return true;
}

}  // namespace tarnel
