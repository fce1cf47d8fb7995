// Writes to a pipe or socket whose reader has gone raise SIGPIPE in the
// writing thread, and the default action ends the process. Where the call
// has no flag to say "no signal" (write on a pipe, sendfile), the signal is
// blocked for the call and, when the call raised it, taken back before the
// mask is restored: the process neither dies nor sees it. A call can raise
// it and still report bytes written (a pipe write or a sendfile that moved
// part of its bytes before the reader went), so the check does not go by
// the call's result.
#pragma once

#include <cerrno>
#include <pthread.h>
#include <signal.h>
#include <time.h>

namespace zevra::platform {

class BrokenPipeGuard {
 public:
  BrokenPipeGuard() {
    sigemptyset(&pipeSet_);
    sigaddset(&pipeSet_, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipeSet_, &oldSet_);
    sigset_t pending;
    sigpending(&pending);
    wasPending_ = sigismember(&pending, SIGPIPE) == 1;
  }
  // Call after each guarded call; keeps errno as it was.
  void Settle() {
    if (wasPending_) return;  // not ours to take
    const int saved = errno;
    struct timespec zero = {0, 0};
    while (::sigtimedwait(&pipeSet_, nullptr, &zero) < 0 && errno == EINTR) {
    }
    errno = saved;
  }
  ~BrokenPipeGuard() {
    const int saved = errno;
    pthread_sigmask(SIG_SETMASK, &oldSet_, nullptr);
    errno = saved;
  }
  BrokenPipeGuard(const BrokenPipeGuard&) = delete;
  BrokenPipeGuard& operator=(const BrokenPipeGuard&) = delete;

 private:
  sigset_t pipeSet_;
  sigset_t oldSet_;
  bool wasPending_ = false;
};

}  // namespace zevra::platform
