#include "common/stream.h"

#include "common/text.h"

#include <algorithm>
#include <condition_variable>
#include <exception>
#include <memory>
#include <new>
#include <system_error>
#include <mutex>
#include <thread>
#include <vector>

namespace tarnel {

namespace {

// The ring: piece k lives in slot k % slots. The reader may fill piece k once
// both consumers are past piece k - slots; a consumer may take piece k once
// it has been read. Everything waits on one condition variable; the pieces
// are large, so the lock is taken a few times per megabyte at most.
class Ring {
 public:
  Ring(uint64_t length, size_t piece, size_t slots) : length_(length), piece_(piece) {
    const uint64_t pieces = (length + piece - 1) / piece;
    buffers_.resize(static_cast<size_t>(std::min<uint64_t>(slots, pieces)));
    for (auto& b : buffers_) b.resize(static_cast<size_t>(std::min<uint64_t>(piece, length)));
    pieces_ = pieces;
  }

  [[nodiscard]] uint64_t Pieces() const { return pieces_; }
  [[nodiscard]] size_t LengthOf(uint64_t k) const {
    return static_cast<size_t>(std::min<uint64_t>(piece_, length_ - k * piece_));
  }
  [[nodiscard]] uint8_t* Slot(uint64_t k) { return buffers_[static_cast<size_t>(k % buffers_.size())].data(); }

  // Reader: waits until piece k's slot is free; false when the run stopped.
  bool WaitFree(uint64_t k, const std::function<void(uint64_t)>& progress) {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
      if (status_ != StreamStatus::Ok) return false;
      const uint64_t behind = std::min(computed_, written_);
      if (progress) {
        const uint64_t done = std::min<uint64_t>(behind * piece_, length_);
        if (done != reported_) {
          reported_ = done;
          lock.unlock();
          progress(done);
          lock.lock();
          continue;
        }
      }
      if (k < behind + buffers_.size()) return true;
      changed_.wait(lock);
    }
  }
  void Read(uint64_t k) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      read_ = k + 1;
    }
    changed_.notify_all();
  }
  // Consumer: waits until piece k was read; false when the run stopped.
  bool WaitRead(uint64_t k) {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [&] { return status_ != StreamStatus::Ok || read_ > k; });
    return status_ == StreamStatus::Ok;
  }
  void Consumed(uint64_t& counter, uint64_t k) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      counter = k + 1;
    }
    changed_.notify_all();
  }
  void Fail(StreamStatus why) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      failures_.push_back(why);
      if (status_ == StreamStatus::Ok) status_ = why;
    }
    changed_.notify_all();
  }
  // The failure that comes first in the order of the stages.
  [[nodiscard]] StreamStatus Result() {
    std::lock_guard<std::mutex> lock(mutex_);
    StreamStatus result = StreamStatus::Ok;
    for (StreamStatus s :
         {StreamStatus::NoMemory, StreamStatus::ReadFailed, StreamStatus::ComputeFailed, StreamStatus::WriteFailed})
      if (result == StreamStatus::Ok && std::find(failures_.begin(), failures_.end(), s) != failures_.end()) result = s;
    return result;
  }
  // Waits for both consumers to finish every piece, reporting progress.
  void Drain(const std::function<void(uint64_t)>& progress) { (void)WaitFree(pieces_ + buffers_.size() - 1, progress); }

  uint64_t computed_ = 0;  // pieces done by the compute stage
  uint64_t written_ = 0;   // pieces done by the writer

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::vector<uint8_t>> buffers_;
  uint64_t length_;
  size_t piece_;
  uint64_t pieces_ = 0;
  uint64_t read_ = 0;
  uint64_t reported_ = ~uint64_t{0};
  StreamStatus status_ = StreamStatus::Ok;
  std::vector<StreamStatus> failures_;
};

void Consume(Ring& ring, uint64_t& counter, const std::function<bool(const uint8_t*, size_t)>& stage,
             StreamStatus failure) {
  try {
    for (uint64_t k = 0; k < ring.Pieces(); ++k) {
      if (!ring.WaitRead(k)) return;
      if (!stage(ring.Slot(k), ring.LengthOf(k))) {
        ring.Fail(failure);
        return;
      }
      ring.Consumed(counter, k);
    }
  } catch (const std::exception&) {
    ring.Fail(failure);
  }
}

}  // namespace

StreamStatus StreamThrough(uint64_t length, const StreamStages& stages, size_t piece, size_t slots) {
  if (piece == 0 || slots == 0) return StreamStatus::ReadFailed;
  if (length == 0) {
    if (stages.atEnd && !stages.atEnd()) return StreamStatus::ReadFailed;
    if (stages.progress) stages.progress(0);
    return StreamStatus::Ok;
  }
  std::unique_ptr<Ring> owned;
  try {
    owned = std::make_unique<Ring>(length, piece, slots);
  } catch (const std::bad_alloc&) {
    return StreamStatus::NoMemory;
  }
  Ring& ring = *owned;
  // A stage that is not there has seen everything already.
  if (!stages.compute) ring.computed_ = ring.Pieces();
  if (!stages.write) ring.written_ = ring.Pieces();
  std::thread computer;
  std::thread writer;
  try {
    if (stages.compute)
      computer = std::thread([&] { Consume(ring, ring.computed_, stages.compute, StreamStatus::ComputeFailed); });
    if (stages.write)
      writer = std::thread([&] { Consume(ring, ring.written_, stages.write, StreamStatus::WriteFailed); });
  } catch (const std::system_error&) {
    ring.Fail(StreamStatus::NoMemory);
    if (computer.joinable()) computer.join();
    return StreamStatus::NoMemory;
  }
  try {
    uint64_t k = 0;
    for (; k < ring.Pieces(); ++k) {
      if (!ring.WaitFree(k, stages.progress)) break;
      if (!stages.read(ring.Slot(k), ring.LengthOf(k))) {
        ring.Fail(StreamStatus::ReadFailed);
        break;
      }
      ring.Read(k);
    }
    if (k == ring.Pieces() && stages.atEnd && !stages.atEnd()) ring.Fail(StreamStatus::ReadFailed);
    ring.Drain(stages.progress);
  } catch (const std::exception&) {
    ring.Fail(StreamStatus::ReadFailed);
  }
  if (computer.joinable()) computer.join();
  if (writer.joinable()) writer.join();
  return ring.Result();
}

void ReadFrom(InFile& in, StreamStages& stages) {
  in.AdviseSequential();
  stages.read = [&in](uint8_t* buffer, size_t n) { return in.ReadExact(buffer, n); };
  stages.atEnd = [&in] {
    uint8_t more = 0;
    return in.Read(&more, 1) == 0 && !in.Failed();
  };
}

std::function<bool(const uint8_t*, size_t)> WriteStage(OutFile& out) {
  return [&out](const uint8_t* data, size_t n) { return out.Write(data, n) && out.StartWriteback(); };
}

std::string StreamFailureMessage(StreamStatus status, const StreamMessages& messages, const std::string& sourcePath,
                                 const std::string& outputPath) {
  switch (status) {
    case StreamStatus::Ok:
      return {};
    case StreamStatus::ReadFailed:
      return Format(messages.read, sourcePath.c_str());
    case StreamStatus::ComputeFailed:
      return Format(messages.compute, sourcePath.c_str());
    case StreamStatus::WriteFailed:
      return Format(messages.write, outputPath.c_str());
    case StreamStatus::NoMemory:
      break;
  }
  return Format(messages.noMemory, outputPath.c_str());
}

}  // namespace tarnel
