// Services on Linux through the system's own managers: a systemd unit where
// systemd runs, an LSB init script driven by start-stop-daemon elsewhere.
// The unprivileged account keeps the right to bind ports below 1024 through
// an ambient capability (AmbientCapabilities= under systemd, setpriv under
// the init script).
#include "platform/Service.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <grp.h>
#include <mutex>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>

#include "platform/File.h"
#include "platform/ProcessControl.h"
#include "platform/posix/ServicePaths.h"
#include "platform/posix/ServiceText.h"

namespace zevra::platform {
namespace {

std::string UnitPath(const std::string& name) { return ServiceUnitPath(name); }
std::string ScriptPath(const std::string& name) { return ServiceScriptPath(name); }
std::string DaemonPidFile(const std::string& name) { return ServiceDaemonPidFile(name); }
bool Exists(const std::string& path) { return ServicePathExists(path); }

// The error log lies in the program directory, beside the executable.
std::string ErrorLogBeside(const std::string& executable) {
  const size_t slash = executable.rfind('/');
  return (slash == std::string::npos ? std::string(".") : executable.substr(0, slash)) + "/error.log";
}

// Runs a system tool with its output discarded; its exit status, or -1.
int RunTool(const std::vector<std::string>& argv) {
  const Program tool = Program::Start(argv, true);
  if (!tool.IsStarted()) return -1;
  ExitReason end;
  const bool waited = tool.WaitForEnd(end);
  return waited && !end.EndedBySystem() ? static_cast<int>(end.code) : -1;
}

bool ToolSucceeds(const std::vector<std::string>& argv) {
  if (RunTool(argv) == 0) return true;
  errno = kErrorServiceToolFailed;
  return false;
}

bool WriteTextFile(const std::string& path, const std::string& text, mode_t mode) {
  File file = File::CreateNew(path);
  if (!file) return false;
  if (!file.WriteAll(text.data(), text.size()) || ::fchmod(file.Handle(), mode) != 0) {
    int saved = errno;
    file.Close();
    ::unlink(path.c_str());
    errno = saved;
    return false;
  }
  return true;
}

// A text as one single-quoted shell word.
std::string ShellQuote(const std::string& text) {
  std::string out = "'";
  for (char c : text) {
    if (c == '\'') {
      out += "'\\''";
    } else {
      out += c;
    }
  }
  return out + "'";
}

// A path as one word of a systemd command line.
std::string SystemdQuote(const std::string& text) {
  bool plain = text.find_first_of(" \t\"'\\;$%") == std::string::npos;
  if (plain) return text;
  std::string out = "\"";
  for (char c : text) {
    if (c == '"' || c == '\\') out += '\\';
    if (c == '%') out += '%';
    out += c;
  }
  return out + "\"";
}

bool EnsureAccount(const std::string& account, uid_t& uid, gid_t& gid) {
  struct passwd* pw = ::getpwnam(account.c_str());
  if (pw == nullptr) {
    if (!ToolSucceeds({"useradd", "--system", "--no-create-home", "--home-dir", "/nonexistent", "--shell",
                       "/usr/sbin/nologin", "--user-group", account})) {
      return false;
    }
    pw = ::getpwnam(account.c_str());
    if (pw == nullptr) {
      errno = kErrorServiceToolFailed;
      return false;
    }
  }
  uid = pw->pw_uid;
  gid = pw->pw_gid;
  return true;
}

// Hands the account what the service writes, and only that.
bool GrantWrites(const ServiceConfig& config, uid_t uid, gid_t gid) {
  for (const std::string& path : config.writableFiles) {
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    int rc = ::fchown(fd, uid, gid);
    int saved = errno;
    ::close(fd);
    if (rc != 0) {
      errno = saved;
      return false;
    }
  }
  for (const std::string& dir : config.writableDirectories) {
    if (!Exists(dir)) continue;  // the server creates none of its folders
    if (RunTool({"chown", "-R", std::to_string(uid) + ":" + std::to_string(gid), dir}) != 0) {
      errno = kErrorServiceToolFailed;
      return false;
    }
  }
  return true;
}

std::string& ServiceProblem() {
  static thread_local std::string problem;
  return problem;
}

// Whether the account passes test(1)'s check (-r, -w, -x) on path, asked
// as the account itself: only then do permissions of every folder above
// the path, ACLs and mount options all count as they will for the service.
bool AccountPasses(const std::string& account, const char* check, const std::string& path) {
  return RunTool({"setpriv", "--reuid=" + account, "--regid=" + account, "--init-groups", "/usr/bin/test", check,
                  path}) == 0;
}

// The first thing the account could not do that the service needs, as a
// sentence; empty when it can do them all.
std::string FindUnreachablePath(const ServiceConfig& config) {
  struct Need {
    const char* check;
    std::string path;
    const char* what;
  };
  std::vector<Need> needs;
  needs.push_back({"-x", config.executable, "run"});
  for (const std::string& path : config.readablePaths) {
    if (Exists(path)) needs.push_back({"-r", path, "read"});
  }
  for (const std::string& path : config.writableFiles) needs.push_back({"-w", path, "write"});
  for (const std::string& dir : config.writableDirectories) {
    if (Exists(dir)) needs.push_back({"-w", dir, "write in"});
  }
  for (const Need& need : needs) {
    if (AccountPasses(config.account, need.check, need.path)) continue;
    return "The service account '" + config.account + "' cannot " + need.what + " " + need.path +
           ". Every folder above the program directory must be open to it (search permission, o+x), "
           "and the program and its files readable: install from a folder such as /opt/Zevra.";
  }
  return std::string();
}

}  // namespace

std::string LastServiceProblem() { return ServiceProblem(); }

std::string BuiltInServiceAccount() { return std::string(); }

std::string SharedLibraryFileName(const std::string& name) { return "lib" + name + ".so"; }

std::string SystemdUnitText(const ServiceConfig& c) {
  std::string t;
  t += std::string(kServiceDescriptionMarker) + c.description + "\n";
  t += "[Unit]\n";
  t += "Description=" + c.displayName + " - " + c.description + "\n";
  t += "After=network.target\n\n";
  t += "[Service]\n";
  // The daemon reports "running" over the notify socket once it supervises.
  t += "Type=notify\n";
  t += "NotifyAccess=main\n";
  t += "ExecStart=" + SystemdQuote(c.executable) + " " + c.arguments + "\n";
  // The stop signal goes to the daemon alone, which ends its worker itself.
  t += "KillMode=mixed\n";
  t += "TimeoutStopSec=20\n";
  t += "User=" + c.account + "\n";
  t += "Group=" + c.account + "\n";
  t += "AmbientCapabilities=CAP_NET_BIND_SERVICE\n";
  // Every connection holds a descriptor; systemd's default soft limit of
  // 1024 is below the connection limit the console allows (30000).
  t += "LimitNOFILE=65536\n";
  // The daemon's normal end, 10000, arrives as its low byte.
  t += "SuccessExitStatus=16\n";
  t += "Restart=no\n\n";
  t += "[Install]\n";
  t += "WantedBy=multi-user.target\n";
  return t;
}

std::string InitScriptText(const ServiceConfig& c) {
  const std::string daemon = ShellQuote(c.executable);
  std::string t;
  t += "#!/bin/sh\n";
  t += "### BEGIN INIT INFO\n";
  t += "# Provides:          " + c.name + "\n";
  t += "# Required-Start:    $remote_fs $network\n";
  t += "# Required-Stop:     $remote_fs $network\n";
  t += std::string("# Default-Start:     ") + (c.autoStart ? "2 3 4 5" : "") + "\n";
  t += "# Default-Stop:      0 1 6\n";
  t += "# Short-Description: " + c.displayName + "\n";
  t += std::string(kServiceDescriptionMarker) + c.description + "\n";
  t += "### END INIT INFO\n";
  t += "# Written by \"" + c.executable + " /install\"; removed by \"/remove\".\n\n";
  t += "NAME=" + ShellQuote(c.name) + "\n";
  t += "DAEMON=" + daemon + "\n";
  t += "PIDFILE=" + ShellQuote(DaemonPidFile(c.name)) + "\n";
  t += "STOPPING=" + ShellQuote(ServiceStopMarker(c.name)) + "\n";
  t += "ACCOUNT=" + ShellQuote(c.account) + "\n";
  t += "ERRORLOG=" + ShellQuote(ErrorLogBeside(c.executable)) + "\n";
  t += "PATH=/usr/sbin:/usr/bin:/sbin:/bin\n\n";
  t += "case \"$1\" in\n";
  t += "  start)\n";
  t += "    if start-stop-daemon --status --pidfile \"$PIDFILE\" --exec \"$DAEMON\"; then exit 0; fi\n";
  t += "    start-stop-daemon --start --quiet --background --make-pidfile --pidfile \"$PIDFILE\" \\\n";
  t += "      --exec \"$DAEMON\" --startas /usr/bin/setpriv -- \\\n";
  t += "      --reuid=\"$ACCOUNT\" --regid=\"$ACCOUNT\" --init-groups \\\n";
  t += "      --inh-caps=+net_bind_service --ambient-caps=+net_bind_service \\\n";
  t += "      -- \"$DAEMON\" " + c.arguments + "\n";
  // --background reports success before the daemon has even been run: a
  // daemon the account cannot execute, or one that ends at once, would
  // leave "start" saying nothing. Watch it for a moment, and say so loudly.
  t += "    n=0\n";
  t += "    while [ \"$n\" -lt 15 ]; do\n";
  t += "      sleep 0.1\n";
  t += "      pid=$(cat \"$PIDFILE\" 2>/dev/null)\n";
  t += "      if [ -z \"$pid\" ] || ! kill -0 \"$pid\" 2>/dev/null; then break; fi\n";
  t += "      n=$((n + 1))\n";
  t += "    done\n";
  t += "    if start-stop-daemon --status --pidfile \"$PIDFILE\" --exec \"$DAEMON\"; then exit 0; fi\n";
  t += "    rm -f \"$PIDFILE\"\n";
  t += "    msg=\"$NAME did not start: the account $ACCOUNT could not run $DAEMON, or the daemon ended at once "
       "(see $ERRORLOG).\"\n";
  t += "    echo \"$msg\" >&2\n";
  t += "    printf '%s - - [ Core ] %s\\r\\n' \"$(date '+%Y-%m-%d %H:%M:%S')\" \"$msg\" >> \"$ERRORLOG\" 2>/dev/null\n";
  t += "    logger -t \"$NAME\" \"$msg\" 2>/dev/null\n";
  t += "    exit 1\n";
  t += "    ;;\n";
  t += "  stop)\n";
  // The stop is marked as under way, with this shell's pid so that a marker
  // left behind by a killed stop does not count, until the daemon is gone.
  t += "    echo $$ > \"$STOPPING\"\n";
  t += "    start-stop-daemon --stop --quiet --retry TERM/20/KILL/5 --pidfile \"$PIDFILE\" --exec \"$DAEMON\"\n";
  t += "    rc=$?\n";
  t += "    rm -f \"$PIDFILE\" \"$STOPPING\"\n";
  t += "    [ \"$rc\" -eq 1 ] && exit 0\n";
  t += "    exit \"$rc\"\n";
  t += "    ;;\n";
  t += "  status)\n";
  t += "    start-stop-daemon --status --pidfile \"$PIDFILE\" --exec \"$DAEMON\"\n";
  t += "    rc=$?\n";
  t += "    if [ \"$rc\" -eq 0 ]; then echo \"$NAME is running\"; else echo \"$NAME is not running\"; fi\n";
  t += "    exit \"$rc\"\n";
  t += "    ;;\n";
  t += "  restart|force-reload)\n";
  t += "    \"$0\" stop && \"$0\" start\n";
  t += "    ;;\n";
  t += "  *)\n";
  t += "    echo \"Usage: $0 {start|stop|status|restart|force-reload}\" >&2\n";
  t += "    exit 3\n";
  t += "    ;;\n";
  t += "esac\n";
  return t;
}

bool SystemServiceExists(const std::string& name) {
  return Exists(UnitPath(name)) || Exists(ScriptPath(name));
}

bool OpenSystemService(const std::string& name) {
  if (::geteuid() != 0) {
    errno = EACCES;
    return false;
  }
  if (!SystemServiceExists(name)) {
    errno = kErrorServiceDoesNotExist;
    return false;
  }
  return true;
}

bool CreateSystemService(const ServiceConfig& config) {
  ServiceProblem().clear();
  if (::geteuid() != 0) {
    errno = EACCES;
    return false;
  }
  if (SystemServiceExists(config.name)) {
    errno = kErrorServiceExists;
    return false;
  }
  uid_t uid = 0;
  gid_t gid = 0;
  if (!EnsureAccount(config.account, uid, gid) || !GrantWrites(config, uid, gid)) return false;
  // A service the account cannot run would start "successfully" and do
  // nothing, with nowhere to say why: refuse it here, where someone reads.
  ServiceProblem() = FindUnreachablePath(config);
  if (!ServiceProblem().empty()) {
    errno = kErrorServiceAccountAccess;
    return false;
  }
  if (SystemdRuns()) {
    if (!WriteTextFile(UnitPath(config.name), SystemdUnitText(config), 0644)) return false;
    if (!ToolSucceeds({"systemctl", "daemon-reload"})) return false;
    if (config.autoStart && !ToolSucceeds({"systemctl", "enable", config.name})) return false;
    return true;
  }
  if (!WriteTextFile(ScriptPath(config.name), InitScriptText(config), 0755)) return false;
  if (config.autoStart && !ToolSucceeds({"update-rc.d", config.name, "defaults"})) {
    int saved = errno;
    ::unlink(ScriptPath(config.name).c_str());
    errno = saved;
    return false;
  }
  return true;
}

bool DeleteSystemService(const std::string& name) {
  if (::geteuid() != 0) {
    errno = EACCES;
    return false;
  }
  if (!SystemServiceExists(name)) {
    errno = kErrorServiceDoesNotExist;
    return false;
  }
  if (Exists(UnitPath(name))) {
    RunTool({"systemctl", "disable", name});
    if (::unlink(UnitPath(name).c_str()) != 0) return false;
    RunTool({"systemctl", "daemon-reload"});
  }
  if (Exists(ScriptPath(name))) {
    if (::unlink(ScriptPath(name).c_str()) != 0) return false;
    RunTool({"update-rc.d", name, "remove"});
  }
  return true;
}

bool StartSystemService(const std::string& name) {
  if (!SystemServiceExists(name)) {
    errno = kErrorServiceDoesNotExist;
    return false;
  }
  if (Exists(UnitPath(name))) return ToolSucceeds({"systemctl", "start", name});
  return ToolSucceeds({ScriptPath(name), "start"});
}

bool StopSystemService(const std::string& name) {
  if (!SystemServiceExists(name)) {
    errno = kErrorServiceDoesNotExist;
    return false;
  }
  if (Exists(UnitPath(name))) return ToolSucceeds({"systemctl", "stop", name});
  return ToolSucceeds({ScriptPath(name), "stop"});
}

// ---- the service process ---------------------------------------------------

namespace {

struct Dispatcher {
  std::mutex lock;
  std::condition_variable changed;
  ServiceControlHandler handler = nullptr;
  ServiceStatus status;
  bool stopped = false;
  bool mainDone = false;
};

Dispatcher& TheDispatcher() {
  static Dispatcher d;
  return d;
}

// systemd's notify protocol: one datagram of KEY=value lines to the socket
// named in NOTIFY_SOCKET ('@' for the abstract namespace).
void Notify(const std::string& message) {
  const char* path = std::getenv("NOTIFY_SOCKET");
  if (path == nullptr || path[0] == '\0') return;
  struct sockaddr_un address {};
  address.sun_family = AF_UNIX;
  size_t length = std::strlen(path);
  if (length >= sizeof address.sun_path) return;
  std::memcpy(address.sun_path, path, length);
  if (path[0] == '@') address.sun_path[0] = '\0';
  int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return;
  ::sendto(fd, message.data(), message.size(), MSG_NOSIGNAL, reinterpret_cast<struct sockaddr*>(&address),
           static_cast<socklen_t>(offsetof(struct sockaddr_un, sun_path) + length));
  ::close(fd);
}

}  // namespace

bool RegisterServiceControlHandler(const std::string&, ServiceControlHandler handler) {
  Dispatcher& d = TheDispatcher();
  std::lock_guard<std::mutex> guard(d.lock);
  d.handler = handler;
  return true;
}

void ReportServiceStatus(const ServiceStatus& status) {
  Dispatcher& d = TheDispatcher();
  {
    std::lock_guard<std::mutex> guard(d.lock);
    d.status = status;
    if (status.currentState == kStateStopped) d.stopped = true;
  }
  d.changed.notify_all();
  switch (status.currentState) {
    case kStateRunning:
      Notify("READY=1\nSTATUS=Running");
      break;
    case kStateStopPending:
      Notify("STOPPING=1\nSTATUS=Stopping");
      break;
    case kStateStopped:
      Notify(status.serviceSpecificExitCode != 0
                 ? "STATUS=Stopped, code " + std::to_string(status.serviceSpecificExitCode)
                 : std::string("STATUS=Stopped"));
      break;
    default:
      break;
  }
}

bool RunServiceControlDispatcher(const std::string&, ServiceMainFunction serviceMain) {
  // Controls arrive as signals; they are taken synchronously here, so every
  // thread must keep them blocked (threads inherit this mask).
  sigset_t controls;
  sigemptyset(&controls);
  sigaddset(&controls, SIGTERM);
  sigaddset(&controls, SIGINT);
  sigaddset(&controls, SIGUSR1);
  if (::pthread_sigmask(SIG_BLOCK, &controls, nullptr) != 0) return false;

  Dispatcher& d = TheDispatcher();
  std::thread main([serviceMain, &d] {
    serviceMain();
    {
      std::lock_guard<std::mutex> guard(d.lock);
      d.mainDone = true;
    }
    d.changed.notify_all();
  });

  for (;;) {
    {
      std::lock_guard<std::mutex> guard(d.lock);
      if (d.stopped || d.mainDone) break;
    }
    struct timespec tick = {0, 200 * 1000000L};
    int signal = ::sigtimedwait(&controls, nullptr, &tick);
    if (signal <= 0) continue;
    ServiceControlHandler handler;
    {
      std::lock_guard<std::mutex> guard(d.lock);
      handler = d.handler;
    }
    if (handler != nullptr) handler(signal == SIGUSR1 ? kControlInterrogate : kControlStop);
  }

  // Stopped: give the service main a moment to notice and return.
  std::unique_lock<std::mutex> guard(d.lock);
  if (d.changed.wait_for(guard, std::chrono::seconds(5), [&d] { return d.mainDone; })) {
    guard.unlock();
    main.join();
  } else {
    guard.unlock();
    main.detach();
  }
  return true;
}

}  // namespace zevra::platform
