// The console's side of the POSIX service managers: one look at the state
// (pending states included), the description read back from the unit or the
// init script, a stop that does not wait, and the forced end of exactly this
// service's processes.
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <dirent.h>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "platform/File.h"
#include "platform/Process.h"
#include "platform/ProcessControl.h"
#include "platform/Service.h"
#include "platform/posix/ServicePaths.h"

namespace zevra::platform {
namespace {

// A tool's standard output (at most 4 KiB, at most two seconds), or empty.
std::string ToolOutput(const std::vector<std::string>& argv) {
  ChildSpec launch;
  launch.arguments = argv;
  launch.environment = {"PATH=/usr/sbin:/usr/bin:/sbin:/bin", "LC_ALL=C"};
  StartFailure failure;
  int error = 0;
  ChildProcess child = ChildProcess::Start(launch, failure, error);
  if (!child.IsStarted()) return {};
  std::string out;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
  char buffer[512];
  while (out.size() < 4096 && std::chrono::steady_clock::now() < deadline) {
    if (child.WaitForPipes(false, 100) == 0) continue;
    int64_t n = child.ReadOutput(buffer, sizeof buffer);
    if (n == -1) continue;
    if (n <= 0) break;
    out.append(buffer, static_cast<size_t>(n));
  }
  child.Stop();
  while (!out.empty() && (out.back() == '\n' || out.back() == '\r')) out.pop_back();
  return out;
}

// Exit status of a tool with its output discarded, or -1.
int ToolStatus(const std::vector<std::string>& argv) {
  const uint32_t pid = StartProgram(argv, true);
  if (pid == 0) return -1;
  ProgramExit end;
  const bool waited = WaitProgramEnd(pid, end);
  ReleaseProgram(pid);
  return waited && !end.signaled ? end.code : -1;
}

bool ProcessAlive(uint32_t pid) { return pid > 0 && (::kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM); }

uint32_t ReadPid(const std::string& text) {
  char* end = nullptr;
  const long value = std::strtol(text.c_str(), &end, 10);
  return value > 0 && value < (1L << 30) ? static_cast<uint32_t>(value) : 0;
}

// The daemon's pid from the pid file that start-stop-daemon writes as root;
// a file anyone else could have written is ignored.
uint32_t ScriptDaemonPid(const std::string& name) {
  const std::string path = ServiceDaemonPidFile(name);
  struct stat st;
  if (::lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != 0 || (st.st_mode & 022) != 0) {
    return 0;
  }
  std::string text;
  if (!ReadWholeFile(path, text)) return 0;
  return ReadPid(text);
}

// Parent pid from /proc/<pid>/stat; the command name may hold blanks and
// parentheses, so the fields are counted from its last ')'.
uint32_t ParentPid(uint32_t pid) {
  std::string stat;
  if (!ReadWholeFile("/proc/" + std::to_string(pid) + "/stat", stat)) return 0;
  const size_t close = stat.rfind(')');
  if (close == std::string::npos || close + 4 >= stat.size()) return 0;
  // ") S 1234 ..." : state, then the parent's pid.
  return ReadPid(stat.substr(close + 4));
}

std::vector<uint32_t> ChildrenOf(uint32_t parent) {
  std::vector<uint32_t> children;
  DIR* dir = ::opendir("/proc");
  if (dir == nullptr) return children;
  while (struct dirent* entry = ::readdir(dir)) {
    const uint32_t pid = ReadPid(entry->d_name);
    if (pid != 0 && ParentPid(pid) == parent) children.push_back(pid);
  }
  ::closedir(dir);
  return children;
}

}  // namespace

ServiceState QuerySystemServiceState(const std::string& name) {
  const bool unit = ServicePathExists(ServiceUnitPath(name));
  if (!unit && !ServicePathExists(ServiceScriptPath(name))) return ServiceState::kNotInstalled;
  if (unit) {
    const std::string active = ToolOutput({"systemctl", "show", "--property=ActiveState", "--value", name});
    if (active == "active" || active == "reloading") return ServiceState::kRunning;
    if (active == "activating") return ServiceState::kStartPending;
    if (active == "deactivating") return ServiceState::kStopPending;
    return ServiceState::kStopped;
  }
  // The init script marks a stop under way with the pid of its shell.
  std::string marker;
  if (ReadWholeFile(ServiceStopMarker(name), marker) && ProcessAlive(ReadPid(marker))) {
    return ServiceState::kStopPending;
  }
  return ToolStatus({ServiceScriptPath(name), "status"}) == 0 ? ServiceState::kRunning : ServiceState::kStopped;
}

bool QuerySystemServiceDescription(const std::string& name, std::string& description) {
  std::string text;
  if (!ReadWholeFile(ServiceUnitPath(name), text) && !ReadWholeFile(ServiceScriptPath(name), text)) {
    errno = kErrorServiceDoesNotExist;
    return false;
  }
  const std::string marker = kServiceDescriptionMarker;
  size_t at = 0;
  while (at < text.size()) {
    size_t end = text.find('\n', at);
    if (end == std::string::npos) end = text.size();
    if (text.compare(at, marker.size(), marker) == 0) {
      description = text.substr(at + marker.size(), end - at - marker.size());
      return true;
    }
    at = end + 1;
  }
  errno = ENOENT;
  return false;
}

bool RequestSystemServiceStop(const std::string& name) {
  std::vector<std::string> argv;
  if (ServicePathExists(ServiceUnitPath(name))) {
    argv = {"systemctl", "stop", "--no-block", name};
  } else if (ServicePathExists(ServiceScriptPath(name))) {
    argv = {ServiceScriptPath(name), "stop"};
  } else {
    errno = kErrorServiceDoesNotExist;
    return false;
  }
  const uint32_t pid = StartProgram(argv, true);
  if (pid == 0) return false;
  // The init script's stop takes as long as the daemon needs; someone must
  // still reap it, and it is not the caller.
  std::thread([pid] {
    ProgramExit end;
    WaitProgramEnd(pid, end);
    ReleaseProgram(pid);
  }).detach();
  return true;
}

std::vector<uint32_t> SystemServiceProcessIds(const std::string& name) {
  std::vector<uint32_t> ids;
  uint32_t daemon = 0;
  if (ServicePathExists(ServiceUnitPath(name))) {
    daemon = ReadPid(ToolOutput({"systemctl", "show", "--property=MainPID", "--value", name}));
    // Everything systemd counts as the service, the worker included.
    std::string procs;
    if (ReadWholeFile("/sys/fs/cgroup/system.slice/" + name + ".service/cgroup.procs", procs)) {
      size_t at = 0;
      while (at < procs.size()) {
        size_t end = procs.find('\n', at);
        if (end == std::string::npos) end = procs.size();
        if (uint32_t pid = ReadPid(procs.substr(at, end - at))) ids.push_back(pid);
        at = end + 1;
      }
    }
  } else if (ServicePathExists(ServiceScriptPath(name))) {
    daemon = ScriptDaemonPid(name);
  }
  if (daemon != 0 && ProcessAlive(daemon)) {
    ids.push_back(daemon);
    for (uint32_t child : ChildrenOf(daemon)) ids.push_back(child);
  }
  std::vector<uint32_t> unique;
  for (uint32_t pid : ids) {
    bool seen = false;
    for (uint32_t u : unique) seen = seen || u == pid;
    if (!seen) unique.push_back(pid);
  }
  return unique;
}

bool EndProgramRunning(uint32_t pid, const std::string& executable) {
  if (pid == 0 || executable.empty()) {
    errno = EINVAL;
    return false;
  }
  char resolved[4096];
  const ssize_t n = ::readlink(("/proc/" + std::to_string(pid) + "/exe").c_str(), resolved, sizeof resolved - 1);
  if (n <= 0) return false;
  resolved[n] = '\0';
  char* wanted = ::realpath(executable.c_str(), nullptr);
  const bool same = wanted != nullptr && std::string(resolved) == wanted;
  std::free(wanted);
  if (!same) {
    errno = EPERM;
    return false;
  }
  return ::kill(static_cast<pid_t>(pid), SIGKILL) == 0;
}

}  // namespace zevra::platform
