#include "platform/Descriptor.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

namespace zevra::platform {

bool SetHandleNotInherited(intptr_t handle) {
  const int fd = static_cast<int>(handle);
  const int flags = ::fcntl(fd, F_GETFD);
  if (flags < 0) return false;
  if ((flags & FD_CLOEXEC) != 0) return true;
  return ::fcntl(fd, F_SETFD, flags | FD_CLOEXEC) == 0;
}

bool SetListenerAddressUse(intptr_t handle) {
  const int on = 1;
  return ::setsockopt(static_cast<int>(handle), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) == 0;
}

intptr_t AcceptNonBlockingNotInherited(intptr_t listener, void* peer, size_t* peerLength) {
  socklen_t length = static_cast<socklen_t>(*peerLength);
  for (int attempt = 0; attempt < 8; ++attempt) {
    const int fd = ::accept4(static_cast<int>(listener), static_cast<sockaddr*>(peer), &length,
                             SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd >= 0) {
      *peerLength = static_cast<size_t>(length);
      return fd;
    }
    if (errno != EINTR) return -1;
  }
  return -1;
}

void CloseSocketHandle(intptr_t socket) { ::close(static_cast<int>(socket)); }

uint64_t DescriptorLimit() {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return 0;
  return static_cast<uint64_t>(limit.rlim_cur);
}

uint64_t RaiseDescriptorLimit() {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur != limit.rlim_max) {
    limit.rlim_cur = limit.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &limit);
  }
  return DescriptorLimit();
}

}  // namespace zevra::platform
