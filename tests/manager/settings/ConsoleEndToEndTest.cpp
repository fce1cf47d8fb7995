// What a user does, against the real server installed as the service through
// its init script (as root): add a host in the console, change the port,
// apply with a restart, and the worker serves the new host on the new port.
#include <QDir>
#include <QFile>
#include <QLineEdit>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QtTest>
#include <csignal>
#include <unistd.h>

#include "../hosts/ConsoleTestSupport.h"
#include "manager/app/ConsoleHooks.h"
#include "manager/app/ConsoleTexts.h"
#include "manager/app/MainWindow.h"
#include "manager/app/ServiceBackend.h"
#include "manager/hosts/HostListPage.h"
#include "manager/hosts/HostsHooks.h"
#include "manager/settings/SettingsHooks.h"
#include "manager/settings/SettingsPage.h"
#include "tests/support/RealServiceSetup.h"

using namespace zevra::manager;
using namespace zevra::manager::testing;
using namespace zevra::testing;
using texts::Text;

namespace {

// One GET of "/" for host on port; the whole answer, or empty when nothing
// answers within a few seconds.
QByteArray Get(quint16 port, const QByteArray& host) {
  for (int attempt = 0; attempt < 30; ++attempt) {
    QTcpSocket client;
    client.connectToHost(QHostAddress::LocalHost, port);
    if (!client.waitForConnected(200)) {
      QTest::qWait(100);
      continue;
    }
    client.write("GET / HTTP/1.1\r\nHost: " + host + "\r\nConnection: close\r\n\r\n");
    QByteArray answer;
    for (int reads = 0; reads < 50 && client.state() == QAbstractSocket::ConnectedState; ++reads) {
      if (client.waitForReadyRead(200)) answer += client.readAll();
    }
    answer += client.readAll();
    return answer;
  }
  return {};
}

}  // namespace

class ConsoleEndToEndTest : public QObject {
  Q_OBJECT

 private slots:
  void NewHostOnNewPortAfterApply() {
    if (const QString why = zevra::testing::RealServiceSkipReason(); !why.isEmpty()) QSKIP(qPrintable(why));
    QTemporaryDir dir;
    QVERIFY(zevra::testing::LayOutServiceProgram(dir.path(), {QStringLiteral("site")}));
    const quint16 oldPort = FreeLoopbackPort();
    quint16 newPort = FreeLoopbackPort();
    for (int i = 0; i < 10 && newPort == oldPort; ++i) newPort = FreeLoopbackPort();
    QVERIFY(oldPort != 0 && newPort != 0 && oldPort != newPort);
    const QString config = dir.filePath(QStringLiteral("Config/Zevra.ini"));
    QVERIFY(WriteFile(config, "; kept by the console\n[Listen]\nPort=" + QByteArray::number(oldPort) +
                                  "\n[Settings]\nWriteAccessLog=False\n"));
    QVERIFY(WriteFile(dir.filePath(QStringLiteral("WebRoot/index.html")), "fallback site"));
    QVERIFY(WriteFile(dir.filePath(QStringLiteral("site/index.html")), "the new host"));
    const QString program = dir.filePath(QStringLiteral("Zevra"));
    auto cleanup = qScopeGuard([&] {
      if (QFile::exists(QStringLiteral("/etc/init.d/Zevra"))) QProcess::execute(program, {"/remove"});
      EndProgramsOf(QFileInfo(program).canonicalFilePath());
    });

    RecordingBoxes boxes;  // answers Yes to the restart question
    PlatformServiceBackend backend(dir.path());
    MainWindow window(backend);
    ConsoleHooks hooks;
    InstallHostsHooks(hooks);
    InstallSettingsHooks(hooks);
    hooks.loadSettings(window, config);
    hooks.loadHosts(window, dir.path());
    auto* hosts = static_cast<HostListPage*>(window.findChild<QWidget*>(QStringLiteral("HostListPage")));
    auto* settings = static_cast<SettingsPage*>(window.findChild<QWidget*>(QStringLiteral("SettingsPage")));
    QVERIFY(hosts != nullptr && settings != nullptr);

    window.RefreshServiceState();
    window.InstallService();
    QTRY_COMPARE_WITH_TIMEOUT(window.StatusText(), Text(texts::kStatusStopped), 15000);
    window.StartService();
    QTRY_COMPARE_WITH_TIMEOUT(window.StatusText(), Text(texts::kStatusRunning), 15000);
    QVERIFY(Get(oldPort, "site.e2e.test").contains("fallback site"));

    // The user adds the host through the dialog...
    const QString siteRoot = dir.filePath(QStringLiteral("site/"));
    hosts->SetDialogRunner([&](HostDialog& dialog) {
      dialog.DomainField()->setText(QStringLiteral("site.e2e.test"));
      dialog.Field(1)->setText(siteRoot);
      dialog.Field(2)->setText(QStringLiteral("index.html"));
      dialog.Field(3)->setText(QStringLiteral("Static"));
      dialog.SaveHost();
      return dialog.result();
    });
    window.HostAction(HostMenuAction::kNew)->trigger();
    QCOMPARE(hosts->Rows().size(), size_t(1));
    QCOMPARE(hosts->Rows()[0].columns[0], QStringLiteral("site.e2e.test"));

    // ...changes the port and applies with a restart.
    settings->NumberField(SettingsPage::kPort)->setText(QString::number(newPort));
    boxes.shown.clear();
    settings->ApplySettings();
    QTRY_VERIFY_WITH_TIMEOUT(!settings->IsRestarting(), 40000);
    QCOMPARE(boxes.LastText(), QStringLiteral("最新设置已经生效。"));
    QCOMPARE(window.StatusText(), Text(texts::kStatusRunning));

    const QByteArray answer = Get(newPort, "site.e2e.test");
    QVERIFY2(answer.startsWith("HTTP/1.1 200") && answer.endsWith("the new host"), answer.constData());
    QVERIFY(Get(newPort, "other.e2e.test").startsWith("HTTP/1.1 400"));  // host files exist now: no fallback
    QFile kept(config);
    QVERIFY(kept.open(QIODevice::ReadOnly));
    QVERIFY(kept.readAll().startsWith("; kept by the console\n[Listen]\nPort=" + QByteArray::number(newPort) + "\n"));
  }
};

QTEST_MAIN(ConsoleEndToEndTest)
#include "ConsoleEndToEndTest.moc"
