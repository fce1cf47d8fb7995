// Child processes with pipes: what the CGI gateway needs to run one program
// per request. The child gets an explicit argument vector and environment
// (nothing of ours), its own process group, standard input from a pipe or
// the null device, and standard output and error on one pipe. Our pipe ends
// are non-blocking, so one thread can feed the input while it drains the
// output; every descriptor we open is close-on-exec, so no child ever holds
// a pipe end of another request.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/File.h"

namespace zevra::platform {

struct ChildSpec {
  // [0] names the program: a path, or a bare name looked up in the server's
  // own PATH. The texts are handed to the OS as they are.
  std::vector<std::string> arguments;
  // "NAME=value" texts: the child's whole environment.
  std::vector<std::string> environment;
  // Empty: the child starts in the server's current directory.
  std::string workingDirectory;
  // True: standard input is a pipe that WriteInput feeds. False: /dev/null.
  bool inputPipe = false;
};

// Which step of a start failed; the error code says why.
enum class StartFailure { kNone, kOutputPipe, kInputPipe, kSpawn };

// What WaitForPipes saw.
enum PipeReadiness : unsigned {
  kOutputReady = 1,  // output can be read (or has ended)
  kInputReady = 2,   // the input pipe takes bytes (or the child closed it)
};

// One child. Destroying the handle while the child runs kills its process
// group and reaps it; either way no zombie and no descriptor outlives it.
class ChildProcess {
 public:
  ChildProcess() = default;
  ChildProcess(ChildProcess&& other) noexcept;
  ChildProcess& operator=(ChildProcess&& other) noexcept;
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;
  ~ChildProcess() { Stop(); }

  // Starts the child. On failure the handle is empty, failure names the
  // step and error holds the system error code (for a program that cannot
  // be executed, the code of the exec itself: 2 for a missing file).
  static ChildProcess Start(const ChildSpec& launch, StartFailure& failure, int& error);

  bool IsStarted() const { return pid_ > 0; }
  int Pid() const { return pid_; }

  // Output: bytes read (at most length), 0 once every writer has closed it,
  // -1 when nothing is there right now, -2 on failure.
  int64_t ReadOutput(void* buffer, size_t length);
  bool OutputOpen() const { return output_.IsOpen(); }
  void CloseOutput() { output_.Close(); }

  // Input: bytes taken (possibly fewer than length), -1 while the pipe is
  // full, -2 when the child no longer reads it. Never raises SIGPIPE.
  int64_t WriteInput(const void* data, size_t length);
  bool InputOpen() const { return input_.IsOpen(); }
  void CloseInput() { input_.Close(); }

  // Waits at most timeoutMs for the output (and, with wantInput and the
  // input open, the input) to be ready. Returns PipeReadiness bits; 0 when
  // the time ran out.
  unsigned WaitForPipes(bool wantInput, int timeoutMs);

  // True once the child has exited; it stays reapable until Stop.
  bool HasExited();
  // Polls HasExited for at most timeoutMs.
  bool WaitForExit(int timeoutMs);

  // Kills the child's process group (whatever of it still runs), reaps the
  // child and closes both pipe ends. Safe to call more than once.
  void Stop();

  // After Stop: true when the child had ended by a fault of its own (a
  // signal other than the kill that Stop sends), so its output may be cut
  // short anywhere.
  bool Crashed() const { return crashSignal_ != 0; }
  int CrashSignal() const { return crashSignal_; }

 private:
  int pid_ = -1;
  int crashSignal_ = 0;
  File input_;
  File output_;
};

// 0 when path names a regular file (links followed); otherwise the system
// error code that explains why not: the lookup's own error, or the code for
// "is a directory" / "invalid argument" for a directory or a special file.
int RegularFileError(const std::string& path);

}  // namespace zevra::platform
