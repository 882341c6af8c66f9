// Lets the Make worker run short pieces of work on the user-interface thread
// (a message box, the progress bar, the controls) and wait until each is done.
#pragma once

#include <QObject>

#include <condition_variable>
#include <functional>
#include <mutex>

namespace tarnel::app {

class CUiBridge : public QObject {
  Q_OBJECT

 public:
  CUiBridge() = default;

  // Runs `work` on this object's thread and returns once it has run. Called on
  // that thread itself it runs at once. After Shutdown() it returns at once
  // without running anything.
  void RunAndWait(std::function<void()> work);
  // Queues `work` for this object's thread without waiting.
  void Post(std::function<void()> work);
  // Releases every waiting caller and refuses further work. Called when the
  // window goes away, before the worker is joined.
  void Shutdown();
  [[nodiscard]] bool IsShutDown() const;

 private:
  mutable std::mutex mutex_;
  std::condition_variable done_;
  bool shutDown_ = false;
};

}  // namespace tarnel::app
