// The system service: installing and removing it, and running as it.
#pragma once

namespace zevra {

// True when the service was created; on failure the reason is left in the
// platform's last error.
bool InstallService();
// True when the service could be opened (it is then stopped and deleted).
bool RemoveService();
// Connects to the service manager and returns once the service stopped.
void RunServiceDispatcher();

}  // namespace zevra
