#include "app/ui_bridge.h"

#include <QThread>

#include <memory>

namespace tarnel::app {

void CUiBridge::RunAndWait(std::function<void()> work) {
  if (QThread::currentThread() == thread()) {
    if (!IsShutDown()) work();
    return;
  }
  auto finished = std::make_shared<bool>(false);
  {
    std::lock_guard lock(mutex_);
    if (shutDown_) return;
  }
  QMetaObject::invokeMethod(
      this,
      [this, finished, work = std::move(work)] {
        if (!IsShutDown()) work();
        {
          std::lock_guard lock(mutex_);
          *finished = true;
        }
        done_.notify_all();
      },
      Qt::QueuedConnection);
  std::unique_lock lock(mutex_);
  done_.wait(lock, [&] { return *finished || shutDown_; });
}

void CUiBridge::Post(std::function<void()> work) {
  if (IsShutDown()) return;
  QMetaObject::invokeMethod(
      this,
      [this, work = std::move(work)] {
        if (!IsShutDown()) work();
      },
      Qt::QueuedConnection);
}

void CUiBridge::Shutdown() {
  {
    std::lock_guard lock(mutex_);
    shutDown_ = true;
  }
  done_.notify_all();
}

bool CUiBridge::IsShutDown() const {
  std::lock_guard lock(mutex_);
  return shutDown_;
}

}  // namespace tarnel::app
