#include "manager/app/Startup.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QLocalServer>
#include <QLocalSocket>
#include <QThread>
#include <atomic>
#include <thread>

#include "common/Product.h"
#include "manager/app/ConsoleTexts.h"
#include "manager/app/MainWindow.h"
#include "manager/app/MemoryStatus.h"
#include "manager/app/MessageSeam.h"
#include "manager/app/ServiceBackend.h"
#include "platform/Account.h"
#include "platform/File.h"
#include "platform/ProcessControl.h"
#include "platform/System.h"

namespace zevra::manager {

using texts::Text;

namespace {

constexpr const char* kReport = "up\n";

}  // namespace

bool PkexecElevator::IsElevated() { return platform::RunsElevated(); }

QStringList PkexecElevator::RelaunchCommand(const QStringList& consoleCommand) {
  QString xauthority = qEnvironmentVariable("XAUTHORITY");
  if (xauthority.isEmpty()) xauthority = QDir::homePath() + QStringLiteral("/.Xauthority");
  QStringList command = {QStringLiteral("pkexec"), QStringLiteral("env"),
                         QStringLiteral("DISPLAY=") + qEnvironmentVariable("DISPLAY"),
                         QStringLiteral("XAUTHORITY=") + xauthority};
  return command + consoleCommand;
}

RelaunchMarker ParseRelaunchMarker(const QStringList& arguments) {
  RelaunchMarker marker;
  for (int i = 1; i + 1 < arguments.size(); ++i) {
    if (arguments[i] == QLatin1String(kElevatedCopyArgument)) {
      marker.present = true;
      marker.handoverName = arguments[i + 1];
    } else if (arguments[i] == QLatin1String(kLockArgument)) {
      marker.lockPath = arguments[i + 1];
    }
  }
  return marker;
}

bool ReportElevatedCopyUp(const QString& handoverName) {
  QLocalSocket socket;
  socket.connectToServer(handoverName);
  if (!socket.waitForConnected(3000)) return false;
  socket.write(kReport);
  const bool written = socket.waitForBytesWritten(3000);
  socket.disconnectFromServer();
  return written;
}

RelaunchOutcome RelaunchElevated(Elevator& elevator, InstanceLock& lock, const QStringList& consoleCommand,
                                 int timeoutMs) {
  QLocalServer server;
  const QString name = QStringLiteral("ZevraManager-handover-%1-%2")
                           .arg(QCoreApplication::applicationPid())
                           .arg(QDateTime::currentMSecsSinceEpoch());
  QLocalServer::removeServer(name);
  if (!server.listen(name)) return RelaunchOutcome::kRefused;

  QStringList copy = consoleCommand;
  copy << QLatin1String(kElevatedCopyArgument) << server.fullServerName() << QLatin1String(kLockArgument)
       << lock.Path();
  const QStringList command = elevator.RelaunchCommand(copy);
  std::vector<std::string> argv;
  for (const QString& part : command) argv.push_back(part.toStdString());

  // The elevated copy must be able to take the lock; it is ours again if
  // the copy never reports.
  lock.Release();
  const uint32_t pid = platform::StartProgram(argv, true);
  if (pid == 0) {
    lock.Acquire();
    return RelaunchOutcome::kRefused;
  }
  // pkexec is watched from a thread of its own, so the window stays live
  // while the user answers the password prompt. After a handover this
  // process ends with pkexec still running; the thread simply goes with it.
  auto ended = std::make_shared<std::atomic<bool>>(false);
  std::thread([pid, ended] {
    platform::ProgramExit end;
    platform::WaitProgramEnd(pid, end);
    platform::ReleaseProgram(pid);
    ended->store(true);
  }).detach();

  bool reported = false;
  QElapsedTimer clock;
  clock.start();
  qint64 endedAt = -1;
  QByteArray received;
  QLocalSocket* peer = nullptr;
  while (!reported && clock.elapsed() < timeoutMs) {
    QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    if (peer == nullptr && server.hasPendingConnections()) peer = server.nextPendingConnection();
    if (peer != nullptr) {
      received += peer->readAll();
      reported = received.contains(kReport);
    }
    // Once pkexec has ended, a report could at most still be in flight:
    // half a second more, then it is a refusal.
    if (!reported && ended->load()) {
      if (endedAt < 0) endedAt = clock.elapsed();
      if (clock.elapsed() - endedAt > 500) break;
    }
    QThread::msleep(10);
  }
  if (reported) return RelaunchOutcome::kHandedOver;
  lock.Acquire();
  return RelaunchOutcome::kRefused;
}

StartupResult StartConsole(ConsoleEnvironment& env, std::unique_ptr<InstanceLock>& lock) {
  StartupResult result;
  auto window = std::make_unique<MainWindow>(*env.service);
  const QString display = QString::fromUtf8(kDisplayName);

  // 1. Decoration. (Visual styles have no counterpart to switch off here.)
  if (env.hooks.decorate) env.hooks.decorate(*window);

  // 2. Single instance. A relaunched copy takes the lock its first copy
  // named and then reports that it is up.
  const RelaunchMarker marker = ParseRelaunchMarker(env.arguments);
  QString lockPath = env.lockPath;
  if (marker.present && !marker.lockPath.isEmpty()) lockPath = marker.lockPath;
  if (lockPath.isEmpty()) lockPath = InstanceLockPath(env.desktopUid);
  lock = std::make_unique<InstanceLock>(lockPath);
  if (!lock->Acquire()) {
    window->OnSessionEnding();  // no tray icon may stay behind
    ShowMessage(nullptr, MessageIcon::kInformation, display, Text(texts::kAlreadyRunning));
    result.exitCode = 0;
    return result;
  }
  if (marker.present) ReportElevatedCopyUp(marker.handoverName);

  // 3. The service state once.
  window->RefreshServiceState();
  // 4. Captions, with the registered description in the log box.
  window->ApplyCaptions(env.service->Description());
  // 5. The configuration path.
  const QString configPath = env.programDirectory + QStringLiteral("/Config/Zevra.ini");
  // 6. Memory text.
  window->SetMemorySource(env.memoryText ? env.memoryText : [] { return ReadMemoryStatusText(); });
  window->ShowMemoryStatus();
  // 7. Visible.
  window->show();
  // 8. Browser emulation of the embedded browser: nothing to write here.

  // 9. Elevation.
  if (env.elevator->IsElevated()) {
    window->MarkElevated();
  } else if (marker.present) {
    window->EnterRestrictedMode();  // a relaunched copy never asks again
  } else {
    // The window stays painted while the password prompt is up, but takes
    // no clicks: nothing may run without rights that are about to arrive.
    window->setEnabled(false);
    const RelaunchOutcome outcome = RelaunchElevated(*env.elevator, *lock, env.arguments);
    window->setEnabled(true);
    if (outcome == RelaunchOutcome::kHandedOver) {
      window->close();
      result.exitCode = 0;
      return result;
    }
    window->EnterRestrictedMode();
  }

  // 10. The settings file must exist; the box shows the system's own text
  // for the failed look-up.
  {
    platform::File config = platform::File::OpenRead(configPath.toStdString());
    if (!config) {
      const int error = platform::LastErrorCode();
      ShowMessage(window.get(), MessageIcon::kError, Text(texts::kOsErrorTitle),
                  QString::fromStdString(platform::SystemErrorText(error)).trimmed());
      window->close();
      result.exitCode = 0;
      return result;
    }
  }

  // 11-13. The other areas' steps.
  if (env.hooks.loadSettings) env.hooks.loadSettings(*window, configPath);
  if (env.hooks.loadHosts) env.hooks.loadHosts(*window, env.programDirectory);
  if (env.hooks.startUpdateCheck) env.hooks.startUpdateCheck(*window);

  // 14. Tray icon (where the desktop has a tray), then the timers.
  window->ShowTrayIcon();
  window->StartTimers();
  result.window = std::move(window);
  return result;
}

}  // namespace zevra::manager
