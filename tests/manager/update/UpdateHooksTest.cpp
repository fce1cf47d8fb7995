// The update check and the shadow joined to the real main window through
// the start-up hooks: where the update row lands, what the website entry
// does now, and that the decoration puts a shadow on the window.
#include <QAction>
#include <QBoxLayout>
#include <QDesktopServices>
#include <QLabel>
#include <QSettings>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTest>

#include "manager/app/ConsoleHooks.h"
#include "manager/app/ConsoleTexts.h"
#include "manager/app/MainWindow.h"
#include "manager/skin/SkinHooks.h"
#include "manager/update/UpdateCheck.h"
#include "manager/update/UpdateHooks.h"
#include "platform/Account.h"
#include "tests/manager/app/ConsoleFakes.h"

using namespace zevra::manager;

// Takes the desktop's http addresses instead of a browser.
class BrowserStandIn : public QObject {
  Q_OBJECT
 public:
  QList<QUrl> opened;
 public slots:
  void Open(const QUrl& url) { opened << url; }
};

class UpdateHooksTest : public QObject {
  Q_OBJECT

 private slots:
  void startUpHooksJoinTheMainWindow() {
    QTemporaryDir home;
    QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, home.path());
    quint16 port = 0;
    {
      QTcpServer probe;
      QVERIFY(probe.listen(QHostAddress::LocalHost, 0));
      port = probe.serverPort();
    }
    const QString server = QStringLiteral("http://127.0.0.1:%1").arg(port);
    QSettings(ConsoleSettingsFile(), QSettings::IniFormat).setValue(QLatin1String(kUpdateServerKey), server);

    BrowserStandIn browser;
    QDesktopServices::setUrlHandler(QStringLiteral("http"), &browser, "Open");
    testing::RecordingMessages messages;
    testing::ScriptedService service;
    MainWindow window(service);

    ConsoleHooks hooks;
    InstallSkinHooks(hooks);
    InstallUpdateHooks(hooks);
    QVERIFY(hooks.decorate && hooks.startUpdateCheck);
    hooks.decorate(window);
    QVERIFY(window.findChild<QWidget*>(QStringLiteral("WndShadow")) != nullptr);

    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    UpdateController* controller = AttachUpdateCheck(window);
    QSignalSpy finished(controller, &UpdateController::CheckFinished);
    controller->CheckForUpdate();
    QVERIFY(finished.wait(15000));

    // The row sits right under the window's own version caption.
    auto* row = window.findChild<QWidget*>(QStringLiteral("updateRow"));
    QVERIFY(row != nullptr);
    auto* box = qobject_cast<QBoxLayout*>(window.VersionLabel()->parentWidget()->layout());
    QVERIFY(box != nullptr);
    QCOMPARE(box->indexOf(row), box->indexOf(window.VersionLabel()) + 1);
    auto* latest = row->findChild<QLabel*>(QStringLiteral("latestVersionLabel"));
    QVERIFY(latest != nullptr);
    QCOMPARE(latest->text(), QStringLiteral("无法连接到服务器"));
    QVERIFY(!row->findChild<QLabel*>(QStringLiteral("updateWindowLink"))->isVisible());

    // The website entry opens the update page, and nothing else: the
    // window's own handler is off it. A root console names the address.
    QAction* website = nullptr;
    for (QAction* action : window.findChildren<QAction*>())
      if (action->text() == texts::Text(texts::kWebsiteMenu)) website = action;
    QVERIFY(website != nullptr);
    messages.shown.clear();
    website->trigger();
    const QUrl page(server + QStringLiteral("/zevra.php"));
    if (zevra::platform::RunsElevated()) {
      QCOMPARE(messages.shown.size(), 1);
      QVERIFY(messages.shown.at(0).text.contains(page.toString()));
      QVERIFY(browser.opened.isEmpty());
    } else {
      QCOMPARE(browser.opened, QList<QUrl>{page});
      QVERIFY(messages.shown.isEmpty());
    }
    QDesktopServices::unsetUrlHandler(QStringLiteral("http"));
  }
};

QTEST_MAIN(UpdateHooksTest)
#include "UpdateHooksTest.moc"
