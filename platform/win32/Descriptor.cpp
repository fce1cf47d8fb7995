#include "platform/Descriptor.h"

#include <windows.h>

namespace zevra::platform {

bool SetHandleNotInherited(intptr_t handle) {
  return ::SetHandleInformation(reinterpret_cast<HANDLE>(handle), HANDLE_FLAG_INHERIT, 0) != 0;
}

}  // namespace zevra::platform
