// The update check against a real Zevra worker on loopback serving the
// version file and the update page, and against a small server of the
// test's own for the answers no good server gives (stalls, trickles,
// oversize bodies, error pages that name the product).
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QLabel>
#include <QProcess>
#include <QPushButton>
#include <QSettings>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>
#include <QTimer>

#include <memory>

#include "manager/update/UpdateCheck.h"
#include "manager/update/UpdateWindow.h"

using namespace zevra::manager;

Q_DECLARE_METATYPE(zevra::manager::UpdateState)

namespace {

constexpr char kDesignNotice[] = "design-time notice";

quint16 FreePort() {
  QTcpServer probe;
  if (!probe.listen(QHostAddress::LocalHost, 0)) return 0;
  return probe.serverPort();
}

// A `Zevra /worker` in a temporary copy of the program directory, on a free
// loopback port; ended by its own pid when the test is done.
class ZevraWorker {
 public:
  bool Start(QString& why) {
    const QString source = qEnvironmentVariable("ZEVRA_DIR");
    if (source.isEmpty() || !dir_.isValid()) {
      why = QStringLiteral("ZEVRA_DIR is not set");
      return false;
    }
    QDir root(dir_.path());
    for (const char* name : {"Zevra", "libZevra.Socket.so", "libgzip.so"}) {
      const QString from = QDir(source).filePath(QLatin1String(name));
      if (QFile::exists(from) && !QFile::copy(from, root.filePath(QLatin1String(name)))) {
        why = QStringLiteral("cannot copy ") + from;
        return false;
      }
    }
    QFile::setPermissions(root.filePath(QStringLiteral("Zevra")),
                          QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    for (const char* folder : {"Config", "Hosts", "WebRoot", "WebLogs", "WebTemp", "WebCache"})
      root.mkpath(QLatin1String(folder));
    port_ = FreePort();
    Write(QStringLiteral("Config/Zevra.ini"),
          QStringLiteral("[Listen]\r\nPort=%1\r\n[Performance]\r\nWorkerThreads=2\r\n").arg(port_).toUtf8());
    process_.setWorkingDirectory(root.path());
    process_.setProgram(root.filePath(QStringLiteral("Zevra")));
    process_.setArguments({QStringLiteral("/worker")});
    process_.start();
    if (!process_.waitForStarted(10000)) {
      why = QStringLiteral("worker did not start");
      return false;
    }
    QElapsedTimer waited;
    waited.start();
    while (waited.elapsed() < 15000) {
      if (process_.state() != QProcess::Running) break;
      QTcpSocket probe;
      probe.connectToHost(QHostAddress::LocalHost, port_);
      if (probe.waitForConnected(500)) return true;
      QTest::qWait(50);
    }
    why = QStringLiteral("worker did not listen: ") + QString::fromUtf8(process_.readAllStandardError());
    return false;
  }

  ~ZevraWorker() {
    if (process_.state() != QProcess::NotRunning) {
      process_.kill();
      process_.waitForFinished(10000);
    }
  }

  void Write(const QString& relative, const QByteArray& data) {
    const QString full = QDir(dir_.path()).filePath(relative);
    QDir().mkpath(QFileInfo(full).path());
    QFile file(full);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(data);
  }

  QString ProgramDirectory() const { return dir_.path(); }
  QUrl Address(const QString& prefix = QString()) const {
    return QUrl(QStringLiteral("http://127.0.0.1:%1%2").arg(port_).arg(prefix));
  }

 private:
  QTemporaryDir dir_;
  QProcess process_;
  quint16 port_ = 0;
};

// Answers every request in one scripted way; counts connections.
class ScriptedServer : public QObject {
 public:
  enum class Mode { kStall, kTrickle, kAnswer };

  explicit ScriptedServer(Mode mode, QByteArray answer = {}) : mode_(mode), answer_(std::move(answer)) {
    QObject::connect(&server_, &QTcpServer::newConnection, this, [this] { Accept(); });
    server_.listen(QHostAddress::LocalHost, 0);
  }

  QUrl Address() const { return QUrl(QStringLiteral("http://127.0.0.1:%1").arg(server_.serverPort())); }
  int Connections() const { return connections_; }

 private:
  void Accept() {
    while (QTcpSocket* socket = server_.nextPendingConnection()) {
      ++connections_;
      socket->setParent(this);
      connect(socket, &QTcpSocket::readyRead, socket, [this, socket] {
        request_ += socket->readAll();
        if (!request_.contains("\r\n\r\n")) return;
        if (mode_ == Mode::kAnswer) {
          socket->write(answer_);
          socket->disconnectFromHost();
        } else if (mode_ == Mode::kTrickle) {
          socket->write("HTTP/1.1 200 OK\r\nContent-Length: 100000\r\n\r\n");
          auto* drip = new QTimer(socket);
          connect(drip, &QTimer::timeout, socket, [socket] { socket->write("Z"); });
          drip->start(100);
        }
        // kStall: read the request, say nothing.
      });
    }
  }

  QTcpServer server_;
  Mode mode_;
  QByteArray answer_;
  QByteArray request_;
  int connections_ = 0;
};

QByteArray HttpAnswer(const char* statusLine, const QByteArray& body) {
  return QByteArray(statusLine) + "\r\nContent-Type: text/html\r\nContent-Length: " +
         QByteArray::number(body.size()) + "\r\nConnection: close\r\n\r\n" + body;
}

// A stand-in for the main window: its labels, the controller, and what the
// controller handed to the browser and started.
struct Console {
  explicit Console(UpdateOptions options, bool root = false) {
    UpdateSeams seams;
    seams.openInBrowser = [this](const QUrl& url) { opened << url; return true; };
    seams.startProgram = [this](const QString& program) { started << program; return true; };
    seams.refusedElevated = [this](const QUrl& url) { refused << url; };
    seams.elevated = root;
    controller = new UpdateController({version, notice, windowLink, pageLink}, options, seams, &window);
  }

  QWidget window;
  QLabel* version = new QLabel(QStringLiteral("检查中"), &window);
  QLabel* notice = new QLabel(QString::fromUtf8(kDesignNotice), &window);
  QLabel* windowLink = new QLabel(QStringLiteral("<a href=\"#\">查看更新</a>"), &window);
  QLabel* pageLink = new QLabel(QStringLiteral("<a href=\"#\">项目网站</a>"), &window);
  UpdateController* controller = nullptr;
  QList<QUrl> opened;
  QList<QUrl> refused;
  QStringList started;
};

UpdateOptions ServerOptions(const QUrl& server) {
  UpdateOptions options;
  options.server = server;
  return options;
}

// Runs one check to its end; returns the state reported as a number, -1
// when none came within the wait.
int RunCheck(UpdateController& controller, int waitMs = 15000) {
  QSignalSpy finished(&controller, &UpdateController::CheckFinished);
  controller.CheckForUpdate();
  if (!finished.wait(waitMs)) return -1;
  return int(finished.at(0).at(0).value<UpdateState>());
}

}  // namespace

class UpdateTest : public QObject {
  Q_OBJECT

  std::unique_ptr<ZevraWorker> zevra_;

 private slots:
  void initTestCase() {
    qRegisterMetaType<UpdateState>();
    zevra_ = std::make_unique<ZevraWorker>();
    QString why;
    QVERIFY2(zevra_->Start(why), qPrintable(why));
  }

  void cleanupTestCase() { zevra_.reset(); }

  void versionFileFromZevra_data() {
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<int>("state");
    QTest::addColumn<QString>("label");

    QTest::newRow("same version") << QByteArray("Zevra/0.2.9") << int(UpdateState::kCurrent) << "Zevra/0.2.9";
    QTest::newRow("newer version") << QByteArray("Zevra/0.3.0") << int(UpdateState::kNewer) << "Zevra/0.3.0";
    QTest::newRow("other letter case") << QByteArray("zevra/0.2.9") << int(UpdateState::kNewer) << "zevra/0.2.9";
    QTest::newRow("line feed at the end") << QByteArray("Zevra/0.2.9\n") << int(UpdateState::kCurrent) << "Zevra/0.2.9";
    QTest::newRow("CR LF at the end") << QByteArray("Zevra/0.2.9\r\n") << int(UpdateState::kCurrent) << "Zevra/0.2.9";
    QTest::newRow("blank at the end counts") << QByteArray("Zevra/0.2.9 ") << int(UpdateState::kNewer) << "Zevra/0.2.9 ";
    QTest::newRow("page without the word") << QByteArray("<html><body><h1>Service Unavailable</h1></body></html>")
                                           << int(UpdateState::kUnreachable) << "无法连接到服务器";
    QTest::newRow("markup in the version")
        << QByteArray("<b>Zevra</b>/9 <img src=\"http://127.0.0.1:9/x.png\"><a href=\"http://127.0.0.1:9/\">go</a>")
        << int(UpdateState::kNewer)
        << "<b>Zevra</b>/9 <img src=\"http://127.0.0.1:9/x.png\"><a href=\"http://127.0.0.1:9/\">go</a>";
  }

  // Each row has a folder of its own below the worker's site, named in the
  // update server's address, so no row sees another's file.
  void versionFileFromZevra() {
    QFETCH(QByteArray, content);
    QFETCH(int, state);
    QFETCH(QString, label);
    const QString prefix = QStringLiteral("/row%1").arg(++row_);
    zevra_->Write(QStringLiteral("WebRoot") + prefix + QStringLiteral("/Zevra/version.txt"), content);

    Console console(ServerOptions(zevra_->Address(prefix)));
    console.window.show();
    QCOMPARE(RunCheck(*console.controller), state);
    QCOMPARE(console.version->text(), label);
    QCOMPARE(console.version->textFormat(), Qt::PlainText);

    const bool newer = state == int(UpdateState::kNewer);
    QCOMPARE(console.version->font().bold(), newer);
    QCOMPARE(console.version->palette().color(QPalette::WindowText) == QColor(Qt::red), newer);
    QCOMPARE(console.notice->isVisible(), state != int(UpdateState::kUnreachable));
    QCOMPARE(console.notice->text(), newer ? QStringLiteral("建议到项目网站下载更新，可以获取新功能和错误修复。")
                                          : QString::fromUtf8(kDesignNotice));
    QCOMPARE(console.windowLink->isVisible(), newer);
    QCOMPARE(console.pageLink->isVisible(), newer);
    QCOMPARE(console.controller->AttentionTimerActive(), newer);
    QCOMPARE(console.controller->LatestVersionText(), state == int(UpdateState::kUnreachable) ? QString() : label);
    if (newer) {
      // The timer pulses the notice's colour.
      const QColor before = console.notice->palette().color(QPalette::WindowText);
      QTRY_VERIFY_WITH_TIMEOUT(console.notice->palette().color(QPalette::WindowText) != before, 2000);
    }
    QVERIFY(console.opened.isEmpty());
    QVERIFY(console.started.isEmpty());
  }

  void answersThatAreNoVersion_data() {
    QTest::addColumn<QByteArray>("answer");
    const QByteArray page = "<html><body>Zevra/0.2.9: no such file</body></html>";
    QTest::newRow("404 naming the product") << HttpAnswer("HTTP/1.1 404 Not Found", page);
    QTest::newRow("500 naming the product") << HttpAnswer("HTTP/1.1 500 Internal Server Error", page);
    QTest::newRow("body over the cap") << HttpAnswer("HTTP/1.1 200 OK", QByteArray("Zevra/0.3.0\n").repeated(2000));
    QTest::newRow("body shorter than announced")
        << QByteArray("HTTP/1.1 200 OK\r\nContent-Length: 400\r\nConnection: close\r\n\r\nZevra/0.3.0");
  }

  void answersThatAreNoVersion() {
    QFETCH(QByteArray, answer);
    ScriptedServer server(ScriptedServer::Mode::kAnswer, answer);
    Console console(ServerOptions(server.Address()));
    QCOMPARE(RunCheck(*console.controller), int(UpdateState::kUnreachable));
    QCOMPARE(console.version->text(), QStringLiteral("无法连接到服务器"));
    QVERIFY(!console.controller->AttentionTimerActive());
    QVERIFY(console.notice->isHidden());
    QCOMPARE(server.Connections(), 1);
  }

  void slowServersMeetTheDeadline_data() {
    QTest::addColumn<int>("mode");
    QTest::newRow("accepts and stalls") << int(ScriptedServer::Mode::kStall);
    QTest::newRow("trickles a byte at a time") << int(ScriptedServer::Mode::kTrickle);
  }

  void slowServersMeetTheDeadline() {
    QFETCH(int, mode);
    ScriptedServer server{ScriptedServer::Mode(mode)};
    UpdateOptions options = ServerOptions(server.Address());
    options.versionLimits.deadlineMs = 1500;
    Console console(options);
    QElapsedTimer clock;
    clock.start();
    QCOMPARE(RunCheck(*console.controller, 8000), int(UpdateState::kUnreachable));
    QVERIFY2(clock.elapsed() < 5000, qPrintable(QString::number(clock.elapsed())));
    QVERIFY(clock.elapsed() >= 1400);
    QCOMPARE(console.version->text(), QStringLiteral("无法连接到服务器"));
  }

  // The fetch runs on a thread of its own, the answer arrives on the
  // window's thread, and the thread ends and goes by itself.
  void fetchThreadEndsItself() {
    zevra_->Write(QStringLiteral("WebRoot/thread/Zevra/version.txt"), "Zevra/0.2.9");
    QObject receiver;
    QThread* answeredOn = nullptr;
    FetchResult result;
    QPointer<QThread> thread = StartVersionFetch(zevra_->Address(QStringLiteral("/thread")), kVersionFileLimits,
                                                 &receiver, [&](const FetchResult& fetch) {
                                                   answeredOn = QThread::currentThread();
                                                   result = fetch;
                                                 });
    QVERIFY(thread && thread.data() != QThread::currentThread());
    QTRY_VERIFY_WITH_TIMEOUT(answeredOn != nullptr, 15000);
    QCOMPARE(answeredOn, QThread::currentThread());
    QVERIFY(result.complete);
    QCOMPARE(result.httpStatus, 200);
    QCOMPARE(result.body, QByteArray("Zevra/0.2.9"));
    QTRY_VERIFY_WITH_TIMEOUT(thread.isNull(), 5000);
  }

  void noServerAtAll() {
    Console console(ServerOptions(QUrl(QStringLiteral("http://127.0.0.1:%1").arg(FreePort()))));
    QCOMPARE(RunCheck(*console.controller), int(UpdateState::kUnreachable));
    QCOMPARE(console.version->text(), QStringLiteral("无法连接到服务器"));
    // Once per start: a second call starts nothing.
    QSignalSpy again(console.controller, &UpdateController::CheckFinished);
    console.controller->CheckForUpdate();
    QTest::qWait(300);
    QCOMPARE(again.count(), 0);
  }

  void updateWindowShowsTheEmbeddedPage() {
    ScriptedServer trap(ScriptedServer::Mode::kAnswer, HttpAnswer("HTTP/1.1 200 OK", "body{color:red}"));
    const QString trapAddress = trap.Address().toString();
    zevra_->Write(QStringLiteral("WebRoot/site/Zevra/version.txt"), "Zevra/0.3.0");
    zevra_->Write(QStringLiteral("WebRoot/site/zevra.php"),
                  ("<html><head><meta charset=\"utf-8\"><link rel=\"stylesheet\" href=\"" + trapAddress +
                   "/style.css\"></head><body><h1>泽瓦 0.3.0</h1><img src=\"" + trapAddress +
                   "/logo.png\"><img src=\"logo.png\"><p><a href=\"/download.html\">下载</a></p></body></html>")
                      .toUtf8());

    UpdateOptions options = ServerOptions(zevra_->Address(QStringLiteral("/site")));
    options.programDirectory = zevra_->ProgramDirectory();
    Console console(options);
    console.window.show();
    QCOMPARE(RunCheck(*console.controller), int(UpdateState::kNewer));
    QVERIFY(console.controller->AttentionTimerActive());

    UpdateWindow* update = console.controller->OpenUpdateWindow(false);
    QSignalSpy shown(update, &UpdateWindow::PageShown);
    QCOMPARE(update->objectName(), QStringLiteral("ZEVRA_GUI_UPDATE"));
    QCOMPARE(update->windowTitle(), QStringLiteral("Zevra/0.3.0 更新"));
    QVERIFY(!console.controller->AttentionTimerActive());
    QVERIFY(update->isVisible());
    QCOMPARE(update->PageAddress(), zevra_->Address(QStringLiteral("/site/zevra.php?mod=embed")));
    QVERIFY(shown.wait(10000));
    QCOMPARE(shown.at(0).at(0).toBool(), true);
    QVERIFY(update->View()->toPlainText().contains(QStringLiteral("泽瓦 0.3.0")));
    // The page asked for a style sheet and images; none was fetched.
    QVERIFY(update->View()->RefusedResources() >= 2);
    QTest::qWait(200);
    QCOMPARE(trap.Connections(), 0);

    // Links go to the user's browser, absolute; other schemes go nowhere.
    emit update->View()->anchorClicked(QUrl(QStringLiteral("/download.html")));
    emit update->View()->anchorClicked(QUrl(QStringLiteral("file:///etc/passwd")));
    QCOMPARE(console.opened, QList<QUrl>{zevra_->Address(QStringLiteral("/download.html"))});

    // The second variant: caption names the product, its link is visited.
    QVERIFY(!console.windowLink->property("visited").toBool());
    emit console.windowLink->linkActivated(QStringLiteral("#"));
    QCOMPARE(update->windowTitle(), QStringLiteral("Zevra 更新"));
    QVERIFY(console.windowLink->property("visited").toBool());
    QCOMPARE(console.windowLink->palette().color(QPalette::Link), QColor(Qt::blue));
    QVERIFY(console.windowLink->font().underline());
    QCOMPARE(console.controller->Window(), update);

    // The update button starts the updater without waiting, then closes.
    update->UpdateButton()->click();
    QCOMPARE(console.started, QStringList{QDir(zevra_->ProgramDirectory()).filePath(QStringLiteral("ZevraUpdater"))});
    QVERIFY(!update->isVisible());

    // The page link opens the update page and marks both links.
    emit console.pageLink->linkActivated(QStringLiteral("#"));
    QCOMPARE(console.opened.last(), zevra_->Address(QStringLiteral("/site/zevra.php")));
    QVERIFY(console.pageLink->property("visited").toBool());
  }

  void unreachablePageSaysSo() {
    Console console(ServerOptions(zevra_->Address(QStringLiteral("/nothing-here"))));
    UpdateWindow* update = console.controller->OpenUpdateWindow(false);
    QSignalSpy shown(update, &UpdateWindow::PageShown);
    QVERIFY(shown.wait(10000));
    QCOMPARE(shown.at(0).at(0).toBool(), false);
    QCOMPARE(update->View()->toPlainText(), QStringLiteral("无法连接到服务器"));
  }

  void rootConsoleOpensNoBrowser() {
    Console console(ServerOptions(zevra_->Address()), true);
    console.controller->OpenUpdatePage();
    console.controller->OpenInBrowser(QUrl(QStringLiteral("http://127.0.0.1/")));
    QVERIFY(console.opened.isEmpty());
    QCOMPARE(console.refused, (QList<QUrl>{zevra_->Address(QStringLiteral("/zevra.php")),
                                           QUrl(QStringLiteral("http://127.0.0.1/"))}));
    // The updater is the product's own program and still starts.
    console.controller->StartUpdater();
    QCOMPARE(console.started.size(), 1);
  }

  void serverAddressFromTheConsoleSettings() {
    QTemporaryDir home;
    QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, home.path());
    QCOMPARE(UpdateServerAddress(), QUrl(QString::fromUtf8(kDefaultUpdateServer)));
    QVERIFY(ConsoleSettingsFile().startsWith(home.path()));
    {
      QSettings settings(ConsoleSettingsFile(), QSettings::IniFormat);
      settings.setValue(QLatin1String(kUpdateServerKey), QStringLiteral("http://127.0.0.1:8081/mirror/"));
    }
    QCOMPARE(UpdateServerAddress(), QUrl(QStringLiteral("http://127.0.0.1:8081/mirror/")));
    QCOMPARE(UpdateServerUrl(UpdateServerAddress(), QString::fromUtf8(kVersionFilePath)),
             QUrl(QStringLiteral("http://127.0.0.1:8081/mirror/Zevra/version.txt")));
    QCOMPARE(UpdateServerUrl(QUrl(QStringLiteral("http://h")), QString::fromUtf8(kUpdatePagePath), QStringLiteral("mod=embed")),
             QUrl(QStringLiteral("http://h/zevra.php?mod=embed")));
  }

 private:
  int row_ = 0;
};

QTEST_MAIN(UpdateTest)
#include "UpdateTest.moc"
