#include "platform/ProcessControl.h"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace zevra::platform {

uint32_t StartProgram(const std::vector<std::string>& argv, bool searchPath) {
  if (argv.empty()) {
    errno = EINVAL;
    return 0;
  }
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  for (int fd = 0; fd <= 2; ++fd) {
    posix_spawn_file_actions_addopen(&actions, fd, "/dev/null", fd == 0 ? O_RDONLY : O_WRONLY, 0);
  }
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  // The daemon blocks its control signals; the worker must not inherit that
  // mask, nor any ignored disposition.
  sigset_t none, all;
  sigemptyset(&none);
  sigfillset(&all);
  posix_spawnattr_setsigmask(&attr, &none);
  posix_spawnattr_setsigdefault(&attr, &all);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

  pid_t pid = 0;
  int rc = searchPath ? posix_spawnp(&pid, args[0], &actions, &attr, args.data(), environ)
                      : posix_spawn(&pid, args[0], &actions, &attr, args.data(), environ);
  posix_spawnattr_destroy(&attr);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) {
    errno = rc;
    return 0;
  }
  return static_cast<uint32_t>(pid);
}

bool WaitProgramEnd(uint32_t pid, ProgramExit& exit) {
  siginfo_t info{};
  for (;;) {
    if (::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOWAIT) == 0) break;
    if (errno != EINTR) return false;
  }
  exit.signaled = info.si_code == CLD_KILLED || info.si_code == CLD_DUMPED;
  exit.code = info.si_status;
  return true;
}

void ReleaseProgram(uint32_t pid) {
  int status = 0;
  while (::waitpid(static_cast<pid_t>(pid), &status, 0) < 0 && errno == EINTR) {
  }
}

bool EndProgram(uint32_t pid) {
  if (pid == 0) {
    errno = ESRCH;
    return false;
  }
  return ::kill(static_cast<pid_t>(pid), SIGKILL) == 0;
}

}  // namespace zevra::platform
