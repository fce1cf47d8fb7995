#include "manager/app/MainWindow.h"

#include <QAction>
#include <QApplication>
#include <QDesktopServices>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QMenuBar>
#include <QPainter>
#include <QPixmap>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QStatusBar>
#include <QSystemTrayIcon>
#include <QTabWidget>
#include <QTextCursor>
#include <QTimer>
#include <QUrl>
#include <QVBoxLayout>

#include "common/Product.h"
#include "manager/app/ConsoleTexts.h"
#include "manager/app/MessageSeam.h"
#include "manager/app/ServiceBackend.h"

namespace zevra::manager {

using texts::Text;

namespace {

// The tray's two images: a green disc while the service runs, a grey one
// for every other state. Drawn here, so the program needs no image files.
QIcon StateIcon(const QColor& colour) {
  QPixmap pixmap(32, 32);
  pixmap.fill(Qt::transparent);
  QPainter painter(&pixmap);
  painter.setRenderHint(QPainter::Antialiasing);
  painter.setBrush(colour);
  painter.setPen(QPen(Qt::black, 2));
  painter.drawEllipse(3, 3, 26, 26);
  return QIcon(pixmap);
}

QPushButton* ServiceButton(const char* text, const char* name, QWidget* parent) {
  auto* button = new QPushButton(Text(text), parent);
  button->setObjectName(QString::fromLatin1(name));
  return button;
}

QWidget* PlaceholderPage(const char* name) {
  auto* page = new QWidget;
  page->setObjectName(QString::fromLatin1(name));
  return page;
}

}  // namespace

AboutDialog::AboutDialog(QWidget* parent) : QDialog(parent) {
  setObjectName(QStringLiteral("ZEVRA_GUI_ABOUT"));
  const QString display = QString::fromUtf8(kDisplayName);
  const QString version = QString::fromUtf8(kVersionText);
  setWindowTitle(texts::FillCaption(texts::kAboutWindowCaption, display));
  auto* layout = new QVBoxLayout(this);
  auto* name = new QLabel(texts::FillCaption(texts::kAboutNameCaption, display), this);
  name->setObjectName(QStringLiteral("aboutName"));
  QFont big = name->font();
  big.setPointSize(big.pointSize() + 4);
  big.setBold(true);
  name->setFont(big);
  auto* versionLabel = new QLabel(texts::FillCaption(texts::kAboutVersionCaption, version), this);
  versionLabel->setObjectName(QStringLiteral("aboutVersion"));
  auto* notice = new QLabel(Text(texts::kAboutNotice), this);
  auto* close = new QPushButton(QStringLiteral("OK"), this);
  connect(close, &QPushButton::clicked, this, &QDialog::accept);
  layout->addWidget(name);
  layout->addWidget(versionLabel);
  layout->addWidget(notice);
  layout->addWidget(close, 0, Qt::AlignRight);
}

MainWindow::MainWindow(ServiceBackend& service, QWidget* parent) : QMainWindow(parent), service_(service) {
  setObjectName(QStringLiteral("ZEVRA_GUI_MAIN"));
  setWindowTitle(Text(texts::kMainWindowCaption));
  runningIcon_ = StateIcon(QColor(0x2e, 0xa0, 0x43));
  idleIcon_ = StateIcon(QColor(0x9a, 0x9a, 0x9a));
  setWindowIcon(idleIcon_);
  BuildWidgets();
  BuildMenus();

  statusTimer_ = new QTimer(this);
  statusTimer_->setObjectName(QStringLiteral("statusTimer"));
  statusTimer_->setInterval(kStatusIntervalMs);
  connect(statusTimer_, &QTimer::timeout, this, [this] { RefreshServiceState(); });
  memoryTimer_ = new QTimer(this);
  memoryTimer_->setObjectName(QStringLiteral("memoryTimer"));
  memoryTimer_->setInterval(kMemoryIntervalMs);
  connect(memoryTimer_, &QTimer::timeout, this, [this] { ShowMemoryStatus(); });
  resize(720, 560);
}

MainWindow::~MainWindow() {
  if (tray_ != nullptr) tray_->hide();
}

void MainWindow::BuildWidgets() {
  auto* central = new QWidget(this);
  auto* layout = new QVBoxLayout(central);

  titleLabel_ = new QLabel(Text(texts::kTitleLabel) + QString::fromUtf8(kVersionNumber), central);
  titleLabel_->setObjectName(QStringLiteral("titleLabel"));
  QFont titleFont = titleLabel_->font();
  titleFont.setPointSize(titleFont.pointSize() + 6);
  titleFont.setBold(true);
  titleLabel_->setFont(titleFont);
  versionLabel_ = new QLabel(Text(texts::kVersionCaption), central);
  versionLabel_->setObjectName(QStringLiteral("versionLabel"));
  layout->addWidget(titleLabel_);
  layout->addWidget(versionLabel_);

  auto* buttons = new QHBoxLayout;
  installButton_ = ServiceButton(texts::kInstallButton, "installButton", central);
  uninstallButton_ = ServiceButton(texts::kUninstallButton, "uninstallButton", central);
  startButton_ = ServiceButton(texts::kStartButton, "startButton", central);
  stopButton_ = ServiceButton(texts::kStopButton, "stopButton", central);
  refreshButton_ = ServiceButton(texts::kRefreshButton, "refreshButton", central);
  for (QPushButton* b : {installButton_, uninstallButton_, startButton_, stopButton_, refreshButton_}) {
    buttons->addWidget(b);
  }
  buttons->addStretch(1);
  statusLabel_ = new QLabel(central);
  statusLabel_->setObjectName(QStringLiteral("statusLabel"));
  QFont statusFont = statusLabel_->font();
  statusFont.setBold(true);
  statusLabel_->setFont(statusFont);
  buttons->addWidget(statusLabel_);
  layout->addLayout(buttons);
  connect(installButton_, &QPushButton::clicked, this, [this] { InstallService(); });
  connect(uninstallButton_, &QPushButton::clicked, this, [this] { UninstallService(); });
  connect(startButton_, &QPushButton::clicked, this, [this] { StartService(); });
  connect(stopButton_, &QPushButton::clicked, this, [this] { StopService(); });
  connect(refreshButton_, &QPushButton::clicked, this, [this] { RefreshAction(); });

  logBox_ = new QPlainTextEdit(central);
  logBox_->setObjectName(QStringLiteral("logBox"));
  logBox_->setReadOnly(true);
  logBox_->setPlainText(Text(texts::kLogBoxInitial));
  logBox_->setMaximumHeight(130);
  layout->addWidget(logBox_);

  tabs_ = new QTabWidget(central);
  tabs_->setObjectName(QStringLiteral("tabs"));
  tabs_->addTab(PlaceholderPage("hostsPage"), Text(texts::kHostsTab));
  tabs_->addTab(PlaceholderPage("settingsPage"), Text(texts::kSettingsTab));
  layout->addWidget(tabs_, 1);
  setCentralWidget(central);

  memoryPart_ = new QLabel(this);
  memoryPart_->setObjectName(QStringLiteral("memoryPart"));
  statePart_ = new QLabel(this);
  statePart_->setObjectName(QStringLiteral("statePart"));
  statusBar()->addWidget(memoryPart_, 1);
  statusBar()->addPermanentWidget(statePart_);
}

void MainWindow::BuildMenus() {
  QMenu* file = menuBar()->addMenu(Text(texts::kFileMenu));
  startAction_ = file->addAction(Text(texts::kStartMenu));
  stopAction_ = file->addAction(Text(texts::kStopMenu));
  QAction* quit = file->addAction(Text(texts::kQuitMenu));
  connect(startAction_, &QAction::triggered, this, [this] { StartService(); });
  connect(stopAction_, &QAction::triggered, this, [this] { StopService(); });
  connect(quit, &QAction::triggered, this, &QWidget::close);

  QMenu* hosts = menuBar()->addMenu(Text(texts::kHostsMenu));
  hostActions_[0] = hosts->addAction(Text(texts::kNewSiteMenu));
  hostActions_[1] = hosts->addAction(Text(texts::kEditSiteMenu));
  hostActions_[2] = hosts->addAction(Text(texts::kDeleteSiteMenu));
  hostActions_[3] = hosts->addAction(Text(texts::kRefreshHostsMenu));

  QMenu* help = menuBar()->addMenu(Text(texts::kHelpMenu));
  QAction* website = help->addAction(Text(texts::kWebsiteMenu));
  QAction* about = help->addAction(Text(texts::kAboutMenu));
  connect(website, &QAction::triggered, this, [this] { OpenWebsite(); });
  connect(about, &QAction::triggered, this, [this] { OpenAbout()->show(); });
}

QAction* MainWindow::HostAction(HostMenuAction which) const { return hostActions_[static_cast<int>(which)]; }

void MainWindow::ReplaceTab(int index, QWidget* page, const char* title) {
  // The tab that was showing stays showing, whichever page is replaced.
  const int current = tabs_->currentIndex();
  delete tabs_->widget(index);
  tabs_->insertTab(index, page, Text(title));
  tabs_->setCurrentIndex(current);
}

void MainWindow::SetHostsPage(QWidget* page) { ReplaceTab(0, page, texts::kHostsTab); }

void MainWindow::SetSettingsPage(QWidget* page) { ReplaceTab(1, page, texts::kSettingsTab); }

AboutDialog* MainWindow::OpenAbout() {
  if (!about_) about_ = new AboutDialog(this);
  return about_;
}

void MainWindow::OpenWebsite() {
  const QString address = QString::fromLatin1(texts::kWebsiteAddress);
  // A browser started from an elevated console would run as root.
  if (elevated_) {
    ShowMessage(this, MessageIcon::kInformation, QString::fromUtf8(kDisplayName),
                Text(texts::kWebsiteAsAdmin) + address);
    return;
  }
  QDesktopServices::openUrl(QUrl(address));
}

// ---- display ---------------------------------------------------------------

QString MainWindow::StatusText() const { return statusLabel_->text(); }

void MainWindow::SetStatus(const QString& text) {
  statusLabel_->setText(text);
  statePart_->setText(text);
}

void MainWindow::AppendLog(const char* line) {
  QTextCursor cursor = logBox_->textCursor();
  cursor.movePosition(QTextCursor::End);
  cursor.insertText(texts::ScreenText(line));
  logBox_->setTextCursor(cursor);
}

void MainWindow::SetTrayRunning(bool running) {
  trayRunning_ = running;
  if (tray_ != nullptr) tray_->setIcon(running ? runningIcon_ : idleIcon_);
}

void MainWindow::EnableServiceControls(bool install, bool uninstall, bool start, bool stop) {
  installButton_->setEnabled(install);
  uninstallButton_->setEnabled(uninstall);
  startButton_->setEnabled(start);
  startAction_->setEnabled(start);
  stopButton_->setEnabled(stop);
  stopAction_->setEnabled(stop);
}

void MainWindow::ApplyCaptions(const QString& description) {
  const QString display = QString::fromUtf8(kDisplayName);
  const QString version = QString::fromUtf8(kVersionText);
  titleLabel_->setText(Text(texts::kTitleLabel) + QString::fromUtf8(kVersionNumber));
  versionLabel_->setText(texts::FillCaption(texts::kVersionCaption, version));
  setWindowTitle(texts::FillCaption(texts::kMainWindowCaption, display));
  OpenAbout();  // the about box's captions are filled as it is made
  // The log box may already hold the first state's line: only its '#'
  // makes way for the description.
  QString log = logBox_->toPlainText();
  log.replace(QLatin1Char('#'), description);
  logBox_->setPlainText(log);
}

void MainWindow::MarkElevated() {
  elevated_ = true;
  titleLabel_->setText(Text(texts::kAdminPrefix) + Text(texts::kTitleLabel) + QString::fromUtf8(kVersionNumber));
}

void MainWindow::EnterRestrictedMode() {
  restricted_ = true;
  ShowMessage(this, MessageIcon::kError, Text(texts::kErrorTitle), Text(texts::kElevationRefused));
  EnableServiceControls(false, false, false, false);
  refreshButton_->setEnabled(false);
  statusTimer_->stop();
  memoryTimer_->stop();
  SetStatus(Text(texts::kStatusNoRights));
}

void MainWindow::SetMemorySource(std::function<QString()> source) { memorySource_ = std::move(source); }

void MainWindow::ShowMemoryStatus() {
  if (memorySource_) memoryPart_->setText(memorySource_());
}

void MainWindow::StartTimers() {
  if (restricted_) return;
  statusTimer_->start(kStatusIntervalMs);
  memoryTimer_->start(kMemoryIntervalMs);
}

bool MainWindow::ShowTrayIcon() {
  if (!QSystemTrayIcon::isSystemTrayAvailable()) return false;
  if (tray_ == nullptr) {
    tray_ = new QSystemTrayIcon(this);
    tray_->setToolTip(texts::ScreenText(texts::kTrayTip));
    connect(tray_, &QSystemTrayIcon::activated, this, [this] {
      showNormal();
      raise();
      activateWindow();
    });
  }
  tray_->setIcon(trayRunning_ ? runningIcon_ : idleIcon_);
  tray_->show();
  return true;
}

void MainWindow::OnSessionEnding() {
  if (tray_ != nullptr) {
    tray_->hide();
    delete tray_;
    tray_ = nullptr;
  }
  if (about_) about_->close();
}

// ---- service control -------------------------------------------------------

int MainWindow::QueryServiceState() { return service_.QueryState(); }

void MainWindow::RefreshServiceState() {
  // One query per refresh: each may start a process, and separate queries
  // could disagree with each other.
  const int state = QueryServiceState();
  if (state != kServiceRunning) SetTrayRunning(false);
  switch (state) {
    case kServiceRunning:
      if (StatusText() != Text(texts::kStatusRunning)) {
        SetStatus(Text(texts::kStatusRunning));
        AppendLog(texts::kLogRunning);
      }
      EnableServiceControls(false, false, false, true);
      SetTrayRunning(true);
      break;
    case kServiceStopped:
      if (StatusText() != Text(texts::kStatusStopped)) {
        SetStatus(Text(texts::kStatusStopped));
        AppendLog(texts::kLogStopped);
      }
      EnableServiceControls(false, true, true, false);
      break;
    case kServiceNotInstalled:
      if (StatusText() != Text(texts::kStatusNotInstalled)) {
        SetStatus(Text(texts::kStatusNotInstalled));
        AppendLog(texts::kLogNotInstalled);
      }
      EnableServiceControls(true, false, false, false);
      break;
    default:
      break;  // a pending state: only the tray image follows it
  }
}

void MainWindow::RefreshAction() {
  SetStatus(Text(texts::kStatusRefreshing));
  RefreshServiceState();
}

void MainWindow::StartService() {
  if (restricted_) return;
  SetStatus(Text(texts::kStatusStarting));
  AppendLog(texts::kLogStarting);
  if (QueryServiceState() == kServiceStopped) service_.Start();
  service_.Pause(1000);
  if (QueryServiceState() == kServiceRunning) {
    SetStatus(Text(texts::kStatusRunning));
    AppendLog(texts::kLogRunning);
  } else {
    SetStatus(Text(texts::kStatusStartFailed));
    AppendLog(texts::kLogStartFailed);
  }
}

void MainWindow::EndRemainingServiceProcesses(std::vector<uint32_t>& known) {
  for (uint32_t pid : service_.ServiceProcesses()) {
    bool seen = false;
    for (uint32_t k : known) seen = seen || k == pid;
    if (!seen) known.push_back(pid);
  }
  for (uint32_t pid : known) service_.EndServiceProcess(pid);
}

void MainWindow::StopService() {
  if (restricted_) return;
  SetStatus(Text(texts::kStatusStopping));
  AppendLog(texts::kLogStopping);
  statusTimer_->stop();
  startButton_->setEnabled(false);
  stopButton_->setEnabled(false);
  startAction_->setEnabled(false);
  stopAction_->setEnabled(false);
  // The processes are taken before the stop is sent: once the daemon is
  // gone, its worker can no longer be told from any other copy by its
  // parent. Only this service's processes are ever ended, never every
  // server on the machine, and each only while it still runs our program.
  std::vector<uint32_t> known = service_.ServiceProcesses();
  service_.RequestStop();
  service_.Pause(1000);
  EndRemainingServiceProcesses(known);
  service_.Pause(1000);
  EndRemainingServiceProcesses(known);
  statusTimer_->start(kStatusIntervalMs);
}

void MainWindow::RunInstaller(const char* argument, const char* label, const char* logLine, const char* sent,
                              const char* failed, uint32_t failedCode, bool showDescription) {
  if (restricted_) return;
  SetStatus(Text(label));
  AppendLog(logLine);
  EnableServiceControls(false, false, false, false);
  statusTimer_->stop();
  QApplication::processEvents();

  QString error;
  QPointer<MainWindow> self(this);
  const bool started = service_.StartInstaller(
      QString::fromLatin1(argument), error, [self, failed, failedCode, showDescription](uint32_t code) {
        if (!self) return;
        if (code == failedCode) {
          ShowMessage(self, MessageIcon::kError, QString::fromUtf8(kDisplayName), Text(failed));
        } else if (code == static_cast<uint32_t>(kExitNormal) && showDescription &&
                   self->logBox_->toPlainText() == self->descriptionShown_) {
          // The box was filled before the installer had written the
          // service; now the description is there to show.
          self->descriptionShown_ = self->service_.Description();
          self->logBox_->setPlainText(self->descriptionShown_);
        }
      });
  if (started) {
    ShowMessage(this, MessageIcon::kInformation, QString::fromUtf8(kDisplayName), Text(sent));
  } else {
    ShowMessage(this, MessageIcon::kError, Text(texts::kOsErrorTitle), error);
  }
  statusTimer_->start(kStatusIntervalMs);
  installButton_->setEnabled(true);
  uninstallButton_->setEnabled(true);
  QApplication::processEvents();
  descriptionShown_ = showDescription ? service_.Description() : QString();
  logBox_->setPlainText(descriptionShown_);
}

void MainWindow::InstallService() {
  RunInstaller("/install", texts::kStatusInstalling, texts::kLogInstalling, texts::kInstallSent,
               texts::kInstallFailed, kExitInstallFailed, true);
}

void MainWindow::UninstallService() {
  RunInstaller("/remove", texts::kStatusUninstalling, texts::kLogUninstalling, texts::kUninstallSent,
               texts::kUninstallFailed, kExitRemoveFailed, false);
}

}  // namespace zevra::manager
