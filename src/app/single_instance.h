// One running copy of the desktop program per user: a lock file and a local
// socket in the user's runtime folder. A later copy asks the running one to
// bring its window to the front and then ends.
#pragma once

#include <QLocalServer>
#include <QLockFile>
#include <QObject>
#include <QString>

#include <memory>

namespace tarnel::app {

inline constexpr const char* kInstanceBaseName = "tarnel";
inline constexpr const char* kRaiseRequest = "raise\n";

class CSingleInstance : public QObject {
  Q_OBJECT

 public:
  // `folder`: where the lock and the socket live; empty: the user's runtime
  // folder (the temp folder when there is none).
  explicit CSingleInstance(QString folder = QString(), QObject* parent = nullptr);
  ~CSingleInstance() override;

  // True when no other copy runs; this copy then holds the lock and listens
  // for later copies. A lock left by a copy that was killed does not count.
  [[nodiscard]] bool Acquire();
  // Asks the running copy to raise its window; false when it could not be reached.
  bool NotifyRunningCopy(int timeoutMs = 3000);

  [[nodiscard]] QString LockPath() const { return folder_ + "/" + kInstanceBaseName + ".lock"; }
  [[nodiscard]] QString SocketPath() const { return folder_ + "/" + kInstanceBaseName + ".socket"; }
  [[nodiscard]] static QString DefaultFolder();

 signals:
  void raiseRequested();

 private:
  void OnNewConnection();

  QString folder_;
  std::unique_ptr<QLockFile> lock_;
  QLocalServer server_;
};

}  // namespace tarnel::app
