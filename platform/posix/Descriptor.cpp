#include "platform/Descriptor.h"

#include <fcntl.h>

namespace zevra::platform {

bool SetHandleNotInherited(intptr_t handle) {
  const int fd = static_cast<int>(handle);
  const int flags = ::fcntl(fd, F_GETFD);
  if (flags < 0) return false;
  if ((flags & FD_CLOEXEC) != 0) return true;
  return ::fcntl(fd, F_SETFD, flags | FD_CLOEXEC) == 0;
}

}  // namespace zevra::platform
