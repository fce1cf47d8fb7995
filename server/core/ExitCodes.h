// The exit codes of the server's processes: what the daemon, the console
// and the tests read back to tell why a process ended. One table for both
// programs, in common/Product.h.
#pragma once

#include "common/Product.h"

namespace zevra {

// The worker ended by a stop of the service.
inline constexpr int kExitStopped = kExitWorkerTerminated;

}  // namespace zevra
