// The exit codes of the server's processes: what the daemon, the console
// and the tests read back to tell why a process ended.
#pragma once

namespace zevra {

inline constexpr int kExitNormal = 10000;
// 10001 and 10002 are final for the daemon too, though nothing here ends with them.
inline constexpr int kExitInstallFailed = 10003;
inline constexpr int kExitRemoveFailed = 10004;
inline constexpr int kExitStopped = 10005;  // the worker ended by a stop of the service
inline constexpr int kExitServerFailed = 10007;
inline constexpr int kExitThreadFailed = 10008;
inline constexpr int kExitNoGranularity = 10009;

}  // namespace zevra
