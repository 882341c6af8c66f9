// One running copy: a second copy reaches the first and asks it to raise its
// window; a lock left by a killed copy does not block the next start.
#include <QFile>
#include <QProcess>
#include <QProcessEnvironment>
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

  // The program itself: a second start hands over to the running copy and
  // ends; once the running copy is killed, the next start runs normally.
  void programKeepsOneRunningCopy() {
    QTemporaryDir runtime;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("QT_QPA_PLATFORM", "offscreen");
    env.insert("XDG_RUNTIME_DIR", runtime.path());
    env.insert("XDG_CONFIG_HOME", runtime.path() + "/config");
    env.insert("HOME", runtime.path());
    auto start = [&env](QProcess& p) {
      p.setProcessEnvironment(env);
      p.setProcessChannelMode(QProcess::MergedChannels);
      p.start(TARNEL_APP_PATH, QStringList());
      return p.waitForStarted(5000);
    };
    const QString socket = CSingleInstance(runtime.path()).SocketPath();

    QProcess first;
    QVERIFY(start(first));
    QVERIFY(QTest::qWaitFor([&] { return QFile::exists(socket); }, 10000));
    QProcess second;
    QVERIFY(start(second));
    QVERIFY(second.waitForFinished(10000));
    QCOMPARE(second.exitCode(), 0);
    QCOMPARE(first.state(), QProcess::Running);

    first.kill();  // no chance to clean up its lock or socket
    QVERIFY(first.waitForFinished(5000));
    QProcess third;
    QVERIFY(start(third));
    QVERIFY(!third.waitForFinished(1500));  // it runs: the stale lock did not stop it
    third.kill();
    QVERIFY(third.waitForFinished(5000));
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
