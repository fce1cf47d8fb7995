#include "platform/Account.h"

#include <unistd.h>

namespace zevra::platform {

bool RunsElevated() { return ::geteuid() == 0; }

uint32_t CurrentUserId() { return static_cast<uint32_t>(::getuid()); }

}  // namespace zevra::platform
