// The single-instance rule and the elevation handover with real processes.
#include <QLockFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>
#include <QStandardPaths>
#include <unistd.h>

#include "manager/app/InstanceLock.h"
#include "manager/app/Startup.h"
#include "tests/manager/app/ConsoleFakes.h"

using namespace zevra::manager;
using namespace zevra::manager::testing;

namespace {

QString Helper() { return QCoreApplication::applicationDirPath() + QStringLiteral("/manager_console_helper"); }

// Starts the helper and gives its first line ("locked …" or "refused").
QString StartHelper(QProcess& process, const QStringList& arguments, const QString& program = Helper()) {
  process.start(program, arguments);
  if (!process.waitForStarted(5000)) return QStringLiteral("not started");
  if (!process.waitForReadyRead(10000)) return QStringLiteral("silent");
  return QString::fromLocal8Bit(process.readLine()).trimmed().section(QLatin1Char(' '), 0, 0);
}

void EndHelper(QProcess& process) {
  if (process.state() != QProcess::NotRunning) {
    process.kill();
    process.waitForFinished(5000);
  }
}

}  // namespace

class InstanceTest : public QObject {
  Q_OBJECT

 private slots:
  void secondProcessIsRefusedAndACrashedHolderLeavesNoLock() {
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("ZevraManager-0.2.9.lock"));
    QProcess first, second, third;
    QCOMPARE(StartHelper(first, {"lock", path, "20"}), QStringLiteral("locked"));
    QCOMPARE(StartHelper(second, {"lock", path, "20"}), QStringLiteral("refused"));
    QVERIFY(second.waitForFinished(5000));
    // A holder that dies without unlocking leaves its file; the next start
    // still gets the lock.
    EndHelper(first);
    QVERIFY(QFile::exists(path));
    QCOMPARE(StartHelper(third, {"lock", path, "20"}), QStringLiteral("locked"));
    EndHelper(third);
  }

  void lockLivesInTheDesktopUsersRuntimeDirectory() {
    QTemporaryDir runtime;
    QDir(runtime.path()).mkpath(QStringLiteral("1000"));
    QCOMPARE(InstanceLockPath(1000, runtime.path()), runtime.path() + QStringLiteral("/1000/ZevraManager-0.2.9.lock"));
    QCOMPARE(InstanceLockPath(1001, runtime.path()),
             QDir::tempPath() + QStringLiteral("/ZevraManager-1001-0.2.9.lock"));
  }

  // A root copy and a user copy of the same desktop user take one lock,
  // whichever comes first, and a crashed root copy does not lock the user
  // out.
  void rootCopyAndUserCopyCollide() {
    if (::geteuid() != 0) QSKIP("needs root: one copy runs as root, the other as the user nobody");
    if (QStandardPaths::findExecutable(QStringLiteral("setpriv")).isEmpty()) QSKIP("setpriv is missing");
    const QString runtime = QStringLiteral("/run/user/65534");
    const bool made = !QFileInfo(runtime).exists();
    if (made) {
      QVERIFY(QDir().mkpath(runtime));
      QVERIFY(::chown(runtime.toLocal8Bit().constData(), 65534, 65534) == 0);
      QFile::setPermissions(runtime, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    }
    auto cleanup = qScopeGuard([&] {
      QFile::remove(InstanceLockPath(65534));
      if (made) QDir(runtime).removeRecursively();
    });
    const QString path = InstanceLockPath(65534);
    QCOMPARE(path, runtime + QStringLiteral("/ZevraManager-0.2.9.lock"));
    QFile::remove(path);
    const QStringList asUser = {"--reuid=65534", "--regid=65534", "--clear-groups", Helper(), "lockuid", "65534", "20"};
    const QStringList asRoot = {"lockuid", "65534", "20"};
    {
      QProcess root, user;
      QCOMPARE(StartHelper(root, asRoot), QStringLiteral("locked"));
      QCOMPARE(StartHelper(user, asUser, QStringLiteral("setpriv")), QStringLiteral("refused"));
      // The root copy crashes: the user copy gets the lock.
      EndHelper(root);
      QProcess later;
      QCOMPARE(StartHelper(later, asUser, QStringLiteral("setpriv")), QStringLiteral("locked"));
      QCOMPARE(StartHelper(root, asRoot), QStringLiteral("refused"));
      EndHelper(later);
      EndHelper(user);
      EndHelper(root);
    }
  }

  void elevatedCopyTakesOverTheLock() {
    QTemporaryDir dir;
    InstanceLock lock(dir.filePath(QStringLiteral("console.lock")));
    QVERIFY(lock.Acquire());
    StubElevator elevator;
    elevator.command = {Helper()};
    elevator.passConsoleCommand = true;
    QElapsedTimer clock;
    clock.start();
    const RelaunchOutcome outcome = RelaunchElevated(elevator, lock, {QStringLiteral("ZevraManager")}, 20000);
    QCOMPARE(int(outcome), int(RelaunchOutcome::kHandedOver));
    QVERIFY(clock.elapsed() < 15000);
    // One instance: the copy holds the lock now, this one does not.
    QVERIFY(!lock.Held());
    QLockFile probe(lock.Path());
    QVERIFY(!probe.tryLock(0));
  }

  void copyThatNeverReportsLeavesTheLockWithUs() {
    QTemporaryDir dir;
    InstanceLock lock(dir.filePath(QStringLiteral("console.lock")));
    QVERIFY(lock.Acquire());
    StubElevator elevator;
    elevator.command = {QStringLiteral("/bin/sleep"), QStringLiteral("1")};
    const RelaunchOutcome outcome = RelaunchElevated(elevator, lock, {QStringLiteral("ZevraManager")}, 20000);
    QCOMPARE(int(outcome), int(RelaunchOutcome::kRefused));
    QVERIFY(lock.Held());
  }
};

QTEST_MAIN(InstanceTest)
#include "InstanceTest.moc"
