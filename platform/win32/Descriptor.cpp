#include "platform/Descriptor.h"

#include <windows.h>

namespace zevra::platform {

bool SetHandleNotInherited(intptr_t handle) {
  return ::SetHandleInformation(reinterpret_cast<HANDLE>(handle), HANDLE_FLAG_INHERIT, 0) != 0;
}

}  // namespace zevra::platform

namespace zevra::platform {

// Windows sets no per-process limit on handles that a server could raise:
// a process may hold about 16 million.
uint64_t DescriptorLimit() { return 0; }
uint64_t RaiseDescriptorLimit() { return 0; }

}  // namespace zevra::platform
