// Where the POSIX service managers keep what belongs to one service: the
// systemd unit, the init script, the daemon's pid file (written by root
// through start-stop-daemon) and the init script's stop-in-progress marker.
#pragma once

#include <string>
#include <sys/stat.h>

namespace zevra::platform {

inline std::string ServiceUnitPath(const std::string& name) { return "/etc/systemd/system/" + name + ".service"; }
inline std::string ServiceScriptPath(const std::string& name) { return "/etc/init.d/" + name; }
inline std::string ServiceDaemonPidFile(const std::string& name) { return "/run/" + name + ".daemon.pid"; }
inline std::string ServiceStopMarker(const std::string& name) { return "/run/" + name + ".stopping"; }

inline bool ServicePathExists(const std::string& path) {
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0;
}

inline bool SystemdRuns() {
  struct stat st;
  return ::stat("/run/systemd/system", &st) == 0 && S_ISDIR(st.st_mode);
}

// The description line of both the unit and the script: the text after the
// marker is the description as it was given, so it can be read back whole.
inline constexpr const char* kServiceDescriptionMarker = "# Description:       ";

}  // namespace zevra::platform
