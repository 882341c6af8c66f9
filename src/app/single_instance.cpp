#include "app/single_instance.h"

#include <QDir>
#include <QLocalSocket>
#include <QStandardPaths>
#include <QThread>

namespace tarnel::app {

QString CSingleInstance::DefaultFolder() {
  QString folder = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
  if (folder.isEmpty()) folder = QDir::tempPath();
  return folder;
}

CSingleInstance::CSingleInstance(QString folder, QObject* parent)
    : QObject(parent), folder_(folder.isEmpty() ? DefaultFolder() : std::move(folder)) {
  connect(&server_, &QLocalServer::newConnection, this, &CSingleInstance::OnNewConnection);
}

CSingleInstance::~CSingleInstance() {
  server_.close();
  if (lock_) lock_->unlock();
}

bool CSingleInstance::Acquire() {
  QDir().mkpath(folder_);
  lock_ = std::make_unique<QLockFile>(LockPath());
  // No age limit: a lock is stale only when the copy that wrote it is gone.
  lock_->setStaleLockTime(0);
  if (!lock_->tryLock(0)) {
    lock_.reset();
    return false;
  }
  // A socket left behind by a killed copy is ours to replace now.
  QLocalServer::removeServer(SocketPath());
  server_.setSocketOptions(QLocalServer::UserAccessOption);
  server_.listen(SocketPath());
  return true;
}

bool CSingleInstance::NotifyRunningCopy(int timeoutMs) {
  // The running copy may still be starting up: try for a little while.
  constexpr int kStepMs = 100;
  for (int waited = 0; waited <= timeoutMs; waited += kStepMs) {
    QLocalSocket socket;
    socket.connectToServer(SocketPath());
    if (socket.waitForConnected(kStepMs)) {
      socket.write(kRaiseRequest);
      const bool written = socket.waitForBytesWritten(timeoutMs);
      socket.disconnectFromServer();
      return written;
    }
    QThread::msleep(kStepMs);
  }
  return false;
}

void CSingleInstance::OnNewConnection() {
  while (QLocalSocket* socket = server_.nextPendingConnection()) {
    connect(socket, &QLocalSocket::readyRead, this, [this, socket] {
      if (socket->readAll().contains('\n')) emit raiseRequested();
    });
    connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
  }
}

}  // namespace tarnel::app
