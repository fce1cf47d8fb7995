#include "platform/Descriptor.h"

#include <fcntl.h>
#include <sys/resource.h>

namespace zevra::platform {

bool SetHandleNotInherited(intptr_t handle) {
  const int fd = static_cast<int>(handle);
  const int flags = ::fcntl(fd, F_GETFD);
  if (flags < 0) return false;
  if ((flags & FD_CLOEXEC) != 0) return true;
  return ::fcntl(fd, F_SETFD, flags | FD_CLOEXEC) == 0;
}

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
