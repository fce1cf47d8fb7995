#include "platform/ProcessControl.h"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <utility>

#include "platform/posix/ExitStatus.h"

extern char** environ;

namespace zevra::platform {

ExitReason ExitReasonOfStatus(bool signaled, int code) {
  ExitReason reason;
  if (signaled) {
    reason.kind = ExitReason::Kind::kEndedBySystem;
    reason.code = static_cast<uint32_t>(code);
    return reason;
  }
  // A status carries 8 bits: the server's 10000..10009 arrive as 16..25.
  reason.code = code >= 16 && code <= 25 ? 10000u + static_cast<uint32_t>(code - 16) : static_cast<uint32_t>(code);
  return reason;
}

Program::Program(Program&& other) noexcept : id_(std::exchange(other.id_, 0)), handle_(std::exchange(other.handle_, nullptr)) {}

Program& Program::operator=(Program&& other) noexcept {
  if (this != &other) {
    Release();
    id_ = std::exchange(other.id_, 0);
    handle_ = std::exchange(other.handle_, nullptr);
  }
  return *this;
}

Program Program::Start(const std::vector<std::string>& argv, bool searchPath) {
  Program program;
  if (argv.empty()) {
    errno = EINVAL;
    return program;
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
    return program;
  }
  program.id_ = static_cast<uint32_t>(pid);
  return program;
}

bool Program::WaitForEnd(ExitReason& reason) const {
  if (id_ == 0) {
    errno = ECHILD;
    return false;
  }
  siginfo_t info{};
  // WNOWAIT: the ended program stays a zombie, so its pid cannot be given
  // to another process before Release, and End stays safe meanwhile.
  for (;;) {
    if (::waitid(P_PID, static_cast<id_t>(id_), &info, WEXITED | WNOWAIT) == 0) break;
    if (errno != EINTR) return false;
  }
  reason = ExitReasonOfStatus(info.si_code == CLD_KILLED || info.si_code == CLD_DUMPED, info.si_status);
  return true;
}

bool Program::End(uint32_t) const {
  if (id_ == 0) {
    errno = ESRCH;
    return false;
  }
  return ::kill(static_cast<pid_t>(id_), SIGKILL) == 0;
}

void Program::Release() {
  if (id_ == 0) return;
  // Reaps the program if it has ended; one that still runs is left alone.
  int status = 0;
  while (::waitpid(static_cast<pid_t>(id_), &status, WNOHANG) < 0 && errno == EINTR) {
  }
  id_ = 0;
}

}  // namespace zevra::platform
