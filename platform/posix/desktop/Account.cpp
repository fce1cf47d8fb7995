// Which account the console runs as.
#include <unistd.h>

#include "platform/Desktop.h"

namespace zevra::platform {

bool ProcessRunsAsRoot() { return geteuid() == 0; }

}  // namespace zevra::platform
