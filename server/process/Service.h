// The system service: installing and removing it, and the daemon role that
// runs as it and supervises the worker.
#pragma once

#include <cstdint>
#include <string>

namespace zevra {

// True when the service was created; on failure the reason is left in the
// platform's last error.
bool InstallService();
// True when the service could be opened; it is then stopped and deleted.
bool RemoveService();
// Connects to the service manager and returns once the service stopped.
void RunServiceDispatcher();

// An exit code as the daemon writes it: upper-case hexadecimal without
// leading zeros, with one "0" in front when the digits are odd in number.
std::string ExitCodeHex(uint32_t code);

}  // namespace zevra
