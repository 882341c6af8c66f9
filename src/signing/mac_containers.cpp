// First-generation containers: AES-128 CBC-MAC under the image MAC key.
#include "signing/mac_containers.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>

#include <array>
#include <functional>
#include <utility>
#include <new>
#include <vector>

#include "common/files.h"
#include "common/platform.h"
#include "common/stream.h"
#include "common/text.h"
#include "signing/crypto.h"
#include "signing/image_headers.h"
#include "signing/messages.h"

namespace tarnel {

namespace {


// Ciphertext passes through this many bytes at a time; only its last block is kept.
constexpr size_t kMacWorkBytes = 4096;
// Length of one key record; the key partition header counts them.
constexpr uint64_t kKeyRecordBytes = 36;

}  // namespace

struct CbcMac::Impl {
  std::unique_ptr<EVP_CIPHER, CipherFree> cipher;
  std::unique_ptr<EVP_CIPHER_CTX, CipherCtxFree> ctx;
  std::array<uint8_t, kMacSize> last{};
  std::array<uint8_t, kMacWorkBytes + kMacSize> work{};
  uint64_t fed = 0;
  bool haveBlock = false;
  bool ok = false;

  ~Impl() {
    OPENSSL_cleanse(last.data(), last.size());
    OPENSSL_cleanse(work.data(), work.size());
  }
};

CbcMac::CbcMac(const Key128& key) : impl_(std::make_unique<Impl>()) {
  static constexpr uint8_t kZeroIv[16] = {};
  impl_->cipher.reset(EVP_CIPHER_fetch(nullptr, "AES-128-CBC", nullptr));
  impl_->ctx.reset(EVP_CIPHER_CTX_new());
  if (!impl_->cipher || !impl_->ctx) return;
  if (EVP_EncryptInit_ex2(impl_->ctx.get(), impl_->cipher.get(), key.data(), kZeroIv, nullptr) != 1) return;
  if (EVP_CIPHER_CTX_set_padding(impl_->ctx.get(), 0) != 1) return;
  impl_->ok = true;
}

CbcMac::~CbcMac() = default;

uint64_t CbcMac::Fed() const { return impl_->fed; }

bool CbcMac::Update(const uint8_t* data, size_t n) {
  Impl& m = *impl_;
  if (!m.ok) return false;
  while (n > 0) {
    const size_t piece = n < kMacWorkBytes ? n : kMacWorkBytes;
    int outLen = 0;
    if (EVP_EncryptUpdate(m.ctx.get(), m.work.data(), &outLen, data, static_cast<int>(piece)) != 1 || outLen < 0) {
      m.ok = false;
      return false;
    }
    if (outLen >= static_cast<int>(kMacSize)) {
      const size_t end = static_cast<size_t>(outLen);
      for (size_t i = 0; i < kMacSize; ++i) m.last[i] = m.work[end - kMacSize + i];
      m.haveBlock = true;
    }
    m.fed += piece;
    data += piece;
    n -= piece;
  }
  return true;
}

bool CbcMac::Final(uint8_t* mac16) {
  Impl& m = *impl_;
  if (!m.ok) return false;
  m.ok = false;  // spent, whatever happens below
  int outLen = 0;
  // With padding off this fails when the total is not a whole number of blocks.
  if (EVP_EncryptFinal_ex(m.ctx.get(), m.work.data(), &outLen) != 1 || outLen != 0) return false;
  if (!m.haveBlock || m.fed % kMacSize != 0) return false;
  for (size_t i = 0; i < kMacSize; ++i) mac16[i] = m.last[i];
  return true;
}

bool ComputeCbcMac(const Key128& key, const uint8_t* data, size_t n, uint8_t* mac16) {
  if (n == 0 || n % kMacSize != 0) return false;
  CbcMac mac(key);
  return mac.Update(data, n) && mac.Final(mac16);
}

namespace {

constexpr uint64_t kWholeRange = ~uint64_t{0};
constexpr size_t kCopyPiece = 64 * 1024;

uint64_t RoundUp(uint64_t value, uint64_t unit) { return (value + unit - 1) / unit * unit; }

// One MAC per run of `chunkSize` bytes of the covered range (a single MAC
// when the chunk size is kWholeRange); every chunk starts from a zero IV.
class ChunkMacs {
 public:
  ChunkMacs(const Key128& key, uint64_t chunkSize) : key_(key), chunkSize_(chunkSize) {}
  ~ChunkMacs() {
    if (!table_.empty()) OPENSSL_cleanse(table_.data(), table_.size());
  }
  ChunkMacs(const ChunkMacs&) = delete;
  ChunkMacs& operator=(const ChunkMacs&) = delete;

  [[nodiscard]] bool Feed(const uint8_t* data, size_t n) {
    while (n > 0) {
      if (!current_) current_ = std::make_unique<CbcMac>(key_);
      const uint64_t room = chunkSize_ - current_->Fed();
      const size_t piece = room < n ? static_cast<size_t>(room) : n;
      if (!current_->Update(data, piece)) return false;
      data += piece;
      n -= piece;
      if (current_->Fed() == chunkSize_ && !Close()) return false;
    }
    return true;
  }
  // Ends the last, possibly short, chunk.
  [[nodiscard]] bool Finish() { return !current_ || Close(); }
  [[nodiscard]] size_t Count() const { return table_.size() / kMacSize; }
  [[nodiscard]] const std::vector<uint8_t>& Table() const { return table_; }

 private:
  [[nodiscard]] bool Close() {
    uint8_t mac[kMacSize];
    const bool ok = current_->Final(mac);
    current_.reset();
    if (ok) table_.insert(table_.end(), mac, mac + kMacSize);
    return ok;
  }

  const Key128& key_;
  uint64_t chunkSize_;
  std::unique_ptr<CbcMac> current_;
  std::vector<uint8_t> table_;
};

// Writes the output and feeds the bytes the MACs cover; the first failure
// is kept as a stream status.
class Emitter {
 public:
  explicit Emitter(OutFile& out) : out_(out) {}
  void Cover(ChunkMacs* macs) { macs_ = macs; }
  // Told how far a copy has come.
  void Progress(std::function<void(uint64_t)> progress) { progress_ = std::move(progress); }

  [[nodiscard]] bool Put(const uint8_t* data, size_t n) {
    if (!out_.Write(data, n)) return Fail(StreamStatus::WriteFailed);
    return macs_ == nullptr || macs_->Feed(data, n) || Fail(StreamStatus::ComputeFailed);
  }
  [[nodiscard]] bool FillFF(uint64_t count) {
    static const std::vector<uint8_t> kFF(kCopyPiece, 0xFF);
    while (count > 0) {
      const size_t n = count < kCopyPiece ? static_cast<size_t>(count) : kCopyPiece;
      if (!Put(kFF.data(), n)) return false;
      count -= n;
    }
    return true;
  }
  // Copies exactly `length` bytes of the source, which must end there:
  // reading, MACing and writing at the same time.
  [[nodiscard]] bool Copy(InFile& in, uint64_t length) {
    StreamStages stages;
    ReadFrom(in, stages);
    if (macs_ != nullptr) stages.compute = [this](const uint8_t* data, size_t n) { return macs_->Feed(data, n); };
    stages.write = WriteStage(out_);
    stages.progress = progress_;
    const StreamStatus status = StreamThrough(length, stages);
    return status == StreamStatus::Ok || Fail(status);
  }
  // What went wrong; a failure that was none of the stream's (the MACs did
  // not come out) counts as the MAC's.
  [[nodiscard]] StreamStatus Failure() const {
    return status_ == StreamStatus::Ok ? StreamStatus::ComputeFailed : status_;
  }

 private:
  bool Fail(StreamStatus status) {
    if (status_ == StreamStatus::Ok) status_ = status;
    return false;
  }

  OutFile& out_;
  ChunkMacs* macs_ = nullptr;
  std::function<void(uint64_t)> progress_;
  StreamStatus status_ = StreamStatus::Ok;
};

// Source checked, opened, output started: the steps every container begins with.
bool OpenEnds(RunServices& ctx, const std::string& sourcePath, const std::string& outputPath, InFile& in,
              OutFile& out) {
  if (!IsRegularFile(sourcePath)) {
    ctx.Show(kMsgMacSourceNotFound);
    return false;
  }
  if (!in.Open(sourcePath)) {
    ctx.Show(kMsgMacOpenSourceFailed);
    return false;
  }
  if (!out.Create(outputPath)) {
    ctx.Show(kMsgMacCreateDestinationFailed);
    return false;
  }
  return true;
}

// The page holds the header and the MAC; blocks are whole pages.
bool CheckGeometry(RunServices& ctx, const std::string& sourcePath, uint32_t pageSize, uint32_t blockSize,
                   size_t headerSize) {
  if (blockSize == 0) {
    ctx.Show(kMsgBlockSizeZero);
    return false;
  }
  if (pageSize == 0 || pageSize % kMacSize != 0 || pageSize < headerSize) {
    ctx.Show(Format(kMsgMacBadPageSize, pageSize, sourcePath.c_str(), static_cast<unsigned>(headerSize)));
    return false;
  }
  if (blockSize % pageSize != 0) {
    ctx.Show(Format(kMsgMacBadBlockSize, blockSize, sourcePath.c_str(), pageSize));
    return false;
  }
  return true;
}

// The one message for a failure while streaming; a MAC that could not be
// had (the cipher could not be set up) is a memory failure.
bool StreamFailed(RunServices& ctx, const Emitter& emit, const std::string& sourcePath,
                  const std::string& outputPath) {
  static constexpr StreamMessages kMessages{kMsgMacReadFailed, kMsgMallocFailed, kMsgMacWriteFailed,
                                            kMsgMallocFailed};
  ctx.Show(StreamFailureMessage(emit.Failure(), kMessages, sourcePath, outputPath));
  return false;
}

// `memory` (when given) stands for the source file: its bytes come from there
// and `sourcePath` only names it in messages.
struct MemorySource {
  const uint8_t* data;
  size_t size;
};

bool SealSingle(RunServices& ctx, const FlashGeometry& geometry, const Key128& key, const std::string& outputPath,
                const std::string& sourcePath, bool keyPartition, const MemorySource* memory = nullptr) {
  const uint32_t pageSize = geometry.pageSize;
  const uint32_t blockSize = geometry.blockSize;
  InFile in;
  OutFile out;
  if (memory == nullptr) {
    if (!OpenEnds(ctx, sourcePath, outputPath, in, out)) return false;
  } else if (!out.Create(outputPath)) {
    ctx.Show(kMsgMacCreateDestinationFailed);
    return false;
  }
  const size_t headerSize = keyPartition ? kMacKeyPartHeaderSize : kMacImageHeaderSize;
  if (!CheckGeometry(ctx, sourcePath, pageSize, blockSize, headerSize)) return false;

  const uint64_t p = pageSize;
  const uint64_t length = memory == nullptr ? in.Size() : memory->size;
  if (length > kMaxImageLength) {
    ctx.Show(Format(kMsgMacTooLarge, sourcePath.c_str()));
    return false;
  }
  const uint64_t data = RoundUp(length, p);
  const uint64_t r = (data + 2 * p) % blockSize;
  const uint64_t pad = r > 0 ? blockSize - r : 0;
  const uint64_t total = data + 2 * p + pad;
  if (total > kMaxImageLength) {
    ctx.Show(Format(kMsgMacTooLarge, sourcePath.c_str()));
    return false;
  }

  MacImageHeader header;
  header.size = headerSize;
  header.pageSize = pageSize;
  header.blockSize = blockSize;
  header.spareSize = geometry.spareSize;
  header.totalLength = static_cast<uint32_t>(total);
  header.pageEcho = pageSize;
  header.sourceLength = static_cast<uint32_t>(length);
  header.coveredLength = static_cast<uint32_t>(p + data);
  header.dataLength = 0;
  header.coveredLength2 = static_cast<uint32_t>(p + data);
  if (keyPartition) {
    header.kindValue = static_cast<uint32_t>(length / kKeyRecordBytes);
    header.chunkCount = 1;
    header.chunkSize = blockSize / 2;
  } else {
    header.kindValue = kMacHeaderKind;
    header.chunkCount = 0;
    header.chunkSize = 0;
  }
  std::vector<uint8_t> headerBytes(headerSize);
  header.Encode(headerBytes.data());

  // Covered: header page and the data padded to whole pages.
  ChunkMacs macs(key, kWholeRange);
  Emitter emit(out);
  emit.Progress(ctx.StepProgressOf(length));
  emit.Cover(&macs);
  const auto copy = [&] { return memory == nullptr ? emit.Copy(in, length) : emit.Put(memory->data, memory->size); };
  if (!emit.Put(headerBytes.data(), headerBytes.size()) || !emit.FillFF(p - headerSize) || !copy() ||
      !emit.FillFF(data - length) || !macs.Finish() || macs.Count() != 1)
    return StreamFailed(ctx, emit, sourcePath, outputPath);
  emit.Cover(nullptr);
  // MAC page, then the block fill.
  if (!emit.Put(macs.Table().data(), kMacSize) || !emit.FillFF(p - kMacSize) || !emit.FillFF(pad))
    return StreamFailed(ctx, emit, sourcePath, outputPath);
  if (!out.Commit()) {
    ctx.Show(Format(kMsgMacWriteFailed, outputPath.c_str()));
    return false;
  }
  return true;
}

bool SealChunked(RunServices& ctx, const FlashGeometry& geometry, const Key128& key, const std::string& outputPath,
                 const std::string& sourcePath) {
  const uint32_t pageSize = geometry.pageSize;
  const uint32_t blockSize = geometry.blockSize;
  const uint32_t spareSize = geometry.spareSize;
  ctx.StepDone();
  InFile in;
  OutFile out;
  if (!OpenEnds(ctx, sourcePath, outputPath, in, out)) return false;
  if (!CheckGeometry(ctx, sourcePath, pageSize, blockSize, kMacImageHeaderSize)) return false;

  const uint64_t p = pageSize;
  const uint64_t length = in.Size();
  if (length > kMaxImageLength) {
    ctx.Show(Format(kMsgMacTooLarge, sourcePath.c_str()));
    return false;
  }
  const uint64_t data = RoundUp(length, blockSize);
  if (data < kMacChunkSize) {
    ctx.Show(kMsgSourceTooSmall);
    return false;
  }
  const uint64_t covered = p + data;
  const uint64_t chunks = RoundUp(covered, kMacChunkSize) / kMacChunkSize;
  const uint64_t tail = RoundUp(kMacSize * chunks + p, blockSize);
  const uint64_t total = data + tail;
  if (total > kMaxImageLength) {
    ctx.Show(Format(kMsgMacTooLarge, sourcePath.c_str()));
    return false;
  }

  MacImageHeader header;
  header.size = kMacImageHeaderSize;
  header.pageSize = pageSize;
  header.blockSize = blockSize;
  header.spareSize = spareSize;
  header.totalLength = static_cast<uint32_t>(total);
  header.pageEcho = 0;
  header.sourceLength = static_cast<uint32_t>(length);
  header.coveredLength = static_cast<uint32_t>(covered);
  header.kindValue = kMacHeaderKind;
  header.dataLength = static_cast<uint32_t>(data);
  header.coveredLength2 = static_cast<uint32_t>(covered);
  header.chunkCount = static_cast<uint32_t>(chunks);
  header.chunkSize = kMacChunkSize;
  uint8_t headerBytes[kMacImageHeaderSize];
  header.Encode(headerBytes);

  // Covered, 1 MiB per MAC: the data padded to whole blocks, then the header page.
  ChunkMacs macs(key, kMacChunkSize);
  Emitter emit(out);
  emit.Progress(ctx.StepProgressOf(length));
  emit.Cover(&macs);
  if (!emit.Copy(in, length) || !emit.FillFF(data - length) || !emit.Put(headerBytes, sizeof(headerBytes)) ||
      !emit.FillFF(p - kMacImageHeaderSize) || !macs.Finish() || macs.Count() != chunks)
    return StreamFailed(ctx, emit, sourcePath, outputPath);
  ctx.StepDone();
  emit.Cover(nullptr);
  if (!emit.Put(macs.Table().data(), macs.Table().size()) || !emit.FillFF(tail - p - macs.Table().size()))
    return StreamFailed(ctx, emit, sourcePath, outputPath);
  if (!out.Commit()) {
    ctx.Show(Format(kMsgMacWriteFailed, outputPath.c_str()));
    return false;
  }
  ctx.StepDone();
  return true;
}

// A buffer that cannot be had ends the container with the one message.
template <typename Fn>
bool GuardAlloc(RunServices& ctx, Fn&& fn) {
  try {
    return fn();
  } catch (const std::bad_alloc&) {
    ctx.Show(kMsgMallocFailed);
    return false;
  }
}

}  // namespace

bool SealRawImage(RunServices& ctx, const FlashGeometry& geometry, const Key128& key, const std::string& outputPath,
                  const std::string& sourcePath) {
  return GuardAlloc(ctx, [&] { return SealSingle(ctx, geometry, key, outputPath, sourcePath, /*keyPartition=*/false); });
}

bool SealKeyPartition(RunServices& ctx, const FlashGeometry& geometry, const Key128& key, const std::string& outputPath,
                      const std::string& sourcePath) {
  return GuardAlloc(ctx, [&] { return SealSingle(ctx, geometry, key, outputPath, sourcePath, /*keyPartition=*/true); });
}

bool SealKeyPartition(RunServices& ctx, const FlashGeometry& geometry, const Key128& key, const std::string& outputPath,
                      const uint8_t* records, size_t recordsSize) {
  const MemorySource memory{records, recordsSize};
  return GuardAlloc(ctx, [&] {
    return SealSingle(ctx, geometry, key, outputPath, outputPath, /*keyPartition=*/true, &memory);
  });
}

bool SealChunkedImage(RunServices& ctx, const FlashGeometry& geometry, const Key128& key, const std::string& outputPath,
                      const std::string& sourcePath) {
  return GuardAlloc(ctx, [&] { return SealChunked(ctx, geometry, key, outputPath, sourcePath); });
}

}  // namespace tarnel
