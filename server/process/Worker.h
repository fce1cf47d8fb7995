// The worker role: the process that serves HTTP.
#pragma once

namespace zevra {

// Arms the crash report, writes the pid file, starts the socket server and
// the sweeper; returns once the server listens, or ends the process with
// 10007 or 10008.
void StartWorker();

}  // namespace zevra
