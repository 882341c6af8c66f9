#include "package/block_deflate.h"

#include <zlib.h>

#include <algorithm>
#include <exception>

namespace tarnel {

namespace {

// A raw deflate stream at the default level, released on every path.
class Deflater {
 public:
  Deflater() = default;
  ~Deflater() {
    if (ready_) deflateEnd(&zs_);
  }
  Deflater(const Deflater&) = delete;
  Deflater& operator=(const Deflater&) = delete;
  [[nodiscard]] bool Init() {
    ready_ = deflateInit2(&zs_, Z_DEFAULT_COMPRESSION, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY) == Z_OK;
    return ready_;
  }
  z_stream& Stream() { return zs_; }

 private:
  z_stream zs_{};
  bool ready_ = false;
};

}  // namespace

struct BlockDeflater::Job {
  std::vector<uint8_t> input;
  std::vector<uint8_t> dictionary;
  bool last = false;
  std::vector<uint8_t> output;
  bool ok = false;
  std::future<void> done;
};

namespace {

bool CompressBlock(std::vector<uint8_t>& input, std::vector<uint8_t>& dictionary, bool last,
                   std::vector<uint8_t>& output) {
  Deflater deflater;
  if (!deflater.Init()) return false;
  z_stream& zs = deflater.Stream();
  if (!dictionary.empty() &&
      deflateSetDictionary(&zs, dictionary.data(), static_cast<uInt>(dictionary.size())) != Z_OK)
    return false;
  // The bound, plus the empty stored block of the sync flush.
  output.resize(deflateBound(&zs, static_cast<uLong>(input.size())) + 16);
  zs.next_in = input.data();
  zs.avail_in = static_cast<uInt>(input.size());
  const int flush = last ? Z_FINISH : Z_SYNC_FLUSH;
  size_t produced = 0;
  for (;;) {
    zs.next_out = output.data() + produced;
    zs.avail_out = static_cast<uInt>(output.size() - produced);
    const int rc = deflate(&zs, flush);
    if (rc == Z_STREAM_ERROR) return false;
    produced = output.size() - zs.avail_out;
    const bool finished = last ? rc == Z_STREAM_END : (zs.avail_out != 0 && zs.avail_in == 0);
    if (finished) break;
    output.resize(output.size() + BlockDeflater::kBlock);
  }
  output.resize(produced);
  return true;
}

}  // namespace

BlockDeflater::BlockDeflater(std::function<bool(const uint8_t*, size_t)> emit) : emit_(std::move(emit)) {
  const unsigned threads = WorkerThreads();
  inFlightMax_ = 2 * size_t{threads} + 1;
  pool_ = std::make_unique<TaskPool>(threads);
  crc_ = crc32(0L, Z_NULL, 0);
  pending_.reserve(kBlock);
}

BlockDeflater::~BlockDeflater() { pool_.reset(); }

bool BlockDeflater::EmitFront() {
  Job& next = *inFlight_.front();
  next.done.get();
  const bool ok = next.ok && emit_(next.output.data(), next.output.size());
  inFlight_.pop_front();
  return ok;
}

bool BlockDeflater::Submit(bool last) {
  try {
    while (inFlight_.size() >= inFlightMax_) {
      if (!EmitFront()) return false;
    }
    auto job = std::make_unique<Job>();
    job->input.swap(pending_);
    job->dictionary = window_;
    job->last = last;
    const size_t keep = std::min(job->input.size(), kWindow);
    window_.assign(job->input.end() - static_cast<std::ptrdiff_t>(keep), job->input.end());
    pending_.clear();
    pending_.reserve(kBlock);
    Job* raw = job.get();
    job->done = pool_->Submit([raw] { raw->ok = CompressBlock(raw->input, raw->dictionary, raw->last, raw->output); });
    inFlight_.push_back(std::move(job));
  } catch (const std::exception&) {  // a buffer that could not be had
    return false;
  }
  return true;
}

bool BlockDeflater::Push(const uint8_t* data, size_t n) {
  if (failed_) return false;
  crc_ = crc32(crc_, data, static_cast<uInt>(n));
  length_ += n;
  while (n > 0) {
    // A full block goes only once more data follows: the last block is the
    // one that ends the stream.
    if (pending_.size() == kBlock && !Submit(false)) {
      failed_ = true;
      return false;
    }
    const size_t take = std::min(n, kBlock - pending_.size());
    pending_.insert(pending_.end(), data, data + take);
    data += take;
    n -= take;
  }
  return true;
}

bool BlockDeflater::Finish() {
  if (failed_ || !Submit(true)) return false;
  try {
    while (!inFlight_.empty()) {
      if (!EmitFront()) return false;
    }
  } catch (const std::exception&) {
    return false;
  }
  return true;
}

}  // namespace tarnel
