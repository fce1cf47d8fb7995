// The settings page against a real settings file: the values it shows, the
// limits and refusals of the apply, what the file keeps, what the server
// reads back, and the restart's waits on a clock of the test's own.
#include <QCheckBox>
#include <QLineEdit>
#include <QPushButton>
#include <QtTest>
#include <deque>
#include <memory>

#include "../hosts/ConsoleTestSupport.h"
#include "common/Profile.h"
#include "manager/settings/SettingsPage.h"
#include "server/process/Settings.h"

using namespace zevra;
using namespace zevra::manager;
using namespace zevra::manager::testing;

namespace {

const QString kRunning = QStringLiteral("正在运行");
const QString kStopped = QStringLiteral("已经停止");
const QString kAsk = QStringLiteral(
    "成功应用了最新设置。\r\n如果需要立即生效，你需要重新启动服务。\r\n现在就想重新启动服务，并生效设置吗？");
const QString kInEffect = QStringLiteral("最新设置已经生效。");

// A service whose label the test moves; counts the actions.
class FakeService : public SettingsService {
 public:
  QString StatusText() const override { return status; }
  void StopService() override {
    ++stops;
    status = QStringLiteral("正在停止...");
  }
  void StartService() override {
    ++starts;
    status = QStringLiteral("正在启动...");
  }
  bool IsRestricted() const override { return restricted; }
  QString status = QStringLiteral("正在运行");
  int stops = 0;
  int starts = 0;
  bool restricted = false;
};

// The page's timer: callbacks wait in a queue; the test runs them one by
// one, each advancing the clock by its delay.
struct ManualClock {
  std::deque<std::pair<int, std::function<void()>>> pending;
  int64_t now = 0;
  PollScheduler Scheduler() {
    return [this](int ms, std::function<void()> callback) { pending.emplace_back(ms, std::move(callback)); };
  }
  // Runs at most limit callbacks; gives how many ran.
  int Run(int limit, const std::function<void(int polls)>& beforeEach = {}) {
    int ran = 0;
    while (!pending.empty() && ran < limit) {
      auto [ms, callback] = std::move(pending.front());
      pending.pop_front();
      now += ms;
      if (beforeEach) beforeEach(ran);
      callback();
      ++ran;
    }
    return ran;
  }
};

struct Fixture {
  Fixture() {
    dir.Write("Config/Zevra.ini", "[Listen]\nPort=80\n");
    Make();
  }
  void Make() {
    page = std::make_unique<SettingsPage>(ConfigPath(), service);
    page->SetPollScheduler(clock.Scheduler());
    page->LoadSettings();
  }
  std::string ConfigPath() const { return dir.File("Config/Zevra.ini").toStdString(); }
  QLineEdit* Field(SettingsPage::Field f) const { return page->NumberField(f); }
  std::string Read(const char* section, const char* key) const {
    return ReadProfileString(ConfigPath(), section, key, "<missing>");
  }
  ProgramDirectory dir;
  RecordingBoxes boxes;
  FakeService service;
  ManualClock clock;
  std::unique_ptr<SettingsPage> page;
};

}  // namespace

class SettingsPageTest : public QObject {
  Q_OBJECT

 private slots:
  void ShowsTheFileWithTheConsolesDefaults() {
    Fixture f;
    f.dir.Write("Config/Zevra.ini", "[Listen]\nPort=8080x\n[Settings]\nDebug=tRuE\nEnableGZIP=yes\nServerAdmin=me@host\n");
    f.Make();
    QCOMPARE(f.Field(SettingsPage::kPort)->text(), QStringLiteral("8080"));
    QCOMPARE(f.Field(SettingsPage::kMaxConn)->text(), QStringLiteral("1024"));
    QCOMPARE(f.Field(SettingsPage::kConnections)->text(), QStringLiteral("10240"));
    QCOMPARE(f.Field(SettingsPage::kKeepAlive)->text(), QStringLiteral("60000"));
    QVERIFY(f.page->CheckBox(SettingsPage::kDebug)->isChecked());
    QVERIFY(!f.page->CheckBox(SettingsPage::kEnableGZIP)->isChecked());
    QVERIFY(f.page->CheckBox(SettingsPage::kDirectoryListing)->isChecked());
    QCOMPARE(f.page->AdminField()->text(), QStringLiteral("me@host"));
    // A missing MaxConn is written as the 1024 shown.
    f.boxes.answerYes = false;
    f.page->ApplySettings();
    QCOMPARE(f.Read("Performance", "MaxConn"), std::string("1024"));
    QCOMPARE(f.boxes.LastText(), kAsk);
  }

  void LimitsCorrectTheFieldsInOrder_data() {
    QTest::addColumn<int>("field");
    QTest::addColumn<QString>("typed");
    QTest::addColumn<QString>("written");
    QTest::addColumn<QString>("message");
    const QString port = QStringLiteral("端口数应该在 1-65534 之间。");
    QTest::newRow("port 65535") << int(SettingsPage::kPort) << "65535" << "65534" << port;
    QTest::newRow("port 0") << int(SettingsPage::kPort) << "0" << "1" << port;
    QTest::newRow("port 80") << int(SettingsPage::kPort) << "80" << "80" << QString();
    QTest::newRow("keep-alive 0") << int(SettingsPage::kKeepAlive) << "0" << "0" << QString();
    QTest::newRow("keep-alive 999") << int(SettingsPage::kKeepAlive) << "999" << "5000"
                                    << QStringLiteral("启用超时时间则设置不可小于 1000 毫秒，若超时时间为 0 则关闭超时功能。");
    QTest::newRow("keep-alive 1000") << int(SettingsPage::kKeepAlive) << "1000" << "1000" << QString();
    QTest::newRow("buffer 81921") << int(SettingsPage::kBuffer) << "81921" << "40960"
                                  << QStringLiteral("流缓冲不应该超过 81920。");
    QTest::newRow("buffer 81920") << int(SettingsPage::kBuffer) << "81920" << "81920" << QString();
    QTest::newRow("connections 30001") << int(SettingsPage::kConnections) << "30001" << "30000"
                                       << QStringLiteral("并发连接数不应该超过 30000。");
    QTest::newRow("max conn 30001") << int(SettingsPage::kMaxConn) << "30001" << "30000"
                                    << QStringLiteral("最大连接数不应该超过 30000。");
  }
  void LimitsCorrectTheFieldsInOrder() {
    QFETCH(int, field);
    QFETCH(QString, typed);
    QFETCH(QString, written);
    QFETCH(QString, message);
    Fixture f;
    f.boxes.answerYes = false;
    f.Field(SettingsPage::Field(field))->setText(typed);
    f.page->ApplySettings();
    QCOMPARE(f.Field(SettingsPage::Field(field))->text(), written);
    QStringList expected;
    if (!message.isEmpty()) expected << message;
    expected << kAsk;
    QCOMPARE(f.boxes.Texts(), expected);
    if (!message.isEmpty()) {
      QCOMPARE(f.boxes.shown[0].title, QStringLiteral("警告"));
      QVERIFY(f.boxes.shown[0].icon == MessageIcon::kWarning);
    }
    const std::string key[] = {"Port", "", "", "KeepAlive", "", "", "", "", "", "Buffer", "", "MaxConn"};
    const char* section = field == SettingsPage::kPort ? "Listen" : "Performance";
    const std::string name = field == SettingsPage::kConnections ? "Connections" : key[field];
    QCOMPARE(QString::fromStdString(f.Read(section, name.c_str())), written);
  }

  void NumbersTheServerWouldMisreadAreRefused() {
    for (const char* typed : {"abc", "-5", "12x", "", "4294967296"}) {
      Fixture f;
      f.Field(SettingsPage::kKeepAlive)->setText(typed);
      f.page->ApplySettings();
      QCOMPARE(f.boxes.shown.size(), size_t(1));
      QCOMPARE(f.boxes.LastText(), QStringLiteral("超时时间（毫秒） 应该是一个不小于 0 的整数。"));
      QCOMPARE(f.dir.Read("Config/Zevra.ini"), QByteArray("[Listen]\nPort=80\n"));
    }
  }

  void AnApplyKeepsEverythingElseInTheFile() {
    Fixture f;
    const QByteArray before =
        "\xEF\xBB\xBF; Zevra settings\r\n[Listen]\r\nPort=8080\r\n\r\n[Performance]\r\n; tuned\r\nUnknown=7\r\n"
        "Buffer=40960\r\n\r\n[Listen]\r\nPort=1\r\n[Custom]\r\nKey=Value\r\n";
    f.dir.Write("Config/Zevra.ini", before);
    f.Make();
    f.Field(SettingsPage::kPort)->setText("8181");
    f.boxes.answerYes = false;
    f.page->ApplySettings();
    const QByteArray after = f.dir.Read("Config/Zevra.ini");
    QVERIFY(after.startsWith("\xEF\xBB\xBF; Zevra settings\r\n[Listen]\r\nPort=8181\r\n"));
    for (const char* kept : {"; tuned\r\n", "Unknown=7\r\n", "[Listen]\r\nPort=1\r\n", "[Custom]\r\nKey=Value\r\n"}) {
      QVERIFY2(after.contains(kept), kept);
    }
    QCOMPARE(after.count("\n"), after.count("\r\n"));  // every line end stays CR LF
    QCOMPARE(after.count("Buffer="), 1);
    QVERIFY(!QFile::exists(f.dir.File("Config/Zevra.ini.~tmp")));
  }

  void TheServerReadsWhatTheConsoleWrote() {
    Fixture f;
    f.Field(SettingsPage::kPort)->setText("8123");
    f.Field(SettingsPage::kWorkerThreads)->setText("3");
    f.Field(SettingsPage::kGatewayTimeout)->setText("1234");
    f.page->CheckBox(SettingsPage::kDirectoryListing)->setChecked(false);
    f.page->CheckBox(SettingsPage::kWriteAccessLog)->setChecked(false);
    f.page->AdminField()->setText(QStringLiteral("  管理员@例子.test  "));
    f.boxes.answerYes = false;
    f.page->ApplySettings();
    const ServerSettings s = ReadServerSettings(ProfileFile::Load(f.ConfigPath()), 4096);
    QCOMPARE(s.Port, 8123);
    QCOMPARE(s.WorkerThreads, 3);
    QCOMPARE(s.GatewayTimeout, 1234);
    QCOMPARE(s.Connections, 10240);
    QCOMPARE(s.MaxConn, 1024);
    QCOMPARE(s.KeepAlive, 60000);
    QVERIFY(!s.DirectoryListing && !s.WriteAccessLog && s.Debug && s.EnableGZIP);
    QCOMPARE(QString::fromStdString(s.ServerAdmin), QStringLiteral("  管理员@例子.test  "));
    QCOMPARE(f.Read("Settings", "Debug"), std::string("True"));
    QCOMPARE(f.Read("Settings", "DirectoryListing"), std::string("False"));
  }

  void AnAdministratorThatWouldAddKeysIsRefused() {
    Fixture f;
    f.page->AdminField()->setText(QStringLiteral("x\n[Listen]\nPort=1"));
    f.page->ApplySettings();
    f.page->AdminField()->setText(QString(128, QLatin1Char('w')));
    f.page->ApplySettings();
    QCOMPARE(f.boxes.Texts(), QStringList(2, QStringLiteral("服务器管理员 不能包含换行符，且不能超过 127 个字符。")));
    QCOMPARE(f.dir.Read("Config/Zevra.ini"), QByteArray("[Listen]\nPort=80\n"));
  }

  void AFailedWriteIsReported() {
    Fixture f;
    ::chmod(f.dir.File("Config").toLocal8Bit().constData(), 0555);
    {
      WithoutRootRights user;
      QVERIFY(user.Ok());
      f.page->ApplySettings();
    }
    ::chmod(f.dir.File("Config").toLocal8Bit().constData(), 0755);
    QCOMPARE(f.boxes.shown.size(), size_t(1));  // no "applied", no restart question
    QCOMPARE(f.boxes.shown[0].title, QStringLiteral("保存失败"));
    QVERIFY(f.boxes.LastText().contains(QStringLiteral("OS信息 : (13) ")));
    QCOMPARE(f.service.stops, 0);
  }

  void RestrictedAndNotInstalledWriteButDoNotRestart() {
    {
      Fixture f;
      f.service.restricted = true;
      f.service.status = QStringLiteral("没有权限");
      f.Field(SettingsPage::kPort)->setText("81");
      f.page->ApplySettings();
      QCOMPARE(f.Read("Listen", "Port"), std::string("81"));
      QCOMPARE(f.boxes.Texts().size(), 2);
      QCOMPARE(f.boxes.shown[1].title, QStringLiteral("权限警告"));
      QVERIFY(f.boxes.shown[1].icon == MessageIcon::kError);
      QCOMPARE(f.service.stops + f.service.starts, 0);
    }
    {
      Fixture f;
      f.service.status = QStringLiteral("找不到服务");
      f.Field(SettingsPage::kPort)->setText("82");
      f.page->ApplySettings();
      QCOMPARE(f.Read("Listen", "Port"), std::string("82"));
      QCOMPARE(f.boxes.shown.size(), size_t(1));
      QVERIFY(f.boxes.LastText().startsWith(QStringLiteral("最新设置已经保存。")));
      QCOMPARE(f.service.stops + f.service.starts, 0);
    }
  }

  void RestartWaitsForBothStates() {
    Fixture f;
    f.page->ApplySettings();
    QCOMPARE(f.service.stops, 1);
    QVERIFY(!f.page->ApplyButton()->isEnabled());
    f.page->ApplySettings();  // no second apply while the first waits
    QCOMPARE(f.service.stops, 1);
    // Stopped at the third poll, running at the second poll after the start.
    const int ran = f.clock.Run(20, [&](int poll) {
      if (poll == 2) f.service.status = kStopped;
      if (poll == 4) f.service.status = kRunning;
    });
    QCOMPARE(ran, 5);
    QCOMPARE(f.clock.now, int64_t(2500));
    QCOMPARE(f.service.starts, 1);
    QCOMPARE(f.boxes.LastText(), kInEffect);
    QVERIFY(f.page->ApplyButton()->isEnabled());
  }

  void ATimedOutStopSharesTheCounterWithTheStart() {
    Fixture f;
    f.page->ApplySettings();
    const int ran = f.clock.Run(100);
    // 30 polls for the stop; the start wait ends after its first poll.
    QCOMPARE(ran, 31);
    QCOMPARE(f.clock.now, int64_t(31 * 500));
    QStringList titles;
    for (const MessageRequest& r : f.boxes.shown) titles << r.title;
    QCOMPARE(titles.mid(1), (QStringList{"停止失败", "启动失败", "泽瓦个人网站服务器"}));
    QVERIFY(f.boxes.LastText() != kInEffect);
    QVERIFY(f.boxes.LastText().contains(QStringLiteral("尚未生效")));
    QCOMPARE(f.service.starts, 1);

    // A start that comes up in time after a stop that did not.
    Fixture g;
    g.page->ApplySettings();
    g.clock.Run(100, [&](int poll) {
      if (poll == 30) g.service.status = kRunning;
    });
    QCOMPARE(g.boxes.shown[1].title, QStringLiteral("停止失败"));
    QVERIFY(g.boxes.LastText().contains(QStringLiteral("尚未生效")));
  }

  void AWindowClosedMidWaitIsLeftAlone() {
    Fixture f;
    f.page->ApplySettings();
    f.clock.Run(3);
    QVERIFY(!f.clock.pending.empty());
    const size_t boxesBefore = f.boxes.shown.size();
    f.page.reset();  // the window goes while a poll is queued
    f.service.status = kStopped;
    QCOMPARE(f.clock.Run(10), 1);  // the queued poll runs and finds no page
    QCOMPARE(f.service.starts, 0);
    QCOMPARE(f.boxes.shown.size(), boxesBefore);

    // Closed while the stop's time-out message is up.
    Fixture g;
    g.page->ApplySettings();
    g.boxes.onShow = [&](const MessageRequest& r) {
      if (r.title == QStringLiteral("停止失败")) g.page.reset();
    };
    g.clock.Run(100);
    QCOMPARE(g.service.starts, 0);
    QCOMPARE(g.boxes.shown.back().title, QStringLiteral("停止失败"));
  }
};

QTEST_MAIN(SettingsPageTest)
#include "SettingsPageTest.moc"
