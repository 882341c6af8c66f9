// One running copy: a second copy reaches the first and asks it to raise its
// window; a lock left by a killed copy does not block the next start.
#include <QFile>
#include <QProcess>
#include <QSignalSpy>
#include <QSysInfo>
#include <QTemporaryDir>
#include <QTest>

#include "app/single_instance.h"
#include "app_test_support.h"

using namespace tarnel::app;

class SingleInstanceTest : public QObject {
  Q_OBJECT

 private slots:
  void secondCopyAsksTheFirstToRaise() {
    QTemporaryDir folder;
    CSingleInstance first(folder.path());
    QVERIFY(first.Acquire());
    QSignalSpy raised(&first, &CSingleInstance::raiseRequested);

    CSingleInstance second(folder.path());
    QVERIFY(!second.Acquire());
    // The first copy answers from its event loop while the second one waits.
    QVERIFY(second.NotifyRunningCopy(3000));
    QVERIFY(raised.wait(3000) || raised.count() > 0);
    QCOMPARE(raised.count(), 1);
  }

  void lockIsFreeAgainAfterTheFirstCopyEnds() {
    QTemporaryDir folder;
    {
      CSingleInstance first(folder.path());
      QVERIFY(first.Acquire());
    }
    CSingleInstance next(folder.path());
    QVERIFY(next.Acquire());
  }

  void staleLockOfAKilledCopyDoesNotBlock() {
    QTemporaryDir folder;
    // A copy that was killed leaves its lock file (pid, program name, host)
    // and its socket file behind.
    QProcess gone;
    gone.start("true", QStringList());
    QVERIFY(gone.waitForFinished(5000));
    const qint64 deadPid = gone.processId() > 0 ? gone.processId() : 999999;
    CSingleInstance probe(folder.path());
    QFile lock(probe.LockPath());
    QVERIFY(lock.open(QIODevice::WriteOnly));
    lock.write(QByteArray::number(deadPid) + "\ntarnel\n" + QSysInfo::machineHostName().toUtf8() + "\n");
    lock.close();
    QFile socket(probe.SocketPath());
    QVERIFY(socket.open(QIODevice::WriteOnly));
    socket.close();

    CSingleInstance next(folder.path());
    QVERIFY(next.Acquire());
    QSignalSpy raised(&next, &CSingleInstance::raiseRequested);
    CSingleInstance later(folder.path());
    QVERIFY(!later.Acquire());
    QVERIFY(later.NotifyRunningCopy(3000));
    QVERIFY(raised.wait(3000) || raised.count() > 0);
  }

  void lockLivesInTheUsersOwnFolder() {
    const QString folder = CSingleInstance::DefaultFolder();
    QVERIFY(!folder.isEmpty());
    CSingleInstance instance;
    QVERIFY(instance.LockPath().startsWith(folder + "/"));
  }
};

QTEST_GUILESS_MAIN(SingleInstanceTest)

#include "single_instance_test.moc"
