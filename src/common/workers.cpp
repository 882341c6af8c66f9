#include "common/workers.h"

#include <algorithm>
#include <atomic>

namespace tarnel {

namespace {
std::atomic<unsigned> gFixedThreads{0};
}  // namespace

unsigned WorkerThreads() {
  const unsigned fixed = gFixedThreads.load();
  const unsigned n = fixed != 0 ? fixed : std::thread::hardware_concurrency();
  return std::clamp(n, 1u, kMaxWorkerThreads);
}

void SetWorkerThreads(unsigned threads) { gFixedThreads.store(threads); }

TaskPool::TaskPool(unsigned threads, bool ownThread) {
  if (threads == 0 || (threads == 1 && !ownThread)) return;
  threads_.reserve(threads);
  for (unsigned i = 0; i < threads; ++i) threads_.emplace_back([this] { Work(); });
}

TaskPool::~TaskPool() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  for (std::thread& t : threads_) t.join();
}

std::future<void> TaskPool::Submit(std::function<void()> task) {
  std::packaged_task<void()> job(std::move(task));
  std::future<void> done = job.get_future();
  if (threads_.empty()) {
    job();
    return done;
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    queue_.push_back(std::move(job));
  }
  wake_.notify_one();
  return done;
}

void TaskPool::Work() {
  for (;;) {
    std::packaged_task<void()> job;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      wake_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
      if (queue_.empty()) return;  // stopping, and nothing left to run
      job = std::move(queue_.front());
      queue_.pop_front();
    }
    job();
  }
}

}  // namespace tarnel
