// The exit codes of the server's processes: what the daemon, the console
// and the tests read back to tell why a process ended. One table, shared
// with the console in common/Product.h.
#pragma once

#include "common/Product.h"

namespace zevra {

// 10001 and 10002 are final for the daemon too, though nothing here ends with them.
inline constexpr int kExitStopped = kExitWorkerTerminated;  // the worker ended by a stop of the service

}  // namespace zevra
