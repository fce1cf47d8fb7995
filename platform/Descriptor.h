// Inheritance of OS handles by child processes. Sockets the server accepts
// must not leak into the CGI children it starts: a child holding a copy
// would keep a closed connection alive until the child exits.
#pragma once

#include <cstdint>

namespace zevra::platform {

// Marks the handle (a descriptor on POSIX, a SOCKET on Windows) as not
// inherited by child processes. False when the OS refused.
bool SetHandleNotInherited(intptr_t handle);

}  // namespace zevra::platform
