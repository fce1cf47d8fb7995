// Starting and supervising a whole program (the daemon's worker): start it
// with inherited environment and directory, wait for its end, end it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace zevra::platform {

struct ProgramExit {
  bool signaled = false;  // ended by a signal (POSIX); code is then the signal number
  int code = 0;           // exit status as the OS gives it (the low byte on POSIX)
};

// Starts argv[0] with the arguments, the caller's environment and current
// directory, no standard handles (they lead nowhere) and a clean signal
// state; with searchPath a bare name is looked up in PATH. Gives the process
// id, or 0 with the error in LastErrorCode.
uint32_t StartProgram(const std::vector<std::string>& argv, bool searchPath = false);

// Waits without limit for a started program to end, without releasing its
// id: until ReleaseProgram, the id cannot be given to another process, so
// EndProgram on it is safe meanwhile.
bool WaitProgramEnd(uint32_t pid, ProgramExit& exit);
// Releases the id of an ended program (reaps it).
void ReleaseProgram(uint32_t pid);

// Ends a process at once (SIGKILL on POSIX; TerminateProcess on Windows).
bool EndProgram(uint32_t pid);

}  // namespace zevra::platform
