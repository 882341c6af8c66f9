// The threads behind the parallel stages (deflate blocks, image sections): a
// small pool sized by the cores. The number can be fixed for the whole process
// so that the same work runs with 1, 2 or 8 threads and gives the same bytes.
#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <future>
#include <mutex>
#include <thread>
#include <vector>

namespace tarnel {

// Never more than this many threads, whatever the machine reports.
inline constexpr unsigned kMaxWorkerThreads = 8;

// Threads for a parallel stage: the set number, else the cores (1 .. 8).
[[nodiscard]] unsigned WorkerThreads();
// Fixes the number for the process; 0 goes back to the cores.
void SetWorkerThreads(unsigned threads);

// Runs tasks on `threads` threads of its own; with one thread (or none) each
// task runs at once inside Submit, on the caller's thread, unless `ownThread`
// asks for a thread of its own even then (one thread runs the tasks in the
// order they came: an ordered writer). A task's exception
// reaches whoever waits on its future. The destructor lets the queued tasks
// finish, so everything a task refers to must outlive the pool.
class TaskPool {
 public:
  explicit TaskPool(unsigned threads, bool ownThread = false);
  ~TaskPool();
  TaskPool(const TaskPool&) = delete;
  TaskPool& operator=(const TaskPool&) = delete;

  [[nodiscard]] std::future<void> Submit(std::function<void()> task);
  // Threads working in parallel (1 when tasks run inline).
  [[nodiscard]] unsigned Threads() const { return threads_.empty() ? 1u : static_cast<unsigned>(threads_.size()); }

 private:
  void Work();

  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<std::packaged_task<void()>> queue_;
  bool stopping_ = false;
  std::vector<std::thread> threads_;
};

}  // namespace tarnel
