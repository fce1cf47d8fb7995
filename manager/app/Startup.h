// The console's start-up, step by step in its fixed order: decoration,
// single instance, first state, captions, configuration path, memory text,
// showing the window, elevation, the settings file check, the other areas'
// steps (settings, hosts, update check) and the tray icon.
#pragma once

#include <QString>
#include <QStringList>
#include <cstdint>
#include <memory>

#include "manager/app/ConsoleHooks.h"
#include "manager/app/InstanceLock.h"

namespace zevra::manager {

class MainWindow;
class ServiceBackend;

// How the console gets full rights. The program asks pkexec; tests give a
// stub.
class Elevator {
 public:
  virtual ~Elevator() = default;
  virtual bool IsElevated() = 0;
  // The command (program first) that runs consoleCommand with full rights.
  virtual QStringList RelaunchCommand(const QStringList& consoleCommand) = 0;
};

class PkexecElevator : public Elevator {
 public:
  bool IsElevated() override;
  // pkexec env DISPLAY=… XAUTHORITY=… <console…>: pkexec clears the
  // environment, and the elevated copy needs the display.
  QStringList RelaunchCommand(const QStringList& consoleCommand) override;
};

// The marker arguments of a relaunched copy: it reports to the handover
// socket once it holds the lock at lockPath, and never relaunches again.
inline constexpr const char* kElevatedCopyArgument = "--elevated-copy";
inline constexpr const char* kLockArgument = "--instance-lock";

struct RelaunchMarker {
  bool present = false;
  QString handoverName;  // the first copy's QLocalServer
  QString lockPath;
};
RelaunchMarker ParseRelaunchMarker(const QStringList& arguments);

enum class RelaunchOutcome { kHandedOver, kRefused };
// Releases the lock, starts the elevated copy through the elevator and
// waits (the window stays live) for its report. Handed over: the copy runs
// and holds the lock. Refused: pkexec ended (126 refused, 127 no agent or
// no system bus, or anything else) or the time ran out without a report;
// the lock is taken back.
RelaunchOutcome RelaunchElevated(Elevator& elevator, InstanceLock& lock, const QStringList& consoleCommand,
                                 int timeoutMs = 180000);
// The elevated copy's side: tells the first copy that it is up.
bool ReportElevatedCopyUp(const QString& handoverName);

struct ConsoleEnvironment {
  QString programDirectory;
  QStringList arguments;       // the console's own command line, program first
  uint32_t desktopUid = 0;     // the user whose desktop this is
  QString lockPath;            // empty: InstanceLockPath(desktopUid)
  ServiceBackend* service = nullptr;
  Elevator* elevator = nullptr;
  ConsoleHooks hooks;
  std::function<QString()> memoryText;  // empty: /proc/meminfo
};

struct StartupResult {
  std::unique_ptr<MainWindow> window;  // set when the console goes on
  int exitCode = 0;                    // when it ends during start-up
};

// Runs the start-up. The lock is held by the caller's InstanceLock for the
// life of the console.
StartupResult StartConsole(ConsoleEnvironment& environment, std::unique_ptr<InstanceLock>& lock);

}  // namespace zevra::manager
