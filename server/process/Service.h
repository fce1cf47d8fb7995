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

// A worker's end as the server's own code: the low byte a POSIX parent
// sees maps back to 10000-10009, and a signal N counts 128 + N.
uint32_t WorkerExitCode(bool signaled, int code);

}  // namespace zevra
