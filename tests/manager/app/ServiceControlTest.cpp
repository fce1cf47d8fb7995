// The main window's service control against a scripted service: what each
// state shows, what each operation sends and in which order, and every box
// it opens.
#include <QAction>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTimer>
#include <QtTest>

#include "common/Product.h"
#include "manager/app/ConsoleTexts.h"
#include "manager/app/MainWindow.h"
#include "tests/manager/app/ConsoleFakes.h"

using namespace zevra::manager;
using namespace zevra::manager::testing;
using texts::ScreenText;
using texts::Text;

namespace {

int Occurrences(const QString& haystack, const char* line) {
  return static_cast<int>(haystack.count(ScreenText(line)));
}

}  // namespace

class ServiceControlTest : public QObject {
  Q_OBJECT

 private slots:
  void displayFollowsState_data() {
    QTest::addColumn<int>("state");
    QTest::addColumn<QString>("label");
    QTest::addColumn<QString>("line");
    // install, uninstall, start, stop: the menu entries follow start and stop
    QTest::addColumn<QString>("enabled");
    QTest::addColumn<bool>("trayRunning");
    QTest::newRow("not installed") << 0 << Text(texts::kStatusNotInstalled) << Text(texts::kLogNotInstalled)
                                   << "1000" << false;
    QTest::newRow("stopped") << 1 << Text(texts::kStatusStopped) << Text(texts::kLogStopped) << "0110" << false;
    QTest::newRow("running") << 4 << Text(texts::kStatusRunning) << Text(texts::kLogRunning) << "0001" << true;
  }
  void displayFollowsState() {
    QFETCH(int, state);
    QFETCH(QString, label);
    QFETCH(QString, line);
    QFETCH(QString, enabled);
    QFETCH(bool, trayRunning);
    ScriptedService service;
    service.state = state;
    MainWindow window(service);
    window.RefreshServiceState();
    QCOMPARE(window.StatusText(), label);
    QCOMPARE(window.StatePart()->text(), label);
    QVERIFY(window.LogBox()->toPlainText().endsWith(ScreenText(line)));
    const QString actual = QString::number(window.InstallButton()->isEnabled()) +
                           QString::number(window.UninstallButton()->isEnabled()) +
                           QString::number(window.StartButton()->isEnabled()) +
                           QString::number(window.StopButton()->isEnabled());
    QCOMPARE(actual, enabled);
    QCOMPARE(window.StartMenuEntry()->isEnabled(), window.StartButton()->isEnabled());
    QCOMPARE(window.StopMenuEntry()->isEnabled(), window.StopButton()->isEnabled());
    QCOMPARE(window.TrayShowsRunning(), trayRunning);
    QCOMPARE(service.Count("query"), 1);
  }

  // A pending state changes nothing but the tray image.
  void pendingStateOnlyTurnsTheTrayImage() {
    ScriptedService service;
    service.state = kServiceRunning;
    MainWindow window(service);
    window.RefreshServiceState();
    const QString log = window.LogBox()->toPlainText();
    for (int pending : {int(kServiceStopPending), int(kServiceStartPending)}) {
      service.state = pending;
      window.RefreshServiceState();
      QCOMPARE(window.StatusText(), Text(texts::kStatusRunning));
      QCOMPARE(window.LogBox()->toPlainText(), log);
      QVERIFY(window.StopButton()->isEnabled());
      QVERIFY(!window.StartButton()->isEnabled());
      QVERIFY(!window.TrayShowsRunning());
    }
  }

  void notInstalledIsLoggedOnceHoweverLongTheTimerRuns() {
    ScriptedService service;
    MainWindow window(service);
    window.StatusTimer()->start(5);
    QTRY_VERIFY_WITH_TIMEOUT(service.Count("query") >= 40, 10000);
    window.StatusTimer()->stop();
    QCOMPARE(Occurrences(window.LogBox()->toPlainText(), texts::kLogNotInstalled), 1);
    QCOMPARE(window.StatusText(), Text(texts::kStatusNotInstalled));
    QVERIFY(window.InstallButton()->isEnabled());
    QVERIFY(!window.UninstallButton()->isEnabled() && !window.StartButton()->isEnabled() &&
            !window.StopButton()->isEnabled());
    // One query per refresh.
    const int before = service.Count("query");
    for (int i = 0; i < 25; ++i) window.RefreshServiceState();
    QCOMPARE(service.Count("query"), before + 25);
  }

  void refreshActionLogsTheStateEachTime() {
    ScriptedService service;
    service.state = kServiceStopped;
    MainWindow window(service);
    window.RefreshServiceState();
    for (int i = 0; i < 3; ++i) window.RefreshAction();
    QCOMPARE(Occurrences(window.LogBox()->toPlainText(), texts::kLogStopped), 4);
    QCOMPARE(window.StatusText(), Text(texts::kStatusStopped));
  }

  void startSendsNothingToARunningService() {
    ScriptedService service;
    service.state = kServiceRunning;
    MainWindow window(service);
    window.StartService();
    QCOMPARE(service.Count("start"), 0);
    QCOMPARE(service.paused, 1000);
    QCOMPARE(window.StatusText(), Text(texts::kStatusRunning));
    const QString log = window.LogBox()->toPlainText();
    QVERIFY(log.endsWith(ScreenText(texts::kLogStarting) + ScreenText(texts::kLogRunning)));
  }

  void startOfAStoppedService() {
    ScriptedService service;
    service.state = kServiceStopped;
    service.onStart = [&service] { service.state = kServiceRunning; };
    MainWindow window(service);
    window.StartService();
    QCOMPARE(service.events, (QStringList{"query", "start", "pause", "query"}));
    QCOMPARE(window.StatusText(), Text(texts::kStatusRunning));

    // A service that does not come up within the second is reported.
    ScriptedService stubborn;
    stubborn.state = kServiceStopped;
    MainWindow second(stubborn);
    second.StartService();
    QCOMPARE(stubborn.Count("start"), 1);
    QCOMPARE(second.StatusText(), Text(texts::kStatusStartFailed));
    QVERIFY(second.LogBox()->toPlainText().endsWith(ScreenText(texts::kLogStartFailed)));

    // Not installed: nothing is sent either.
    ScriptedService missing;
    MainWindow third(missing);
    third.StartService();
    QCOMPARE(missing.Count("start"), 0);
    QCOMPARE(third.StatusText(), Text(texts::kStatusStartFailed));
  }

  void stopSendsTheStopThenEndsOnlyTheServiceProcesses() {
    ScriptedService service;
    service.state = kServiceRunning;
    service.processes = {111, 222};
    MainWindow window(service);
    window.RefreshServiceState();
    window.StatusTimer()->start();
    bool timerRanDuringStop = false, controlsEnabledDuringStop = false;
    QString labelDuringStop;
    service.onPause = [&] {
      timerRanDuringStop = timerRanDuringStop || window.StatusTimer()->isActive();
      controlsEnabledDuringStop = controlsEnabledDuringStop || window.StartButton()->isEnabled() ||
                                  window.StopButton()->isEnabled() || window.StartMenuEntry()->isEnabled() ||
                                  window.StopMenuEntry()->isEnabled();
      labelDuringStop = window.StatusText();
    };
    service.events.clear();
    window.StopService();
    // The processes are known before the stop goes out; each second after
    // it, whatever of them still runs is ended.
    QCOMPARE(service.events, (QStringList{"processes", "stop", "pause", "processes", "end:111", "end:222", "pause",
                                          "processes", "end:111", "end:222"}));
    QVERIFY(!timerRanDuringStop);
    QVERIFY(!controlsEnabledDuringStop);
    QCOMPARE(labelDuringStop, Text(texts::kStatusStopping));
    QVERIFY(window.LogBox()->toPlainText().endsWith(ScreenText(texts::kLogStopping)));
    QVERIFY(window.StatusTimer()->isActive());
    QCOMPARE(window.StatusTimer()->interval(), 1000);
    // The next refresh shows the outcome.
    service.state = kServiceStopped;
    window.RefreshServiceState();
    QCOMPARE(window.StatusText(), Text(texts::kStatusStopped));
    QVERIFY(window.StartButton()->isEnabled());
  }

  void installReportsTheSentCommandAndShowsTheDescription() {
    RecordingMessages boxes;
    ScriptedService service;
    service.description = QStringLiteral("泽瓦个人网站服务器工作进程。");
    MainWindow window(service);
    window.RefreshServiceState();
    bool timerRanDuringBox = true;
    QString labelDuringBox;
    boxes.onShow = [&](const MessageRequest&) {
      timerRanDuringBox = window.StatusTimer()->isActive();
      labelDuringBox = window.StatusText();
    };
    window.InstallService();
    QCOMPARE(service.Count("installer:/install"), 1);
    QCOMPARE(boxes.shown.size(), 1);
    QCOMPARE(boxes.shown[0].text, Text(texts::kInstallSent));
    QCOMPARE(boxes.shown[0].title, QString::fromUtf8(zevra::kDisplayName));
    QCOMPARE(int(boxes.shown[0].icon), int(MessageIcon::kInformation));
    QVERIFY(!timerRanDuringBox);
    QCOMPARE(labelDuringBox, Text(texts::kStatusInstalling));
    QCOMPARE(window.LogBox()->toPlainText(), service.description);
    QVERIFY(window.StatusTimer()->isActive());
    QVERIFY(window.InstallButton()->isEnabled() && window.UninstallButton()->isEnabled());

    // The installer ends well: no further box.
    service.installerEnded(10000);
    QCOMPARE(boxes.shown.size(), 1);
  }

  void installThatFailsIsSaidSo() {
    RecordingMessages boxes;
    ScriptedService service;
    service.installerError = QStringLiteral("No such file or directory");
    MainWindow window(service);
    window.InstallService();
    QCOMPARE(boxes.shown.size(), 1);
    QCOMPARE(boxes.shown[0].text, service.installerError);
    QCOMPARE(boxes.shown[0].title, Text(texts::kOsErrorTitle));
    QCOMPARE(int(boxes.shown[0].icon), int(MessageIcon::kError));

    // Started, but the server reports that it could not install.
    ScriptedService refusing;
    MainWindow second(refusing);
    second.InstallService();
    QVERIFY(refusing.installerEnded);
    refusing.installerEnded(zevra::kExitInstallFailed);
    QCOMPARE(boxes.shown.size(), 3);
    QCOMPARE(boxes.shown[1].text, Text(texts::kInstallSent));
    QCOMPARE(boxes.shown[2].text, Text(texts::kInstallFailed));
    QCOMPARE(int(boxes.shown[2].icon), int(MessageIcon::kError));
  }

  void uninstallEmptiesTheLogAndReportsAFailedRemove() {
    RecordingMessages boxes;
    ScriptedService service;
    service.state = kServiceStopped;
    service.description = QStringLiteral("描述");
    MainWindow window(service);
    window.RefreshServiceState();
    window.UninstallService();
    QCOMPARE(service.Count("installer:/remove"), 1);
    QCOMPARE(boxes.shown.size(), 1);
    QCOMPARE(boxes.shown[0].text, Text(texts::kUninstallSent));
    QCOMPARE(window.LogBox()->toPlainText(), QString());
    service.installerEnded(zevra::kExitRemoveFailed);
    QCOMPARE(boxes.shown.size(), 2);
    QCOMPARE(boxes.shown[1].text, Text(texts::kUninstallFailed));
  }
};

QTEST_MAIN(ServiceControlTest)
#include "ServiceControlTest.moc"
