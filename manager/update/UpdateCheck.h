// The console's update check: once per start it fetches the update server's
// version file on a thread of its own, and back on the window thread shows
// what it found on the main window's labels. An answer that differs from
// the console's own version text draws attention: a bold red label, a
// notice, two links and a pulsing notice driven by a 200 ms timer until
// the update window is opened.
//
// The main window hands in its labels and gets the actions to bind to its
// links and menu entries; opening the browser and starting a program go
// through seams, so that the tests watch them instead of a desktop:
//
//   auto* update = new UpdateController({versionLabel, noticeLabel, windowLink, pageLink},
//                                       DefaultUpdateOptions(), DefaultUpdateSeams(), mainWindow);
//   update->CheckForUpdate();                     // once, with the window shown
//   websiteAction -> update->OpenUpdatePage();    // "软件网站(&W)"
//   updaterLink   -> update->StartUpdater();
//
// The two link labels are bound by the controller itself.
#pragma once

#include <QColor>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QTimer>
#include <QUrl>

#include <functional>

#include "common/Product.h"
#include "manager/update/BoundedFetch.h"

class QLabel;
class QSettings;
class QThread;
class QWidget;

namespace zevra::manager {

class UpdateWindow;

// No public update server answers for this build: the default lies in a
// domain that never resolves, and the check then reports the server as
// unreachable. An installation sets its own server under kUpdateServerKey
// in the console's settings file.
inline constexpr char kDefaultUpdateServer[] = "http://update.zevra.invalid";
inline constexpr char kUpdateServerKey[] = "Update/Server";
inline constexpr char kVersionFilePath[] = "/Zevra/version.txt";
inline constexpr char kUpdatePagePath[] = "/zevra.php";
inline constexpr char kUpdaterProgram[] = "ZevraUpdater";

// The version file is one short line; anything longer is not one.
inline constexpr FetchLimits kVersionFileLimits{4096, 10000};
// The embedded page: room for a page of text, not for a download.
inline constexpr FetchLimits kUpdatePageLimits{512 * 1024, 15000};

// The console's own settings (not Config/Zevra.ini, which the server owns):
// an INI file per user, ~/.config/Zevra/ZevraManager.ini on Linux and
// %APPDATA%\Zevra\ZevraManager.ini on Windows.
QString ConsoleSettingsFile();
// The update server's address: the value of kUpdateServerKey, or the default.
QUrl UpdateServerAddress(const QSettings& settings);
QUrl UpdateServerAddress();

// The server's address with a path below it; a path the address already has
// stays in front ("http://host/mirror" + "/Zevra/version.txt").
QUrl UpdateServerUrl(const QUrl& server, const QString& path, const QString& query = QString());

enum class UpdateState { kUnreachable, kCurrent, kNewer };

struct VersionAnswer {
  UpdateState state = UpdateState::kUnreachable;
  // The version text as shown; empty when unreachable.
  QString text;
};

// What a fetch of the version file means. Only a complete answer with
// status 200 counts: an error page that happens to name the product is no
// version. The text must contain "Zevra" in any letter case. Line breaks at
// its end are not part of the version (a version file saved by an editor
// ends with one); everything else is compared exactly.
VersionAnswer EvaluateVersionAnswer(const FetchResult& fetch, const QString& ownVersion);

// Starts the fetch of the version file on a thread of its own and returns
// that thread (it deletes itself when done). `done` runs on the receiver's
// thread, once, unless the receiver is gone by then.
QThread* StartVersionFetch(const QUrl& server, FetchLimits limits, QObject* receiver,
                           std::function<void(const FetchResult&)> done);

// The main window's labels that the check writes to. The three besides the
// version label are hidden until the answer comes.
struct UpdateLabels {
  QLabel* version = nullptr;
  QLabel* notice = nullptr;
  QLabel* windowLink = nullptr;  // opens the update window
  QLabel* pageLink = nullptr;    // opens the update page in the browser
};

struct UpdateSeams {
  std::function<bool(const QUrl&)> openInBrowser;
  std::function<bool(const QString&)> startProgram;
  // An elevated console hands no address to a browser, which would run
  // elevated too; it tells the user the address instead, if it can.
  bool elevated = false;
  std::function<void(const QUrl&)> refusedElevated;
};

// The desktop's browser, a detached process, and whether we run elevated
// (root on POSIX, an elevated token on Windows).
UpdateSeams DefaultUpdateSeams();

struct UpdateOptions {
  QUrl server;
  QString programDirectory;
  QString ownVersion = QString::fromUtf8(zevra::kVersionText);
  FetchLimits versionLimits = kVersionFileLimits;
  FetchLimits pageLimits = kUpdatePageLimits;
};

// The server from the console's settings and the running program's own
// directory.
UpdateOptions DefaultUpdateOptions();

class UpdateController : public QObject {
  Q_OBJECT

 public:
  // window owns the controller and the update window.
  UpdateController(UpdateLabels labels, UpdateOptions options, UpdateSeams seams, QWidget* window);
  ~UpdateController() override;

  // Starts the check; a second call does nothing.
  void CheckForUpdate();
  // Puts an answer on the labels (the check does this on the window thread).
  void ShowAnswer(const VersionAnswer& answer);

  // Shows the update window with the embedded page and stops the attention
  // timer. fromLink: the variant bound to the window link, whose caption
  // names "Zevra" and which first marks that link visited.
  UpdateWindow* OpenUpdateWindow(bool fromLink);
  // The update page in the user's browser; both links look visited after.
  void OpenUpdatePage();
  // Starts the updater from the program directory and does not wait.
  void StartUpdater();
  // Hands an address to the user's browser: http and https only, and never
  // from a root console.
  void OpenInBrowser(const QUrl& url);

  QString LatestVersionText() const { return latestVersion_; }
  bool AttentionTimerActive() const { return attention_.isActive(); }
  UpdateWindow* Window() const;

 signals:
  void CheckFinished(zevra::manager::UpdateState state);

 private:
  void Pulse();
  void StopAttention();

  UpdateLabels labels_;
  UpdateOptions options_;
  UpdateSeams seams_;
  QWidget* window_;
  QPointer<UpdateWindow> updateWindow_;
  QPointer<QThread> thread_;
  QTimer attention_;
  int pulsePhase_ = 0;
  bool started_ = false;
  QString latestVersion_;
};

// Marks a link label as visited: blue and underlined.
void MarkLinkVisited(QLabel* link);

}  // namespace zevra::manager
