// The worker role: arms the crash report, writes the pid file, starts the
// socket server with the five callbacks and the sweeper of silent
// connections. After StartWorker every request is served inside the
// library's callbacks, on the library's threads.
#include "server/process/Worker.h"

#include <algorithm>
#include <exception>
#include <memory>
#include <new>
#include <string>
#include <system_error>
#include <thread>

#include "platform/Crash.h"
#include "platform/Descriptor.h"
#include "platform/File.h"
#include "platform/System.h"
#include "common/Product.h"
#include "server/dispatch/Dispatch.h"
#include "server/net/HpServerLink.h"
#include "server/net/ReceiveBuffer.h"
#include "server/process/CrashReport.h"
#include "server/response/Logs.h"
#include "server/core/ProgramPaths.h"
#include "server/core/Runtime.h"
#include "server/response/StaticFile.h"
#include "socket/HPSocket.h"

namespace zevra {
namespace {

constexpr uint32_t kSweepIntervalMs = 1000;

// Worker-wide objects, made once and never released: the worker ends by
// being terminated.
HP_TcpServerListener g_listener = nullptr;
HP_TcpServer g_server = nullptr;
HpServerLink g_link;

#ifdef ZEVRA_CRASH_PROBE
// Test builds: "request:<kind>" crashes on the first received chunk.
std::string g_crashOnRequest;
#endif

void WritePidFile() {
  const std::string path = PidFilePath();
  platform::RemoveFile(path);
  platform::File file = platform::File::CreateAlways(path);
  const std::string pid = std::to_string(platform::CurrentProcessId());
  if (!file.IsOpen() || !file.WriteAll(pid.data(), pid.size())) {
    // The worker still serves, but the daemon cannot find it to stop it.
    AppendErrorLog("[Worker] Unable to write the pid file. " + SystemErrorText(platform::LastErrorCode()));
  }
}

En_HP_HandleResult HP_CALL OnAccept(HP_CONNID conn, HP_SOCKET) {
  platform::PrepareThreadForCrashReport();
  std::unique_ptr<ConnectionContext> context(new (std::nothrow) ConnectionContext);
  if (!context) {
    HP_Server_Disconnect(g_server, conn, 1);
    return HR_OK;
  }
  context->spoolNumber = NewSpoolNumber();
  if (!g_link.SetContext(conn, context.get())) {
    HP_Server_Disconnect(g_server, conn, 1);
    return HR_OK;  // the context goes with the unique_ptr
  }
  context.release();  // owned by the connection until OnClose
  return HR_OK;
}

En_HP_HandleResult HP_CALL OnReceive(HP_CONNID conn, const uint8_t* data, int length) {
  platform::PrepareThreadForCrashReport();
#ifdef ZEVRA_CRASH_PROBE
  if (!g_crashOnRequest.empty()) platform::ProvokeCrash(g_crashOnRequest);
#endif
  try {
    HandleReceivedData(conn, data, length > 0 ? static_cast<size_t>(length) : 0);
  } catch (const std::exception&) {
    // Out of memory in the middle of a request: the connection cannot be
    // served any more, the others can.
    g_link.Disconnect(conn);
  }
  return HR_OK;
}

En_HP_HandleResult HP_CALL OnSend(HP_CONNID, const uint8_t*, int) { return HR_OK; }

// The library never runs OnClose while another callback of the same
// connection runs, and none follows it: no handler can still be using the
// context freed here.
En_HP_HandleResult HP_CALL OnClose(HP_CONNID conn, En_HP_SocketOperation, int) {
  std::unique_ptr<ConnectionContext> context(g_link.Context(conn));
  if (!context) return HR_OK;
  g_link.SetContext(conn, nullptr);
  ReleaseConnectionState(*context);
  return HR_OK;
}

En_HP_HandleResult HP_CALL OnShutdown() { return HR_OK; }

// Closes connections that have been silent for KeepAlive milliseconds, so a
// silent one goes between KeepAlive and KeepAlive + 1000 ms after its last
// traffic. Touches no context.
void SweepSilentConnections() {
  for (;;) {
    const int32_t keepAlive = g_settings.KeepAlive;
    if (keepAlive <= 0) return;
    HP_Server_DisconnectSilenceConnections(g_server, static_cast<uint32_t>(keepAlive), 0);
    platform::SleepMilliseconds(kSweepIntervalMs);
  }
}

[[noreturn]] void FailServer(const std::string& message) {
  AppendErrorLog(message);
  platform::TerminateSelf(kExitServerFailed);
}

}  // namespace

void StartWorker() {
  InstallCrashReport();
  WritePidFile();
  // Copies left by an earlier worker are not in this worker's table: they
  // would never be served again, nor ever removed.
  ClearGzipCacheFolder(g_startup.programDirectory);
#ifdef ZEVRA_CRASH_PROBE
  const std::string probe = platform::CrashProbeRequest();
  if (probe.rfind("request:", 0) == 0) {
    g_crashOnRequest = probe.substr(8);
  } else if (!probe.empty()) {
    platform::ProvokeCrash(probe);
  }
#endif

  // Every connection holds a descriptor: the common soft limit of 1024 would
  // stop accepts long before the connection limit.
  platform::RaiseDescriptorLimit();

  g_listener = Create_HP_TcpServerListener();
  if (g_listener == nullptr) {
    FailServer("[Worker] Error(10007) - Unable to create socket listener : " +
               SystemErrorText(platform::LastErrorCode()));
  }
  g_server = Create_HP_TcpServer(g_listener);
  if (g_server == nullptr) FailServer("[Worker] Error(10007) Unable to create server object.");
  g_link.Bind(g_server);
  SetLink(&g_link);
  SetRequestHandlers(&kDispatchHandlers);

  HP_Set_FN_Server_OnAccept(g_listener, OnAccept);
  HP_Set_FN_Server_OnReceive(g_listener, OnReceive);
  HP_Set_FN_Server_OnSend(g_listener, OnSend);
  HP_Set_FN_Server_OnClose(g_listener, OnClose);
  HP_Set_FN_Server_OnShutdown(g_listener, OnShutdown);

  if (g_settings.WorkerThreads > 0) {
    HP_Server_SetWorkerThreadCount(g_server, static_cast<uint32_t>(g_settings.WorkerThreads));
  }
  if (g_settings.Connections > 0) {
    HP_TcpServer_SetAcceptSocketCount(g_server, static_cast<uint32_t>(g_settings.Connections));
    // Beyond Connections a newcomer makes room by closing the connection
    // that has gone longest without completing a request, so the 503 guard
    // at Connections + 64 is reached only when that many are being answered.
    HP_Server_SetMaxConnectionCount(g_server, static_cast<uint32_t>(g_settings.Connections));
  }
  // Slow senders: a head must be complete within HeadTimeout of its first
  // byte and a body may not stall for BodyTimeout. KeepAlive still governs
  // the silence between requests.
  HP_Server_SetRequestTimeouts(g_server, static_cast<uint32_t>(std::max(0, g_settings.HeadTimeout)),
                               static_cast<uint32_t>(std::max(0, g_settings.BodyTimeout)));

  if (!HP_Server_Start(g_server, "0.0.0.0", static_cast<uint16_t>(g_settings.Port))) {
    FailServer(std::string("[Worker] Error(10007) Unable to start server object. ") +
               HP_Server_GetLastErrorDesc(g_server));
  }

  try {
    std::thread(SweepSilentConnections).detach();
  } catch (const std::system_error& e) {
    AppendErrorLog("[Worker] Error(10008) Unable to create a thread. " + SystemErrorText(e.code().value()));
    platform::TerminateSelf(kExitThreadFailed);
  }
}

}  // namespace zevra
