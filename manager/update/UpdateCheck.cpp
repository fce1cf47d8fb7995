#include "manager/update/UpdateCheck.h"

#include <QCoreApplication>
#include <QDesktopServices>
#include <QDir>
#include <QLabel>
#include <QProcess>
#include <QSettings>
#include <QThread>
#include <QWidget>

#include "manager/update/UpdateWindow.h"
#include "platform/Account.h"

namespace zevra::manager {
namespace {

constexpr char kUpdateNotice[] = "建议到项目网站下载更新，可以获取新功能和错误修复。";
constexpr int kAttentionIntervalMs = 200;

// One pulse of the notice while an update waits: from full red to a pale
// red and back, a step per tick, so one pulse takes 1.6 s.
constexpr QRgb kPulse[] = {0xFF0000, 0xE03030, 0xC06060, 0xA08080, 0xA08080, 0xC06060, 0xE03030, 0xFF0000};

void SetTextColour(QLabel* label, QColor colour) {
  QPalette palette = label->palette();
  palette.setColor(QPalette::WindowText, colour);
  label->setPalette(palette);
}

}  // namespace

QString ConsoleSettingsFile() {
  return QSettings(QSettings::IniFormat, QSettings::UserScope, QStringLiteral("Zevra"),
                   QStringLiteral("ZevraManager"))
      .fileName();
}

QUrl UpdateServerAddress(const QSettings& settings) {
  const QString value = settings.value(QLatin1String(kUpdateServerKey)).toString().trimmed();
  return QUrl(value.isEmpty() ? QString::fromUtf8(kDefaultUpdateServer) : value);
}

QUrl UpdateServerAddress() {
  const QSettings settings(QSettings::IniFormat, QSettings::UserScope, QStringLiteral("Zevra"),
                           QStringLiteral("ZevraManager"));
  return UpdateServerAddress(settings);
}

QUrl UpdateServerUrl(const QUrl& server, const QString& path, const QString& query) {
  QUrl url = server;
  QString prefix = server.path();
  while (prefix.endsWith(QLatin1Char('/'))) prefix.chop(1);
  url.setPath(prefix + path);
  url.setQuery(query.isEmpty() ? QString() : query);
  url.setFragment(QString());
  return url;
}

VersionAnswer EvaluateVersionAnswer(const FetchResult& fetch, const QString& ownVersion) {
  if (!fetch.complete || fetch.httpStatus != 200) return {};
  QString text = QString::fromUtf8(fetch.body);
  while (text.endsWith(QLatin1Char('\n')) || text.endsWith(QLatin1Char('\r'))) text.chop(1);
  if (!text.contains(QLatin1String("Zevra"), Qt::CaseInsensitive)) return {};
  return {text == ownVersion ? UpdateState::kCurrent : UpdateState::kNewer, text};
}

QThread* StartVersionFetch(const QUrl& server, FetchLimits limits, QObject* receiver,
                           std::function<void(const FetchResult&)> done) {
  auto* thread = new QThread;
  thread->setObjectName(QStringLiteral("CheckForUpdate"));
  auto* fetch = new BoundedFetch(limits);
  fetch->moveToThread(thread);
  const QUrl url = UpdateServerUrl(server, QString::fromUtf8(kVersionFilePath));
  QObject::connect(thread, &QThread::started, fetch, [fetch, url] { fetch->Start(url); });
  // Queued to the receiver's thread: the labels belong to the window.
  QObject::connect(fetch, &BoundedFetch::Finished, receiver,
                   [done](bool complete, int status, const QByteArray& body, const QString& error) {
                     done(FetchResult{complete, status, body, error});
                   });
  // The thread ends itself once it has its answer.
  QObject::connect(fetch, &BoundedFetch::Finished, thread, &QThread::quit, Qt::DirectConnection);
  QObject::connect(thread, &QThread::finished, fetch, &QObject::deleteLater);
  QObject::connect(thread, &QThread::finished, thread, &QObject::deleteLater);
  thread->start();
  return thread;
}

UpdateOptions DefaultUpdateOptions() {
  UpdateOptions options;
  options.server = UpdateServerAddress();
  options.programDirectory = QCoreApplication::applicationDirPath();
  return options;
}

UpdateSeams DefaultUpdateSeams() {
  UpdateSeams seams;
  seams.openInBrowser = [](const QUrl& url) { return QDesktopServices::openUrl(url); };
  seams.startProgram = [](const QString& program) { return QProcess::startDetached(program, {}); };
  seams.elevated = platform::RunsElevated();
  return seams;
}

void MarkLinkVisited(QLabel* link) {
  if (link == nullptr) return;
  QPalette palette = link->palette();
  palette.setColor(QPalette::Link, Qt::blue);
  palette.setColor(QPalette::LinkVisited, Qt::blue);
  link->setPalette(palette);
  QFont font = link->font();
  font.setUnderline(true);
  link->setFont(font);
  link->setProperty("visited", true);
}

UpdateController::UpdateController(UpdateLabels labels, UpdateOptions options, UpdateSeams seams, QWidget* window)
    : QObject(window), labels_(labels), options_(std::move(options)), seams_(std::move(seams)), window_(window) {
  attention_.setInterval(kAttentionIntervalMs);
  connect(&attention_, &QTimer::timeout, this, &UpdateController::Pulse);
  // Whatever the server sends is a version text, never markup: a label
  // would otherwise show the server's images and links.
  if (labels_.version) labels_.version->setTextFormat(Qt::PlainText);
  for (QLabel* hidden : {labels_.notice, labels_.windowLink, labels_.pageLink})
    if (hidden) hidden->hide();
  if (labels_.windowLink)
    connect(labels_.windowLink, &QLabel::linkActivated, this, [this] { OpenUpdateWindow(true); });
  if (labels_.pageLink) connect(labels_.pageLink, &QLabel::linkActivated, this, [this] { OpenUpdatePage(); });
}

UpdateController::~UpdateController() {
  // A check still under way ends within its deadline; the window must not
  // go before its thread does.
  if (thread_ && thread_->isRunning()) {
    thread_->quit();
    thread_->wait(options_.versionLimits.deadlineMs + 2000);
  }
}

void UpdateController::CheckForUpdate() {
  if (started_) return;
  started_ = true;
  thread_ = StartVersionFetch(options_.server, options_.versionLimits, this, [this](const FetchResult& fetch) {
    const VersionAnswer answer = EvaluateVersionAnswer(fetch, options_.ownVersion);
    ShowAnswer(answer);
    emit CheckFinished(answer.state);
  });
}

void UpdateController::ShowAnswer(const VersionAnswer& answer) {
  if (answer.state == UpdateState::kUnreachable) {
    if (labels_.version) labels_.version->setText(QString::fromUtf8(kUnreachableText));
    return;
  }
  latestVersion_ = answer.text;
  if (labels_.version) labels_.version->setText(answer.text);
  if (answer.state == UpdateState::kCurrent) {
    if (labels_.notice) labels_.notice->show();
    return;
  }
  if (labels_.version) {
    QFont font = labels_.version->font();
    font.setBold(true);
    labels_.version->setFont(font);
    SetTextColour(labels_.version, Qt::red);
  }
  if (labels_.notice) {
    labels_.notice->setText(QString::fromUtf8(kUpdateNotice));
    SetTextColour(labels_.notice, QColor(kPulse[0]));
    labels_.notice->show();
  }
  if (labels_.windowLink) labels_.windowLink->show();
  if (labels_.pageLink) labels_.pageLink->show();
  pulsePhase_ = 0;
  attention_.start();
}

void UpdateController::Pulse() {
  pulsePhase_ = (pulsePhase_ + 1) % int(std::size(kPulse));
  if (labels_.notice) SetTextColour(labels_.notice, QColor(kPulse[pulsePhase_]));
}

void UpdateController::StopAttention() {
  attention_.stop();
  pulsePhase_ = 0;
  if (labels_.notice && labels_.notice->isVisibleTo(window_)) SetTextColour(labels_.notice, QColor(kPulse[0]));
}

UpdateWindow* UpdateController::OpenUpdateWindow(bool fromLink) {
  if (fromLink) MarkLinkVisited(labels_.windowLink);
  if (!updateWindow_) {
    updateWindow_ = new UpdateWindow(window_);
    connect(updateWindow_, &UpdateWindow::LinkActivated, this, &UpdateController::OpenInBrowser);
    connect(updateWindow_, &UpdateWindow::UpdateRequested, this, [this] {
      StartUpdater();
      updateWindow_->close();
    });
  }
  updateWindow_->SetVersionCaption(fromLink ? QStringLiteral("Zevra") : latestVersion_);
  updateWindow_->LoadPage(UpdateServerUrl(options_.server, QString::fromUtf8(kUpdatePagePath), QStringLiteral("mod=embed")),
                          options_.pageLimits);
  updateWindow_->show();
  updateWindow_->raise();
  StopAttention();
  return updateWindow_;
}

UpdateWindow* UpdateController::Window() const { return updateWindow_.data(); }

void UpdateController::OpenUpdatePage() {
  OpenInBrowser(UpdateServerUrl(options_.server, QString::fromUtf8(kUpdatePagePath)));
  MarkLinkVisited(labels_.windowLink);
  MarkLinkVisited(labels_.pageLink);
}

void UpdateController::StartUpdater() {
  QString program = QString::fromUtf8(kUpdaterProgram);
#ifdef Q_OS_WIN
  program += QStringLiteral(".exe");
#endif
  // Not found or not started: the console carries on without a word.
  if (seams_.startProgram) seams_.startProgram(QDir(options_.programDirectory).filePath(program));
}

void UpdateController::OpenInBrowser(const QUrl& url) {
  if (url.scheme() != QLatin1String("http") && url.scheme() != QLatin1String("https")) return;
  if (seams_.elevated) {
    if (seams_.refusedElevated) seams_.refusedElevated(url);
    return;
  }
  if (seams_.openInBrowser) seams_.openInBrowser(url);
}

}  // namespace zevra::manager
