// The console's start-up in a temporary program directory with scripted
// seams: captions and title, the elevation rule with its restricted mode,
// the single-instance refusal, the missing settings file, the order of the
// other areas' hooks, and the memory text.
#include <QAction>
#include <QApplication>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QLockFile>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

#include "common/Product.h"
#include "manager/app/ConsoleTexts.h"
#include "manager/app/MainWindow.h"
#include "manager/app/MemoryStatus.h"
#include "platform/System.h"
#include "tests/manager/app/ConsoleFakes.h"

using namespace zevra::manager;
using namespace zevra::manager::testing;
using texts::ScreenText;
using texts::Text;

namespace {

struct Console {
  QTemporaryDir dir;
  ScriptedService service;
  StubElevator elevator;
  ConsoleEnvironment env;
  std::unique_ptr<InstanceLock> lock;

  explicit Console(bool withSettings = true) {
    if (withSettings) {
      QDir(dir.path()).mkpath(QStringLiteral("Config"));
      QFile ini(dir.filePath(QStringLiteral("Config/Zevra.ini")));
      ini.open(QIODevice::WriteOnly);
      ini.write("[Listen]\nPort=8080\n");
    }
    env.programDirectory = dir.path();
    env.arguments = {QStringLiteral("ZevraManager")};
    env.lockPath = dir.filePath(QStringLiteral("console.lock"));
    env.service = &service;
    env.elevator = &elevator;
    env.memoryText = [] { return QStringLiteral("memory"); };
  }
  StartupResult Start() { return StartConsole(env, lock); }
};

QStringList MenuTexts(QMenuBar* bar) {
  QStringList all;
  for (QAction* menu : bar->actions()) {
    all << menu->text();
    for (QAction* entry : menu->menu()->actions()) all << QStringLiteral("  ") + entry->text();
  }
  return all;
}

}  // namespace

class StartupTest : public QObject {
  Q_OBJECT

 private slots:
  void elevatedConsoleShowsItsCaptions() {
    RecordingMessages boxes;
    Console console;
    console.elevator.elevated = true;
    console.service.state = kServiceStopped;
    console.service.description = QStringLiteral("泽瓦个人网站服务器工作进程。");
    StartupResult started = console.Start();
    QVERIFY(started.window);
    MainWindow& window = *started.window;
    QCOMPARE(boxes.shown.size(), 0);
    QCOMPARE(window.objectName(), QStringLiteral("ZEVRA_GUI_MAIN"));
    QCOMPARE(window.TitleLabel()->text(), QStringLiteral("管理员：泽瓦个人网站服务器 Ver.0.2.9"));
    QCOMPARE(window.VersionLabel()->text(), QStringLiteral("Zevra/0.2.9"));
    QCOMPARE(window.windowTitle(), QStringLiteral("泽瓦个人网站服务器"));
    // The first state's line stays after the description.
    QCOMPARE(window.LogBox()->toPlainText(), console.service.description + ScreenText(texts::kLogStopped));
    QCOMPARE(window.MemoryPart()->text(), QStringLiteral("memory"));
    AboutDialog* about = window.About();
    QVERIFY(about);
    QCOMPARE(about->objectName(), QStringLiteral("ZEVRA_GUI_ABOUT"));
    QCOMPARE(about->windowTitle(), QStringLiteral("关于 泽瓦个人网站服务器"));
    QVERIFY(about->findChild<QLabel*>(QStringLiteral("aboutVersion")));
    QCOMPARE(about->findChild<QLabel*>(QStringLiteral("aboutVersion"))->text(), QStringLiteral("主程序版本：Zevra/0.2.9"));
    QCOMPARE(about->findChild<QLabel*>(QStringLiteral("aboutName"))->text(), QStringLiteral("泽瓦个人网站服务器"));
    QCOMPARE(MenuTexts(window.menuBar()),
             (QStringList{"文件(&F)", "  启动服务(&S)...", "  停止服务(&T)...", "  退出(&Q)...", "虚拟主机(&V)",
                          "  新建网站...(&N)", "  编辑网站...(&E)", "  删除网站...(&D)", "  刷新(&R)", "帮助(&H)",
                          "  软件网站(&W)", "  关于(&A)..."}));
    QCOMPARE(window.Tabs()->count(), 2);
    QCOMPARE(window.Tabs()->tabText(0), QStringLiteral("虚拟主机"));
    QCOMPARE(window.Tabs()->tabText(1), QStringLiteral("服务器设置"));
    // The offscreen desktop has no tray: the console runs without one.
    QVERIFY(!window.TrayIcon());
    QVERIFY(window.StatusTimer()->isActive());
    QCOMPARE(window.StatusTimer()->interval(), 1000);
    QVERIFY(window.MemoryTimer()->isActive());
    QVERIFY(console.elevator.asked.isEmpty());  // no relaunch when elevated

    // Log-off closes the about box.
    about->show();
    window.OnSessionEnding();
    QVERIFY(!about->isVisible());
  }

  void refusedElevationEntersRestrictedMode_data() {
    QTest::addColumn<int>("status");
    QTest::newRow("refused") << 126;
    QTest::newRow("no agent") << 127;
    QTest::newRow("other") << 1;
  }
  void refusedElevationEntersRestrictedMode() {
    QFETCH(int, status);
    RecordingMessages boxes;
    Console console;
    console.service.state = kServiceStopped;
    console.elevator.command = {QStringLiteral("/bin/sh"), QStringLiteral("-c"),
                                QStringLiteral("exit %1").arg(status)};
    bool clickableDuringPrompt = true;
    console.elevator.onRelaunch = [&] {
      for (QWidget* w : QApplication::topLevelWidgets()) {
        if (w->objectName() == QLatin1String("ZEVRA_GUI_MAIN")) clickableDuringPrompt = w->isEnabled();
      }
    };
    StartupResult started = console.Start();
    QVERIFY(started.window);
    MainWindow& window = *started.window;
    QVERIFY(console.elevator.asked.contains(QLatin1String(kElevatedCopyArgument)));
    QVERIFY(!clickableDuringPrompt);
    QVERIFY(window.isEnabled());
    QCOMPARE(boxes.shown.size(), 1);
    QCOMPARE(boxes.shown[0].text, Text(texts::kElevationRefused));
    QCOMPARE(boxes.shown[0].title, Text(texts::kErrorTitle));
    QCOMPARE(int(boxes.shown[0].icon), int(MessageIcon::kError));
    QVERIFY(window.IsRestricted());
    QCOMPARE(window.TitleLabel()->text(), QStringLiteral("泽瓦个人网站服务器 Ver.0.2.9"));
    for (QPushButton* b : {window.InstallButton(), window.UninstallButton(), window.StartButton(), window.StopButton(),
                           window.RefreshButton()}) {
      QVERIFY2(!b->isEnabled(), qPrintable(b->text()));
    }
    QVERIFY(!window.StartMenuEntry()->isEnabled() && !window.StopMenuEntry()->isEnabled());
    QVERIFY(!window.StatusTimer()->isActive());
    QVERIFY(!window.MemoryTimer()->isActive());
    QCOMPARE(window.StatusText(), Text(texts::kStatusNoRights));
    QCOMPARE(window.StatePart()->text(), Text(texts::kStatusNoRights));
    // The settings page and the host list stay usable.
    QVERIFY(window.Tabs()->isEnabled());
    // The lock is ours again.
    QVERIFY(console.lock->Held());
    QLockFile other(console.env.lockPath);
    QVERIFY(!other.tryLock(0));
  }

  void relaunchedCopyNeverAsksAgain() {
    RecordingMessages boxes;
    Console console;
    console.env.arguments << QLatin1String(kElevatedCopyArgument) << QStringLiteral("nobody-listens")
                          << QLatin1String(kLockArgument) << console.dir.filePath(QStringLiteral("handed.lock"));
    console.elevator.command = {QStringLiteral("/bin/false")};
    StartupResult started = console.Start();
    QVERIFY(started.window);
    QVERIFY(console.elevator.asked.isEmpty());
    QVERIFY(started.window->IsRestricted());
    QCOMPARE(console.lock->Path(), console.dir.filePath(QStringLiteral("handed.lock")));
  }

  void secondCopyIsRefused() {
    RecordingMessages boxes;
    Console console;
    console.elevator.elevated = true;
    InstanceLock first(console.env.lockPath);
    QVERIFY(first.Acquire());
    StartupResult started = console.Start();
    QVERIFY(!started.window);
    QCOMPARE(boxes.shown.size(), 1);
    QCOMPARE(boxes.shown[0].text, Text(texts::kAlreadyRunning));
    QCOMPARE(boxes.shown[0].title, QStringLiteral("泽瓦个人网站服务器"));
    QCOMPARE(int(boxes.shown[0].icon), int(MessageIcon::kInformation));
    QVERIFY(first.Held());
    QCOMPARE(console.service.Count("query"), 0);  // it ended before looking at the service
  }

  void missingSettingsFileEndsTheConsole() {
    RecordingMessages boxes;
    Console console(false);
    console.elevator.elevated = true;
    bool settingsLoaded = false;
    console.env.hooks.loadSettings = [&](MainWindow&, const QString&) { settingsLoaded = true; };
    StartupResult started = console.Start();
    QVERIFY(!started.window);
    QCOMPARE(boxes.shown.size(), 1);
    QCOMPARE(boxes.shown[0].title, Text(texts::kOsErrorTitle));
    QCOMPARE(int(boxes.shown[0].icon), int(MessageIcon::kError));
    // The system's own text for a file that is not there.
    QCOMPARE(boxes.shown[0].text, QString::fromStdString(zevra::platform::SystemErrorText(2)).trimmed());
    QVERIFY(!boxes.shown[0].text.isEmpty());
    QVERIFY(!settingsLoaded);
  }

  void hooksRunInTheirPlaces() {
    RecordingMessages boxes;
    Console console;
    console.elevator.elevated = true;
    QStringList order;
    console.env.hooks.decorate = [&](QWidget& w) {
      order << QStringLiteral("decorate");
      QVERIFY(!w.isVisible());
    };
    console.env.hooks.loadSettings = [&](MainWindow& w, const QString& path) {
      order << QStringLiteral("settings:") + QFileInfo(path).fileName();
      QVERIFY(w.isVisible());
      QVERIFY(QFile::exists(path));
    };
    console.env.hooks.loadHosts = [&](MainWindow&, const QString& dir) {
      order << QStringLiteral("hosts");
      QCOMPARE(dir, console.env.programDirectory);
    };
    console.env.hooks.startUpdateCheck = [&](MainWindow& w) {
      order << QStringLiteral("update");
      QVERIFY(!w.StatusTimer()->isActive());  // the timers start last
    };
    StartupResult started = console.Start();
    QVERIFY(started.window);
    QCOMPARE(order, (QStringList{"decorate", "settings:Zevra.ini", "hosts", "update"}));
    // An area's page takes the place of its tab; the host list stays in
    // front whichever page comes first.
    QTabWidget* tabs = started.window->Tabs();
    auto* settings = new QWidget;
    auto* hosts = new QWidget;
    started.window->SetSettingsPage(settings);
    started.window->SetHostsPage(hosts);
    QCOMPARE(tabs->count(), 2);
    QCOMPARE(tabs->widget(1), settings);
    QCOMPARE(tabs->tabText(1), QStringLiteral("服务器设置"));
    QCOMPARE(tabs->widget(0), hosts);
    QCOMPARE(tabs->tabText(0), QStringLiteral("虚拟主机"));
    QCOMPARE(tabs->currentIndex(), 0);
  }

  void memoryText_data() {
    QTest::addColumn<QByteArray>("meminfo");
    QTest::addColumn<QString>("text");
    QTest::newRow("half used") << QByteArray("MemTotal: 16384000 kB\nMemFree: 1 kB\nMemAvailable: 8192000 kB\n")
                               << QStringLiteral("系统内存：8000.00 MB/16000 MB，使用率：50%");
    // 128 KiB = 0.125 MiB rounds up, 127 KiB = 0.1240 MiB rounds down.
    QTest::newRow("half hundredth up") << QByteArray("MemTotal: 1048576 kB\nMemAvailable: 1048448 kB\n")
                                       << QStringLiteral("系统内存：0.13 MB/1024 MB，使用率：0%");
    QTest::newRow("below half hundredth") << QByteArray("MemTotal: 1048576 kB\nMemAvailable: 1048449 kB\n")
                                          << QStringLiteral("系统内存：0.12 MB/1024 MB，使用率：0%");
    // Load: 0.5 % rounds to 1, 0.33 % to 0; total MiB is cut, not rounded.
    QTest::newRow("load half up") << QByteArray("MemTotal: 2000 kB\nMemAvailable: 1990 kB\n")
                                  << QStringLiteral("系统内存：0.01 MB/1 MB，使用率：1%");
    QTest::newRow("load down") << QByteArray("MemTotal: 3000 kB\nMemAvailable: 2990 kB\n")
                               << QStringLiteral("系统内存：0.01 MB/2 MB，使用率：0%");
    QTest::newRow("old kernel") << QByteArray("MemTotal: 4096 kB\nMemFree: 1024 kB\nBuffers: 512 kB\nCached: 512 kB\n")
                                << QStringLiteral("系统内存：2.00 MB/4 MB，使用率：50%");
    QTest::newRow("all used") << QByteArray("MemTotal: 2048 kB\nMemAvailable: 0 kB\n")
                              << QStringLiteral("系统内存：2.00 MB/2 MB，使用率：100%");
  }
  void memoryText() {
    QFETCH(QByteArray, meminfo);
    QFETCH(QString, text);
    MemoryFigures figures;
    QVERIFY(ParseMeminfo(meminfo, figures));
    QCOMPARE(MemoryStatusText(figures), text);
  }

  void memoryTextNeedsATotal() {
    MemoryFigures figures;
    QVERIFY(!ParseMeminfo("MemFree: 12 kB\n", figures));
    QVERIFY(!ParseMeminfo("MemTotal: 0 kB\n", figures));
    // This machine's own figures.
    const QString text = ReadMemoryStatusText();
    QVERIFY2(QRegularExpression(QStringLiteral("^系统内存：\\d+\\.\\d\\d MB/\\d+ MB，使用率：\\d{1,3}%$"))
                 .match(text)
                 .hasMatch(),
             qPrintable(text));
  }
};

QTEST_MAIN(StartupTest)
#include "StartupTest.moc"
