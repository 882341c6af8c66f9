// Raw deflate in independent blocks, so that the blocks can be compressed at
// the same time: each 128 KiB block starts with the 32 KiB of data before it
// as its dictionary and ends with a sync flush (the last one with the final
// block), which leaves it on a byte boundary; the blocks joined in order are
// one raw deflate stream. A block's bytes depend only on its data and its
// dictionary, so the stream is the same whatever the number of threads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <future>
#include <memory>
#include <vector>

#include "common/workers.h"

namespace tarnel {

class BlockDeflater {
 public:
  // `emit` takes the compressed stream in order; false from it stops the
  // stream (Push and Finish then fail).
  explicit BlockDeflater(std::function<bool(const uint8_t*, size_t)> emit);
  ~BlockDeflater();
  BlockDeflater(const BlockDeflater&) = delete;
  BlockDeflater& operator=(const BlockDeflater&) = delete;

  // Adds data; only a few blocks are in flight at any time.
  [[nodiscard]] bool Push(const uint8_t* data, size_t n);
  // Ends the stream (an empty one too) and waits for every block.
  [[nodiscard]] bool Finish();
  // CRC-32 and length of the data pushed.
  [[nodiscard]] uint32_t Crc() const { return static_cast<uint32_t>(crc_); }
  [[nodiscard]] uint64_t Length() const { return length_; }

  static constexpr size_t kBlock = 128 * 1024;
  static constexpr size_t kWindow = 32 * 1024;

 private:
  struct Job;
  [[nodiscard]] bool Submit(bool last);
  [[nodiscard]] bool EmitFront();

  std::function<bool(const uint8_t*, size_t)> emit_;
  std::vector<uint8_t> pending_;  // the block being filled
  std::vector<uint8_t> window_;   // the last 32 KiB before it
  size_t inFlightMax_ = 1;
  // Declared before the pool: the pool waits for its tasks before the jobs go.
  std::deque<std::unique_ptr<Job>> inFlight_;
  std::unique_ptr<TaskPool> pool_;
  unsigned long crc_ = 0;
  uint64_t length_ = 0;
  bool failed_ = false;
};

}  // namespace tarnel
