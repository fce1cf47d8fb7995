// Writes to a pipe or socket whose reader has gone raise SIGPIPE in the
// writing thread, and the default action ends the process. Where the call
// has no flag to say "no signal" (write on a pipe, sendfile), the signal is
// blocked for the call and, when the call itself raised it, taken back at
// once: the process neither dies nor sees it, the call reports EPIPE.
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
  // Call with the errno of the guarded call; keeps errno as it was.
  void Settle(int error) {
    if (error != EPIPE || wasPending_) return;
    const int saved = errno;
    struct timespec zero = {0, 0};
    while (::sigtimedwait(&pipeSet_, nullptr, &zero) < 0 && errno == EINTR) {
    }
    wasPending_ = true;  // taken once
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
