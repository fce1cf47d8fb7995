// The system's service manager, seen through the operations a Windows
// service uses, so that the Windows build maps them onto the service control
// manager one to one. On Linux the system's own managers do the work:
// systemd where it runs, SysV init scripts elsewhere.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace zevra::platform {

// Error codes of the service functions, with texts of their own in
// SystemErrorText (the numbers are those of Windows).
inline constexpr int kErrorServiceExists = 1073;
inline constexpr int kErrorServiceDoesNotExist = 1060;
inline constexpr int kErrorServiceToolFailed = 1064;
// The service account could not run the program or reach the files it
// reads and writes (Windows' number for a logon failure of a service);
// LastServiceProblem names the path.
inline constexpr int kErrorServiceAccountAccess = 1069;

struct ServiceConfig {
  std::string name;
  std::string displayName;
  std::string description;
  std::string executable;  // full path of the program
  std::string arguments;   // the role's argument, e.g. "/daemon"
  bool autoStart = true;
  // The unprivileged system account the service runs as; it may write only
  // the files and directories below (created files when missing; the
  // directories must exist).
  std::string account;
  std::vector<std::string> writableFiles;
  std::vector<std::string> writableDirectories;
  // What the account must be able to read for the service to run (the
  // program's libraries, settings, host files, site folder); paths that do
  // not exist are not looked at.
  std::vector<std::string> readablePaths;
};

enum class ServiceState { kNotInstalled, kStopped, kStartPending, kRunning, kStopPending };

// Manager side. Each returns false with the reason in LastErrorCode.
// CreateSystemService refuses (kErrorServiceAccountAccess) when the account
// could not run the executable, read the readable paths or write the
// writable ones, rather than register a service that cannot start.
bool CreateSystemService(const ServiceConfig& config);
// A sentence on the last failure of a manager-side call beyond its error
// code (which path the account cannot reach), or empty.
std::string LastServiceProblem();
bool DeleteSystemService(const std::string& name);
bool SystemServiceExists(const std::string& name);
// Whether the caller may manage the service and it exists: the POSIX form
// of opening it with all rights.
bool OpenSystemService(const std::string& name);
bool StartSystemService(const std::string& name);
// Sends the stop control and returns once the service has stopped.
bool StopSystemService(const std::string& name);
// One look at the service's state; a stop or start that is under way shows
// as its pending state.
ServiceState QuerySystemServiceState(const std::string& name);

// What the management console needs beyond that.
// The description written at installation, read back unchanged; false when
// the service is not there or carries none.
bool QuerySystemServiceDescription(const std::string& name, std::string& description);
// Sends the stop control and returns at once: the stop completes (or not)
// while the caller goes on.
bool RequestSystemServiceStop(const std::string& name);
// The service's running processes as the service manager knows them: its
// main process and that process's children. A pid file that the service's
// own account could write is never trusted for this.
std::vector<uint32_t> SystemServiceProcessIds(const std::string& name);
// Ends pid at once, but only while it runs the program file executable:
// a stale or forged id never reaches an unrelated process.
bool EndProgramRunning(uint32_t pid, const std::string& executable);

// The built-in low-privileged account services of this system run as:
// NETWORK SERVICE on Windows. Empty on POSIX, which has none: the caller
// names an account of its own.
std::string BuiltInServiceAccount();
// A shared library's file name on this system ("Zevra.Socket" is
// libZevra.Socket.so on POSIX, Zevra.Socket.dll on Windows).
std::string SharedLibraryFileName(const std::string& name);

// Service process side.
enum ServiceControl { kControlStop = 1, kControlInterrogate = 4, kControlShutdown = 5 };
enum ServiceStateCode { kStateStopped = 1, kStateStopPending = 3, kStateRunning = 4 };

struct ServiceStatus {
  int serviceType = 0;
  int currentState = kStateRunning;
  int controlsAccepted = 0;
  int win32ExitCode = 0;
  int serviceSpecificExitCode = 0;
};

using ServiceMainFunction = void (*)();
using ServiceControlHandler = void (*)(int control);

// Runs serviceMain on a thread of its own and delivers controls to the
// registered handler on the calling thread (SIGTERM and SIGINT: stop;
// SIGUSR1: interrogate; POSIX cannot tell a shutdown from a stop). Returns
// once the service reported itself stopped.
bool RunServiceControlDispatcher(const std::string& name, ServiceMainFunction serviceMain);
bool RegisterServiceControlHandler(const std::string& name, ServiceControlHandler handler);
// Records the status and tells the service manager (systemd's notify
// socket when there is one).
void ReportServiceStatus(const ServiceStatus& status);

}  // namespace zevra::platform
