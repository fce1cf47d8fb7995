#include "server/process/Service.h"

#include <mutex>
#include <string>

#include "common/Text.h"
#include "platform/Clock.h"
#include "platform/File.h"
#include "platform/ProcessControl.h"
#include "platform/Service.h"
#include "platform/System.h"
#include "common/Product.h"
#include "server/core/ProgramPaths.h"
#include "server/response/Logs.h"
#include "server/core/Runtime.h"

namespace zevra {
namespace {

// The account the service runs as where the system has no built-in one for
// services (POSIX): a system account of its own. Either may write the logs,
// the pid file and the three work folders, nothing else.
constexpr const char* kServiceAccount = "zevra";

constexpr int kServiceTypeShareProcess = 32;
constexpr int kAcceptStopAndShutdown = 5;
constexpr int kServiceSpecificError = 1066;
// A worker that ends this soon after its start is restarted only after the
// same pause, so that one that cannot start does not fill the disk with
// restart lines.
constexpr uint64_t kQuickEndMilliseconds = 1000;

// The one status record, shared by the service main and the control
// handler, and what the handler needs to end the current worker.
struct DaemonState {
  std::mutex lock;
  platform::ServiceStatus status;
  platform::Program worker;    // the running worker, not started when none
  bool stopRequested = false;  // once set, no new worker is started
};

DaemonState& Daemon() {
  static DaemonState d;
  return d;
}

std::string ExecutablePath() { return ProgramPath({g_startup.programFileName}); }

void SetStatus(int state, int win32Exit, int specificExit) {
  DaemonState& d = Daemon();
  std::lock_guard<std::mutex> guard(d.lock);
  d.status.serviceType = kServiceTypeShareProcess;
  d.status.controlsAccepted = kAcceptStopAndShutdown;
  d.status.currentState = state;
  d.status.win32ExitCode = win32Exit;
  d.status.serviceSpecificExitCode = specificExit;
}

void ReportStatus() {
  platform::ServiceStatus copy;
  {
    DaemonState& d = Daemon();
    std::lock_guard<std::mutex> guard(d.lock);
    copy = d.status;
  }
  platform::ReportServiceStatus(copy);
}

void StopWithCode(uint32_t code) {
  SetStatus(platform::kStateStopped, kServiceSpecificError, static_cast<int>(code));
  ReportStatus();
}

void ControlHandler(int control) {
  DaemonState& d = Daemon();
  if (control == platform::kControlStop || control == platform::kControlShutdown) {
    {
      std::lock_guard<std::mutex> guard(d.lock);
      d.stopRequested = true;
    }
    CloseAccessLog();
    AppendErrorLog(control == platform::kControlShutdown
                       ? "[ Core ] Received SERVICE_CONTROL_SHUTDOWN, shutting down..."
                       : "[ Core ] Received SERVICE_CONTROL_STOP, shutting down...");
    std::string pidText;
    platform::ReadWholeFile(PidFilePath(), pidText);
    AppendErrorLog("[Worker] Terminating Worker... PID: " + pidText);
    const int32_t named = ReadInteger(pidText);
    bool terminated = false;
    {
      std::lock_guard<std::mutex> guard(d.lock);
      // Only the worker this daemon started is ended: a stale pid file must
      // never make the daemon kill a process that merely got the same id.
      if (d.worker.IsStarted() && named > 0 && static_cast<uint32_t>(named) == d.worker.Id()) {
        terminated = d.worker.End(kExitWorkerTerminated);
      } else if (d.worker.IsStarted()) {
        // The pid file does not name our worker; end it all the same, so no
        // worker outlives the service.
        d.worker.End(kExitWorkerTerminated);
      }
    }
    AppendErrorLog(terminated ? std::string("[Worker] Process Terminated.")
                              : "[Worker] Error - Unable to terminate worker process , PID: " + pidText);
    SetStatus(platform::kStateStopPending, 0, 0);
    ReportStatus();
    AppendErrorLog("[ Core ] Shutting down...");
    CloseErrorLog();
    SetStatus(platform::kStateStopped, 0, 0);
  } else if (control == platform::kControlInterrogate) {
    SetStatus(platform::kStateRunning, 0, 0);
    AppendErrorLog("[ Core ] Received SERVICE_CONTROL_INTERROGATE.");
  }
  ReportStatus();
}

void ServiceMain() {
  if (!platform::RegisterServiceControlHandler(kServiceName, ControlHandler)) return;
  AppendErrorLog("[ Core ] Initializing service...");
  DaemonState& d = Daemon();
  bool first = true;
  uint32_t previousExit = 0;
  for (;;) {
    SetStatus(platform::kStateRunning, 0, 0);
    uint32_t pid = 0;
    {
      std::lock_guard<std::mutex> guard(d.lock);
      if (d.stopRequested) return;
      d.worker = platform::Program::Start({ExecutablePath(), "/worker"});
      pid = d.worker.Id();
    }
    if (pid == 0) {
      const int error = platform::LastErrorCode();
      AppendErrorLog("[ Core ] Error while creating worker, OS Error - " + std::to_string(error) + " " +
                     platform::SystemErrorText(error));
      StopWithCode(kExitServerFailed);
      return;
    }
    const uint64_t startedAt = platform::MonotonicMilliseconds();
    ReportStatus();
    if (first) {
      AppendErrorLog("[ Core ] Initializing Worker Process... PID: " + std::to_string(pid));
    } else {
      AppendErrorLog("[ Core ] Worker Crashed(0x" + ExitCodeHex(previousExit) +
                     "). Restarting Worker Process... PID: " + std::to_string(pid));
    }
    first = false;

    // The handle is only read while the worker runs, here and by the
    // control handler under the lock; it is released under the lock.
    platform::ExitReason end;
    const bool waited = d.worker.WaitForEnd(end);
    bool stopping;
    {
      std::lock_guard<std::mutex> guard(d.lock);
      d.worker.Release();
      stopping = d.stopRequested;
    }
    if (stopping) return;  // the control handler ended the worker (10005)
    previousExit = waited ? end.StatusNumber() : 0;
    if (previousExit == 10001 || previousExit == 10002 || previousExit == static_cast<uint32_t>(kExitServerFailed)) {
      AppendErrorLog("[ Core ] Unable to restart worker. Terminated. Code: " + std::to_string(previousExit));
      StopWithCode(previousExit);
      return;
    }
    if (platform::MonotonicMilliseconds() - startedAt < kQuickEndMilliseconds) {
      platform::SleepMilliseconds(static_cast<uint32_t>(kQuickEndMilliseconds));
    }
  }
}

platform::ServiceConfig ZevraServiceConfig() {
  platform::ServiceConfig c;
  c.name = kServiceName;
  c.displayName = kDisplayName;
  c.description = kServiceDescription;
  c.executable = ExecutablePath();
  c.arguments = "/daemon";
  c.autoStart = true;
  c.account = platform::BuiltInServiceAccount();
  if (c.account.empty()) c.account = kServiceAccount;
  c.writableFiles = {ProgramPath({"error.log"}), PidFilePath()};
  c.writableDirectories = {ProgramPath({"WebLogs"}), ProgramPath({"WebTemp"}), ProgramPath({"WebCache"})};
  c.readablePaths = {ProgramPath({platform::SharedLibraryFileName("Zevra.Socket")}),
                     ProgramPath({platform::SharedLibraryFileName("gzip")}), ProgramPath({kSettingsFile}),
                     ProgramPath({"Hosts"}), ProgramPath({"WebRoot"})};
  return c;
}

}  // namespace

std::string ExitCodeHex(uint32_t code) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string digits;
  do {
    digits.insert(digits.begin(), kDigits[code & 15]);
    code >>= 4;
  } while (code != 0);
  if (digits.size() % 2 != 0) digits.insert(digits.begin(), '0');
  return digits;
}

bool InstallService() { return platform::CreateSystemService(ZevraServiceConfig()); }

bool RemoveService() {
  if (!platform::OpenSystemService(kServiceName)) return false;
  // The outcomes of the stop and the deletion are not looked at: the
  // service could be opened, and that is what counts.
  platform::StopSystemService(kServiceName);
  platform::DeleteSystemService(kServiceName);
  return true;
}

void RunServiceDispatcher() { platform::RunServiceControlDispatcher(kServiceName, ServiceMain); }

}  // namespace zevra
