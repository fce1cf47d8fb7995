// How a POSIX wait status becomes an ExitReason. Kept apart so the mapping
// can be tested on its own.
#pragma once

#include "platform/ProcessControl.h"

namespace zevra::platform {

// signaled: the process was ended by signal code; otherwise code is the low
// byte of its exit code, of which 16..25 stand for 10000..10009.
ExitReason ExitReasonOfStatus(bool signaled, int code);

}  // namespace zevra::platform
