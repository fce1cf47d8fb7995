// The console against real processes and, as root, the real service through
// the init script: the forced end spares everything that is not this
// service's own, and install, start, stop and remove run their whole round.
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QPlainTextEdit>
#include <QProcess>
#include <QPushButton>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>
#include <csignal>
#include <unistd.h>

#include "common/Product.h"
#include "manager/app/ConsoleTexts.h"
#include "manager/app/MainWindow.h"
#include "manager/app/ServiceBackend.h"
#include "platform/System.h"
#include "tests/manager/app/ConsoleFakes.h"
#include "tests/support/RealServiceSetup.h"

using namespace zevra::manager;
using namespace zevra::manager::testing;
using namespace zevra::testing;
using texts::Text;

namespace {

// Running and not a zombie (an orphan may wait for a reaper that never comes
// in a container).
bool Alive(qint64 pid) {
  QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
  if (!stat.open(QIODevice::ReadOnly)) return false;
  const QByteArray text = stat.readAll();
  const int close = text.lastIndexOf(')');
  return close > 0 && text.size() > close + 2 && text[close + 2] != 'Z';
}

QList<qint64> ChildrenOf(qint64 parent) {
  QList<qint64> children;
  for (const QString& entry : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs)) {
    bool ok = false;
    const qint64 pid = entry.toLongLong(&ok);
    if (!ok) continue;
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly)) continue;
    const QByteArray text = stat.readAll();
    const int close = text.lastIndexOf(')');
    const QList<QByteArray> fields = text.mid(close + 2).split(' ');
    if (fields.size() > 1 && fields[1].toLongLong() == parent) children << pid;
  }
  return children;
}

}  // namespace

class RealServiceTest : public QObject {
  Q_OBJECT

 private slots:
  // A daemon that ignores the stop, with its worker, beside a copy of the
  // same program that is not the service's (named in a forged Zevra.pid)
  // and a process of another program that a root-owned pid file names.
  void stopEndsOnlyThisServicesProcesses() {
    if (::geteuid() != 0) QSKIP("needs root: the service's pid file and init script are root's");
    const QString name = QStringLiteral("ZevraStopTest%1").arg(QCoreApplication::applicationPid());
    const QString script = QStringLiteral("/etc/init.d/") + name;
    const QString pidFile = QStringLiteral("/run/") + name + QStringLiteral(".daemon.pid");
    QTemporaryDir dir;
    const QString exe = dir.filePath(QStringLiteral("Zevra"));
    const QString fifo = dir.filePath(QStringLiteral("hold"));
    QVERIFY(QFile::copy(QStringLiteral("/bin/sh"), exe));
    QVERIFY(QProcess::execute(QStringLiteral("mkfifo"), {fifo}) == 0);
    QFile holder(fifo);  // opened for both ends: the readers never block on open
    QVERIFY(holder.open(QIODevice::ReadWrite));
    QVERIFY(WriteFile(script, "#!/bin/sh\ncase \"$1\" in\n  status) kill -0 \"$(cat " + pidFile.toUtf8() +
                                  ")\" 2>/dev/null; exit $? ;;\n  *) exit 0 ;;\nesac\n"));
    QFile::setPermissions(script, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ReadGroup |
                                      QFile::ExeGroup | QFile::ReadOther | QFile::ExeOther);
    auto cleanup = qScopeGuard([&] {
      QFile::remove(script);
      QFile::remove(pidFile);
      EndProgramsOf(QFileInfo(exe).canonicalFilePath());
      holder.close();
    });

    QProcess daemon, unrelated, other;
    daemon.start(exe, {"-c", "\"$0\" -c 'read x < \"$1\"' \"$0\" \"$1\" & read y < \"$1\"", exe, fifo});
    // Another copy of the same program, started by hand as a worker.
    unrelated.start(exe, {"-c", "read z < \"$1\"", "/worker", fifo});
    other.start(QStringLiteral("/bin/sleep"), {"30"});
    QVERIFY(daemon.waitForStarted() && unrelated.waitForStarted() && other.waitForStarted());
    QList<qint64> workers;
    QTRY_VERIFY_WITH_TIMEOUT(!(workers = ChildrenOf(daemon.processId())).isEmpty(), 5000);
    const qint64 worker = workers.first();
    QVERIFY(WriteFile(pidFile, QByteArray::number(daemon.processId())));
    QVERIFY(WriteFile(dir.filePath(QStringLiteral("Zevra.pid")), QByteArray::number(unrelated.processId())));

    RecordingMessages boxes;
    PlatformServiceBackend backend(dir.path(), name);
    QCOMPARE(backend.QueryState(), int(kServiceRunning));
    const std::vector<uint32_t> found = backend.ServiceProcesses();
    QVERIFY(std::find(found.begin(), found.end(), uint32_t(daemon.processId())) != found.end());
    QVERIFY(std::find(found.begin(), found.end(), uint32_t(worker)) != found.end());
    QVERIFY(std::find(found.begin(), found.end(), uint32_t(unrelated.processId())) == found.end());

    MainWindow window(backend);
    window.RefreshServiceState();
    QCOMPARE(window.StatusText(), Text(texts::kStatusRunning));
    window.StopService();
    QVERIFY(daemon.waitForFinished(5000));
    QTRY_VERIFY_WITH_TIMEOUT(!Alive(worker), 5000);
    QVERIFY(Alive(unrelated.processId()));
    QCOMPARE(unrelated.state(), QProcess::Running);
    window.RefreshServiceState();
    QCOMPARE(window.StatusText(), Text(texts::kStatusStopped));

    // A root-owned pid file that names another program: that one is spared.
    QVERIFY(WriteFile(pidFile, QByteArray::number(other.processId())));
    QVERIFY(!backend.EndServiceProcess(uint32_t(other.processId())));
    window.StopService();
    QCOMPARE(other.state(), QProcess::Running);
    // A pid file that the service's account could have written is not read.
    QVERIFY(WriteFile(pidFile, QByteArray::number(unrelated.processId())));
    QVERIFY(::chown(pidFile.toLocal8Bit().constData(), 65534, 65534) == 0);
    QVERIFY(backend.ServiceProcesses().empty());
    QVERIFY(Alive(unrelated.processId()));
    for (QProcess* p : {&other, &unrelated}) {
      p->kill();
      p->waitForFinished(5000);
    }
  }

  // The server program cannot be started: the system's text says why.
  void installerThatCannotStartGivesTheSystemText() {
    QTemporaryDir empty;
    PlatformServiceBackend backend(empty.path());
    QString error;
    bool called = false;
    QVERIFY(!backend.StartInstaller(QStringLiteral("/install"), error, [&](uint32_t) { called = true; }));
    QCOMPARE(error, QString::fromStdString(zevra::platform::SystemErrorText(ENOENT)).trimmed());
    QVERIFY(!error.isEmpty());
    QTest::qWait(50);
    QVERIFY(!called);
  }

  // The real server, installed as the service "Zevra" through its init
  // script: 找不到服务 → install → 已经停止 with the description shown →
  // start → 正在运行 → stop → 已经停止 → remove → 找不到服务.
  void realServiceRoundTrip() {
    if (const QString why = zevra::testing::RealServiceSkipReason(); !why.isEmpty()) QSKIP(qPrintable(why));
    QTemporaryDir dir;
    QVERIFY(zevra::testing::LayOutServiceProgram(dir.path()));
    const quint16 port = FreeLoopbackPort();
    QVERIFY(port != 0);
    QVERIFY(WriteFile(dir.filePath(QStringLiteral("Config/Zevra.ini")), "[Listen]\nPort=" + QByteArray::number(port) +
                                                                           "\n[Settings]\nWriteAccessLog=False\n"));
    QVERIFY(WriteFile(dir.filePath(QStringLiteral("WebRoot/index.html")), "hello"));
    const QString program = dir.filePath(QStringLiteral("Zevra"));
    auto cleanup = qScopeGuard([&] {
      if (QFile::exists(QStringLiteral("/etc/init.d/Zevra"))) QProcess::execute(program, {"/remove"});
      EndProgramsOf(QFileInfo(program).canonicalFilePath());
    });

    RecordingMessages boxes;
    PlatformServiceBackend backend(dir.path());
    MainWindow window(backend);
    window.RefreshServiceState();
    QCOMPARE(window.StatusText(), Text(texts::kStatusNotInstalled));

    window.InstallService();
    QCOMPARE(boxes.shown.size(), 1);
    QCOMPARE(boxes.shown[0].text, Text(texts::kInstallSent));
    QTRY_COMPARE_WITH_TIMEOUT(window.StatusText(), Text(texts::kStatusStopped), 15000);
    QTRY_VERIFY_WITH_TIMEOUT(window.LogBox()->toPlainText().startsWith(QString::fromUtf8(zevra::kServiceDescription)),
                             5000);
    QVERIFY(window.StartButton()->isEnabled());

    window.StartService();
    QCOMPARE(window.StatusText(), Text(texts::kStatusRunning));
    QVERIFY(window.StopButton()->isEnabled() || window.StatusTimer()->isActive());
    QTcpSocket client;
    bool answered = false;
    for (int attempt = 0; attempt < 50 && !answered; ++attempt) {
      client.connectToHost(QHostAddress::LocalHost, port);
      answered = client.waitForConnected(200);
      if (!answered) QTest::qWait(100);
    }
    QVERIFY2(answered, "the worker does not listen");
    client.abort();
    const std::vector<uint32_t> processes = backend.ServiceProcesses();
    QVERIFY(processes.size() >= 2);  // the daemon and its worker

    window.StopService();
    QTRY_COMPARE_WITH_TIMEOUT(window.StatusText(), Text(texts::kStatusStopped), 15000);
    for (uint32_t pid : processes) QTRY_VERIFY_WITH_TIMEOUT(!Alive(pid), 5000);
    // The service's own stop ran in its order before anything was forced.
    QFile log(dir.filePath(QStringLiteral("error.log")));
    QVERIFY(log.open(QIODevice::ReadOnly));
    const QByteArray lines = log.readAll();
    const qsizetype received = lines.indexOf("Received SERVICE_CONTROL_STOP");
    QVERIFY2(received >= 0, lines.constData());
    QVERIFY(lines.indexOf("[Worker] Terminating Worker", received) > received);
    QVERIFY(lines.indexOf("[ Core ] Shutting down...", received) > received);

    window.UninstallService();
    QCOMPARE(boxes.shown.last().text, Text(texts::kUninstallSent));
    QTRY_COMPARE_WITH_TIMEOUT(window.StatusText(), Text(texts::kStatusNotInstalled), 15000);
    QVERIFY(!QFile::exists(QStringLiteral("/etc/init.d/Zevra")));
    QCOMPARE(window.LogBox()->toPlainText().count(ScreenTextLine()), 1);
  }

 private:
  static QString ScreenTextLine() { return texts::ScreenText(texts::kLogNotInstalled); }
};

QTEST_MAIN(RealServiceTest)
#include "RealServiceTest.moc"
