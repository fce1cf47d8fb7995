// The exported C functions: thin forwarding to Listener and Server. No C++
// exception crosses this boundary; a failure is reported as a zero result.
#include "socket/HPSocket.h"

#include <new>

#include "socket/Server.h"

using zevra::socket::Listener;
using zevra::socket::Server;

namespace {

Listener* AsListener(HP_TcpServerListener listener) { return static_cast<Listener*>(listener); }
Server* AsServer(HP_Server server) { return static_cast<Server*>(server); }

template <typename Result, typename Body>
Result Guarded(Result failure, Body body) noexcept {
  try {
    return body();
  } catch (...) {
    return failure;
  }
}

}  // namespace

extern "C" {

HP_API HP_TcpServerListener HP_CALL Create_HP_TcpServerListener(void) { return new (std::nothrow) Listener(); }

HP_API HP_TcpServer HP_CALL Create_HP_TcpServer(HP_TcpServerListener pListener) {
  if (pListener == nullptr) return nullptr;
  return new (std::nothrow) Server(*AsListener(pListener));
}

HP_API void HP_CALL Destroy_HP_TcpServer(HP_TcpServer pServer) {
  Guarded(0, [&] {
    delete AsServer(pServer);
    return 0;
  });
}

HP_API void HP_CALL Destroy_HP_TcpServerListener(HP_TcpServerListener pListener) { delete AsListener(pListener); }

HP_API void HP_CALL HP_Set_FN_Server_OnAccept(HP_TcpServerListener pListener, HP_FN_Server_OnAccept fn) {
  if (pListener != nullptr) AsListener(pListener)->onAccept = fn;
}
HP_API void HP_CALL HP_Set_FN_Server_OnReceive(HP_TcpServerListener pListener, HP_FN_Server_OnReceive fn) {
  if (pListener != nullptr) AsListener(pListener)->onReceive = fn;
}
HP_API void HP_CALL HP_Set_FN_Server_OnSend(HP_TcpServerListener pListener, HP_FN_Server_OnSend fn) {
  if (pListener != nullptr) AsListener(pListener)->onSend = fn;
}
HP_API void HP_CALL HP_Set_FN_Server_OnClose(HP_TcpServerListener pListener, HP_FN_Server_OnClose fn) {
  if (pListener != nullptr) AsListener(pListener)->onClose = fn;
}
HP_API void HP_CALL HP_Set_FN_Server_OnShutdown(HP_TcpServerListener pListener, HP_FN_Server_OnShutdown fn) {
  if (pListener != nullptr) AsListener(pListener)->onShutdown = fn;
}

HP_API void HP_CALL HP_Server_SetWorkerThreadCount(HP_Server pServer, uint32_t dwWorkerThreadCount) {
  if (pServer != nullptr) AsServer(pServer)->SetWorkerThreadCount(dwWorkerThreadCount);
}
HP_API void HP_CALL HP_TcpServer_SetAcceptSocketCount(HP_TcpServer pServer, uint32_t dwAcceptSocketCount) {
  if (pServer != nullptr) AsServer(pServer)->SetAcceptSocketCount(dwAcceptSocketCount);
}

HP_API HP_BOOL HP_CALL HP_Server_Start(HP_Server pServer, const char* lpszBindAddress, uint16_t usPort) {
  if (pServer == nullptr) return 0;
  return Guarded(0, [&] { return AsServer(pServer)->Start(lpszBindAddress, usPort) ? 1 : 0; });
}

HP_API HP_BOOL HP_CALL HP_Server_Stop(HP_Server pServer) {
  if (pServer == nullptr) return 0;
  return Guarded(0, [&] { return AsServer(pServer)->Stop() ? 1 : 0; });
}

HP_API const char* HP_CALL HP_Server_GetLastErrorDesc(HP_Server pServer) {
  if (pServer == nullptr) return "";
  return AsServer(pServer)->LastErrorDesc();
}

HP_API HP_BOOL HP_CALL HP_Server_SetConnectionExtra(HP_Server pServer, HP_CONNID dwConnID, void* pExtra) {
  if (pServer == nullptr) return 0;
  return Guarded(0, [&] { return AsServer(pServer)->SetExtra(dwConnID, pExtra) ? 1 : 0; });
}

HP_API HP_BOOL HP_CALL HP_Server_GetConnectionExtra(HP_Server pServer, HP_CONNID dwConnID, void** ppExtra) {
  if (pServer == nullptr) {
    if (ppExtra != nullptr) *ppExtra = nullptr;
    return 0;
  }
  return Guarded(0, [&] { return AsServer(pServer)->GetExtra(dwConnID, ppExtra) ? 1 : 0; });
}

HP_API HP_BOOL HP_CALL HP_Server_Send(HP_Server pServer, HP_CONNID dwConnID, const uint8_t* pBuffer, int iLength) {
  if (pServer == nullptr) return 0;
  return Guarded(0, [&] { return AsServer(pServer)->Send(dwConnID, pBuffer, iLength) ? 1 : 0; });
}

HP_API HP_BOOL HP_CALL HP_TcpServer_SendFile(HP_TcpServer pServer, HP_CONNID dwConnID, intptr_t hFile,
                                             int64_t llOffset, int64_t llLength) {
  if (pServer == nullptr) return 0;
  return Guarded(0, [&] { return AsServer(pServer)->SendFile(dwConnID, hFile, llOffset, llLength) ? 1 : 0; });
}

HP_API HP_BOOL HP_CALL HP_TcpServer_SendFileWithHead(HP_TcpServer pServer, HP_CONNID dwConnID,
                                                     const uint8_t* pHead, int iHeadLength, intptr_t hFile,
                                                     int64_t llOffset, int64_t llLength) {
  if (pServer == nullptr) return 0;
  return Guarded(0, [&] {
    return AsServer(pServer)->SendFile(dwConnID, hFile, llOffset, llLength, pHead, iHeadLength) ? 1 : 0;
  });
}

HP_API HP_BOOL HP_CALL HP_Server_GetPendingDataLength(HP_Server pServer, HP_CONNID dwConnID, int* piPending) {
  if (pServer == nullptr) return 0;
  return Guarded(0, [&] { return AsServer(pServer)->PendingLength(dwConnID, piPending) ? 1 : 0; });
}

HP_API uint32_t HP_CALL HP_Server_GetConnectionCount(HP_Server pServer) {
  return pServer == nullptr ? 0 : AsServer(pServer)->ConnectionCount();
}

HP_API HP_BOOL HP_CALL HP_Server_Disconnect(HP_Server pServer, HP_CONNID dwConnID, HP_BOOL /*bForce*/) {
  if (pServer == nullptr) return 0;
  return Guarded(0, [&] { return AsServer(pServer)->Disconnect(dwConnID) ? 1 : 0; });
}

HP_API HP_BOOL HP_CALL HP_Server_DisconnectSilenceConnections(HP_Server pServer, uint32_t dwPeriod,
                                                              HP_BOOL /*bForce*/) {
  if (pServer == nullptr) return 0;
  return Guarded(0, [&] { return AsServer(pServer)->DisconnectSilent(dwPeriod) ? 1 : 0; });
}

HP_API HP_BOOL HP_CALL HP_Server_GetRemoteAddress(HP_Server pServer, HP_CONNID dwConnID, char lpszAddress[],
                                                  int* piAddressLen, uint16_t* pusPort) {
  if (pServer == nullptr) return 0;
  return Guarded(0, [&] {
    return AsServer(pServer)->RemoteAddress(dwConnID, lpszAddress, piAddressLen, pusPort) ? 1 : 0;
  });
}

HP_API HP_BOOL HP_CALL HP_Server_GetListenAddress(HP_Server pServer, char lpszAddress[], int* piAddressLen,
                                                  uint16_t* pusPort) {
  if (pServer == nullptr) return 0;
  return Guarded(0, [&] { return AsServer(pServer)->ListenAddress(lpszAddress, piAddressLen, pusPort) ? 1 : 0; });
}

HP_API HP_BOOL HP_CALL HP_Server_SetRequestPhase(HP_Server pServer, HP_CONNID dwConnID, En_HP_RequestPhase enPhase) {
  if (pServer == nullptr) return 0;
  return Guarded(0, [&] { return AsServer(pServer)->SetRequestPhase(dwConnID, enPhase) ? 1 : 0; });
}

HP_API void HP_CALL HP_Server_SetRequestTimeouts(HP_Server pServer, uint32_t dwHeadMilliseconds,
                                                 uint32_t dwBodyMilliseconds) {
  if (pServer != nullptr) AsServer(pServer)->SetRequestTimeouts(dwHeadMilliseconds, dwBodyMilliseconds);
}

HP_API void HP_CALL HP_Server_SetMaxConnectionCount(HP_Server pServer, uint32_t dwMaxConnectionCount) {
  if (pServer != nullptr) AsServer(pServer)->SetMaxConnectionCount(dwMaxConnectionCount);
}

HP_API HP_BOOL HP_CALL HP_Server_DeferFileWrite(HP_Server pServer, intptr_t hFile, const uint8_t* pData,
                                                int iLength) {
  if (pServer == nullptr || iLength < 0 || (iLength > 0 && pData == nullptr)) return 0;
  return Guarded(0, [&] { return AsServer(pServer)->DeferFileWrite(hFile, pData, static_cast<size_t>(iLength)) ? 1 : 0; });
}

HP_API void HP_CALL HP_Server_FlushDeferredWrites(HP_Server pServer) {
  if (pServer == nullptr) return;
  Guarded(0, [&] {
    AsServer(pServer)->FlushDeferredWrites();
    return 0;
  });
}

HP_API HP_BOOL HP_CALL HP_Server_HoldReceive(HP_Server pServer, HP_CONNID dwConnID) {
  if (pServer == nullptr) return 0;
  return Guarded(0, [&] { return AsServer(pServer)->HoldReceive(dwConnID) ? 1 : 0; });
}

}  // extern "C"
