// Starting and supervising a whole program (the daemon's worker): start it
// with the caller's environment and directory, wait for its end, end it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace zevra::platform {

// How a process ended.
struct ExitReason {
  enum class Kind {
    kExited,         // it returned or called exit: code is its exit code
    kEndedBySystem,  // the system ended it (a signal on POSIX): code says by what
  };
  Kind kind = Kind::kExited;
  // The exit code as the program gave it. POSIX passes only its low byte;
  // the POSIX layer turns 16..25 back into the server's own 10000..10009,
  // which are the only codes above 255 that our programs use.
  uint32_t code = 0;

  bool EndedBySystem() const { return kind == Kind::kEndedBySystem; }
  // One number for logs and decisions: the exit code, or 128 + the signal
  // for a process the system ended (as a shell reports it).
  uint32_t StatusNumber() const { return EndedBySystem() ? 128u + code : code; }
};

// A started program, owned: the handle keeps the process's identity until
// it is released, so End never reaches another process that has been
// given the same id. Releasing a program that still runs leaves it running.
class Program {
 public:
  Program() = default;
  Program(Program&& other) noexcept;
  Program& operator=(Program&& other) noexcept;
  Program(const Program&) = delete;
  Program& operator=(const Program&) = delete;
  ~Program() { Release(); }

  // Starts argv[0] with the arguments, the caller's environment and current
  // directory, no standard handles (they lead nowhere) and a clean signal
  // state; with searchPath a bare name is looked up in PATH. Not started
  // (error in LastErrorCode) on failure.
  static Program Start(const std::vector<std::string>& argv, bool searchPath = false);

  bool IsStarted() const { return id_ != 0; }
  uint32_t Id() const { return id_; }

  // Waits without limit for the program to end. May run on one thread
  // while another calls End: neither changes the handle.
  bool WaitForEnd(ExitReason& reason) const;
  // Ends the program at once with exitCode (TerminateProcess on Windows;
  // on POSIX SIGKILL, which carries no code: the waiter then sees
  // kEndedBySystem with the signal).
  bool End(uint32_t exitCode) const;

  // Gives up the handle (reaping an ended program on POSIX).
  void Release();

 private:
  uint32_t id_ = 0;
  void* handle_ = nullptr;  // the process handle on Windows
};

}  // namespace zevra::platform
