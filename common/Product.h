// The product's identity as both programs show it, and the server's exit
// codes as a parent process reads them back. The server writes these names
// into the service registration; the console looks the service up by them,
// so there is exactly one copy.
#pragma once

#include <cstdint>

namespace zevra {

inline constexpr const char* kVersionText = "Zevra/0.2.9";
inline constexpr const char* kProductName = "Zevra";
inline constexpr const char* kVersionNumber = "0.2.9";
inline constexpr const char* kDisplayName = "泽瓦个人网站服务器";
inline constexpr const char* kServiceName = "Zevra";
inline constexpr const char* kServiceDescription = "泽瓦个人网站服务器工作进程。";

// Exit codes of the server's processes (10001 and 10002 are final for the
// daemon too, though nothing here ends with them).
inline constexpr int kExitNormal = 10000;
inline constexpr int kExitInstallFailed = 10003;
inline constexpr int kExitRemoveFailed = 10004;
inline constexpr int kExitWorkerTerminated = 10005;
inline constexpr int kExitServerFailed = 10007;
inline constexpr int kExitThreadFailed = 10008;
inline constexpr int kExitNoGranularity = 10009;

// A server process's end as the server's own code. A POSIX status carries
// only the low byte, so 16-25 map back to 10000-10009; a process ended by
// signal N counts 128 + N. Elsewhere the code arrives whole.
inline uint32_t ServerExitCode(bool signaled, int code) {
  if (signaled) return 128u + static_cast<uint32_t>(code);
  if (code >= 16 && code <= 25) return 10000u + static_cast<uint32_t>(code - 16);
  return static_cast<uint32_t>(code);
}

}  // namespace zevra
