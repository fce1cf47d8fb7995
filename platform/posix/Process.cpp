#include "platform/Process.h"

#include "platform/posix/BrokenPipe.h"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <utility>

#include "platform/Clock.h"
#include "platform/CodePage.h"
#include "platform/System.h"

namespace zevra::platform {
namespace {

// Both ends close-on-exec from birth (pipe2), so a child started by another
// thread at the same moment can never inherit them.
bool MakePipe(File& readEnd, File& writeEnd) {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return false;
  readEnd = File(fds[0]);
  writeEnd = File(fds[1]);
  return true;
}

bool SetNonBlocking(const File& file) {
  int flags = ::fcntl(file.Handle(), F_GETFL);
  return flags >= 0 && ::fcntl(file.Handle(), F_SETFL, flags | O_NONBLOCK) == 0;
}

// The child's ends are moved onto 0, 1 and 2 by the spawn's file actions,
// which run in order; an end that itself sits on 0..2 (possible when the
// server runs with a standard stream closed) could be overwritten before it
// is used, so it is moved above 2 first.
bool KeepAboveStandardStreams(File& file) {
  if (file.Handle() > 2) return true;
  int moved = ::fcntl(file.Handle(), F_DUPFD_CLOEXEC, 3);
  if (moved < 0) return false;
  file = File(moved);
  return true;
}

struct SpawnAttributes {
  posix_spawnattr_t attr;
  posix_spawn_file_actions_t actions;
  bool attrReady = false;
  bool actionsReady = false;
  ~SpawnAttributes() {
    if (actionsReady) posix_spawn_file_actions_destroy(&actions);
    if (attrReady) posix_spawnattr_destroy(&attr);
  }
};

std::vector<std::string> ToCodePage(const std::vector<std::string>& texts) {
  if (CodePageIsUtf8()) return texts;
  std::vector<std::string> converted;
  converted.reserve(texts.size());
  for (const std::string& text : texts) converted.push_back(Utf8ToCodePage(text));
  return converted;
}

std::vector<char*> PointerArray(const std::vector<std::string>& texts) {
  std::vector<char*> pointers;
  pointers.reserve(texts.size() + 1);
  for (const std::string& text : texts) pointers.push_back(const_cast<char*>(text.c_str()));
  pointers.push_back(nullptr);
  return pointers;
}

}  // namespace

// POSIX keeps nothing beside the pid and the two descriptors.
struct ChildProcess::NativeState {};
void ChildProcess::NativeStateDeleter::operator()(NativeState* state) const { delete state; }

bool EndsByExceptionCode() { return false; }
bool PassesAsOneArgument(std::string_view) { return true; }

void ChildProcess::CloseOutput() { output_.Close(); }
void ChildProcess::CloseInput() { input_.Close(); }

ChildProcess ChildProcess::Start(const ChildSpec& launch, StartFailure& failure, int& error) {
  failure = StartFailure::kNone;
  error = 0;
  ChildProcess child;
  if (launch.arguments.empty() || launch.arguments[0].empty()) {
    failure = StartFailure::kSpawn;
    error = ENOENT;
    return child;
  }

  File outputRead, outputWrite;
  if (!MakePipe(outputRead, outputWrite) || !KeepAboveStandardStreams(outputWrite) ||
      !SetNonBlocking(outputRead)) {
    failure = StartFailure::kOutputPipe;
    error = errno;
    return child;
  }
  File inputRead, inputWrite;
  if (launch.inputPipe) {
    if (!MakePipe(inputRead, inputWrite) || !KeepAboveStandardStreams(inputRead) ||
        !SetNonBlocking(inputWrite)) {
      failure = StartFailure::kInputPipe;
      error = errno;
      return child;
    }
  }

  SpawnAttributes s;
  int rc = posix_spawnattr_init(&s.attr);
  if (rc == 0) {
    s.attrReady = true;
    // Its own process group (pgid = its pid), so a timeout can kill the
    // program together with whatever it started. Signal dispositions and
    // mask start clean: the server's own (SIGPIPE ignored by the network
    // code, signals blocked in worker threads) must not leak into CGI.
    sigset_t all, none;
    sigfillset(&all);
    sigemptyset(&none);
    rc = posix_spawnattr_setflags(&s.attr, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
    if (rc == 0) rc = posix_spawnattr_setpgroup(&s.attr, 0);
    if (rc == 0) rc = posix_spawnattr_setsigdefault(&s.attr, &all);
    if (rc == 0) rc = posix_spawnattr_setsigmask(&s.attr, &none);
  }
  if (rc == 0) {
    rc = posix_spawn_file_actions_init(&s.actions);
    if (rc == 0) s.actionsReady = true;
  }
  if (rc == 0) {
    if (launch.inputPipe) {
      rc = posix_spawn_file_actions_adddup2(&s.actions, inputRead.Handle(), STDIN_FILENO);
    } else {
      rc = posix_spawn_file_actions_addopen(&s.actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    }
  }
  if (rc == 0) rc = posix_spawn_file_actions_adddup2(&s.actions, outputWrite.Handle(), STDOUT_FILENO);
  if (rc == 0) rc = posix_spawn_file_actions_adddup2(&s.actions, outputWrite.Handle(), STDERR_FILENO);
  // Nothing but the three streams reaches the program. Close-on-exec alone
  // leaves a window: a socket the network library has just accepted gets
  // its flag only after accept returns, and a program started by another
  // thread in between would hold that client's connection.
  if (rc == 0) rc = posix_spawn_file_actions_addclosefrom_np(&s.actions, STDERR_FILENO + 1);
  if (rc == 0 && !launch.workingDirectory.empty()) {
    rc = posix_spawn_file_actions_addchdir_np(&s.actions, launch.workingDirectory.c_str());
  }
  if (rc != 0) {
    failure = StartFailure::kSpawn;
    error = rc;
    return child;
  }

  // The texts go out in the process code page (the identity on a UTF-8
  // system, which is the common case).
  std::vector<std::string> arguments = ToCodePage(launch.arguments);
  std::vector<std::string> environment = ToCodePage(launch.environment);
  std::vector<char*> argv = PointerArray(arguments);
  std::vector<char*> envp = PointerArray(environment);
  // A bare program name is looked up as a shell would, in the server's
  // PATH; anything holding a separator is taken as the path itself. glibc
  // reports a failed exec (or chdir) as the spawn's result.
  bool search = launch.arguments[0].find('/') == std::string::npos;
  pid_t pid = -1;
  rc = search ? ::posix_spawnp(&pid, argv[0], &s.actions, &s.attr, argv.data(), envp.data())
              : ::posix_spawn(&pid, argv[0], &s.actions, &s.attr, argv.data(), envp.data());
  if (rc != 0) {
    failure = StartFailure::kSpawn;
    error = rc;
    return child;
  }
  // The child's ends close here (File destructors): from now on the output
  // ends when the child and its descendants close their copies.
  child.pid_ = pid;
  child.output_ = std::move(outputRead);
  child.input_ = std::move(inputWrite);
  return child;
}

int64_t ChildProcess::ReadOutput(void* buffer, size_t length) {
  if (!output_) return -2;
  for (;;) {
    ssize_t n = ::read(output_.Handle(), buffer, length);
    if (n >= 0) return n;
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) return -1;
    return -2;
  }
}

int64_t ChildProcess::WriteInput(const void* data, size_t length) {
  if (!input_) return -2;
  // A write to a pipe nobody reads must report EPIPE, not end the process.
  BrokenPipeGuard guard;
  ssize_t n;
  do {
    n = ::write(input_.Handle(), data, length);
  } while (n < 0 && errno == EINTR);
  const int saved = n < 0 ? errno : 0;
  guard.Settle();
  inputPending_ = n < 0 && (saved == EAGAIN || saved == EWOULDBLOCK);
  if (n >= 0) return n;
  if (saved == EAGAIN || saved == EWOULDBLOCK) return -1;
  return -2;
}

// POSIX pipes are non-blocking, so nothing is ever pending in the handle:
// readiness of the descriptors stands for progress of the operations.
unsigned ChildProcess::WaitForProgress(int timeoutMs) {
  struct pollfd fds[2];
  nfds_t count = 0;
  int outputIndex = -1, inputIndex = -1;
  if (output_) {
    fds[count] = {output_.Handle(), POLLIN, 0};
    outputIndex = static_cast<int>(count++);
  }
  if (input_ && inputPending_) {
    fds[count] = {input_.Handle(), POLLOUT, 0};
    inputIndex = static_cast<int>(count++);
  }
  if (count == 0) return 0;
  if (timeoutMs < 0) timeoutMs = 0;
  uint64_t deadline = MonotonicMilliseconds() + static_cast<uint64_t>(timeoutMs);
  for (;;) {
    int rc = ::poll(fds, count, timeoutMs);
    if (rc > 0) break;
    if (rc == 0) return 0;
    if (errno != EINTR) return 0;
    uint64_t now = MonotonicMilliseconds();
    if (now >= deadline) return 0;
    timeoutMs = static_cast<int>(deadline - now);
  }
  unsigned ready = 0;
  // Hang-up and error count as ready: the next read or write reports them.
  if (outputIndex >= 0 && fds[outputIndex].revents != 0) ready |= kOutputProgress;
  if (inputIndex >= 0 && fds[inputIndex].revents != 0) ready |= kInputProgress;
  return ready;
}

bool ChildProcess::HasExited() {
  if (pid_ <= 0) return true;
  siginfo_t info = {};
  // WNOWAIT leaves the child a zombie: its pid, and with it the process
  // group id, stays ours until Stop has killed the group and reaped it.
  int rc;
  do {
    rc = ::waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOHANG | WNOWAIT);
  } while (rc < 0 && errno == EINTR);
  if (rc < 0) return true;  // not our child any more: nothing to wait for
  return info.si_pid == pid_;
}

bool ChildProcess::WaitForExit(int timeoutMs) {
  uint64_t deadline = MonotonicMilliseconds() + static_cast<uint64_t>(timeoutMs < 0 ? 0 : timeoutMs);
  for (;;) {
    if (HasExited()) return true;
    if (MonotonicMilliseconds() >= deadline) return false;
    SleepMilliseconds(1);
  }
}

void ChildProcess::Stop() {
  input_.Close();
  output_.Close();
  if (pid_ <= 0) return;
  // The group is killed even when its leader has exited: helpers it left
  // running die with the request. The leader is at worst a zombie here, so
  // its pid (the group id) cannot have been reused.
  ::kill(-pid_, SIGKILL);
  ::kill(pid_, SIGKILL);  // in case the child left its group
  int status = 0;
  int rc;
  while ((rc = ::waitpid(pid_, &status, 0)) < 0 && errno == EINTR) {
  }
  // SIGKILL is ours (or indistinguishable from it); any other signal ended
  // the child before we did.
  if (rc == pid_ && WIFSIGNALED(status) && WTERMSIG(status) != SIGKILL) {
    crash_.kind = ExitReason::Kind::kEndedBySystem;
    crash_.code = static_cast<uint32_t>(WTERMSIG(status));
  }
  pid_ = -1;
}

int RegularFileError(const std::string& path) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) return errno;
  if (S_ISREG(st.st_mode)) return 0;
  return S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
}

}  // namespace zevra::platform
