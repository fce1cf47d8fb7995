// Child processes with pipes: what the CGI gateway needs to run one program
// per request. The child gets an explicit argument vector and environment
// (nothing of ours), its own process group (a job on Windows), standard
// input from a pipe or the null device, and standard output and error on
// one pipe. Neither ReadOutput nor WriteInput blocks, so one thread can feed
// the input while it drains the output; no child ever holds a pipe end of
// another request.
//
// The pipes are driven by completion, not by readiness, so that Windows'
// overlapped pipes (which cannot be polled) serve as well as POSIX's
// non-blocking ones: a ReadOutput or WriteInput that cannot finish now
// (returns -1) leaves its operation pending in the handle, and
// WaitForProgress waits until a pending operation can go on. Bytes taken by
// WriteInput belong to the handle from then on; ReadOutput may hand out
// bytes the handle read ahead.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/File.h"
#include "platform/ProcessControl.h"

namespace zevra::platform {

struct ChildSpec {
  // [0] names the program: a path, or a bare name looked up in the server's
  // own PATH. Every text here is internal UTF-8; the platform converts it
  // at the edge (POSIX: the process code page; Windows: UTF-16, never
  // through the ANSI code page, whose "best fit" would turn characters
  // such as a soft hyphen into '-').
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

// What WaitForProgress saw.
enum PipeProgress : unsigned {
  kOutputProgress = 1,  // ReadOutput has bytes (or the end) to give
  kInputProgress = 2,   // WriteInput can take bytes again (or the child closed its input)
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

  // Output: bytes read (at most length), 0 once every writer has closed it,
  // -1 when nothing is there right now, -2 on failure.
  int64_t ReadOutput(void* buffer, size_t length);
  void CloseOutput();

  // Input: bytes taken (possibly fewer than length), -1 while the pipe is
  // full, -2 when the child no longer reads it. Never raises SIGPIPE.
  int64_t WriteInput(const void* data, size_t length);
  bool InputOpen() const { return input_.IsOpen(); }
  // The child sees the end of its input once the bytes already taken are
  // in the pipe: on Windows a write still pending is let finish first (the
  // input then stays open until WaitForProgress or CloseInput sees it done).
  void CloseInput();

  // Waits at most timeoutMs until the output (after a ReadOutput that gave
  // -1) or the input (after a WriteInput that gave -1, while it is open)
  // can go on. Returns PipeProgress bits; 0 when the time ran out.
  unsigned WaitForProgress(int timeoutMs);

  // True once the child has exited; it stays reapable until Stop.
  bool HasExited();
  // Polls HasExited for at most timeoutMs.
  bool WaitForExit(int timeoutMs);

  // Kills the child's process group (its job on Windows: whatever of it
  // still runs), reaps the child and closes both pipe ends. Safe to call
  // more than once.
  void Stop();

  // After Stop: true when the system had ended the child for a fault of
  // its own (a signal other than the kill that Stop sends; on Windows an
  // exception code), so its output may be cut short anywhere. EndReason
  // then says by what.
  bool Crashed() const { return crash_.EndedBySystem(); }
  ExitReason EndReason() const { return crash_; }

 private:
  // Windows: the process, its job and the overlapped operations. On the
  // heap, because the system keeps the address of a pending operation.
  // POSIX has none.
  struct NativeState;
  struct NativeStateDeleter {
    void operator()(NativeState* state) const;
  };

  int pid_ = -1;
  ExitReason crash_;
  bool inputPending_ = false;  // the last WriteInput found the pipe full
  File input_;
  File output_;
  std::unique_ptr<NativeState, NativeStateDeleter> native_;
};

// Whether text reaches a child as one argument whatever program reads it.
// POSIX hands over an argument vector: always. Windows hands over one
// command line that each program splits by its own rules: text holding a
// double quote is refused there, for a quote may end the argument in a
// parser other than the C runtime's, however it is escaped.
bool PassesAsOneArgument(std::string_view text);

// True where the system ends a faulting program with an exception code
// (Windows: 0xC0000000 and above) rather than with a signal (POSIX), so
// that ExitReason::code is shown the way the system's tools show it.
bool EndsByExceptionCode();

// 0 when path names a regular file (links followed); otherwise the system
// error code that explains why not: the lookup's own error, or the code for
// "is a directory" / "invalid argument" for a directory or a special file.
int RegularFileError(const std::string& path);

}  // namespace zevra::platform
