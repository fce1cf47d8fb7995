/* The TCP server library's C interface, in the shape of HP-Socket's C API:
 * a listener object that receives the callbacks, a server object built on
 * it, and connections named by their id. Texts are narrow (the process code
 * page). Built as its own shared library, next to the program. */
#ifndef ZEVRA_HPSOCKET_H
#define ZEVRA_HPSOCKET_H

#include <stdint.h>

#ifdef _WIN32
#define HP_CALL __stdcall
#ifdef ZEVRA_SOCKET_BUILDING
#define HP_API __declspec(dllexport)
#else
#define HP_API __declspec(dllimport)
#endif
#else
#define HP_CALL
#define HP_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

typedef uintptr_t HP_CONNID;
typedef uintptr_t HP_SOCKET;
typedef void* HP_TcpServerListener;
typedef void* HP_TcpServer;
typedef void* HP_Server;
typedef int HP_BOOL;

/* What a callback returns: HR_OK (0) lets the library go on. */
typedef enum En_HP_HandleResult { HR_OK = 0, HR_IGNORE = 1, HR_ERROR = 2 } En_HP_HandleResult;

/* The operation during which a connection closed, as OnClose reports it. */
typedef enum En_HP_SocketOperation {
  SO_UNKNOWN = 0,
  SO_ACCEPT = 1,
  SO_CONNECT = 2,
  SO_SEND = 3,
  SO_RECEIVE = 4,
  SO_CLOSE = 5
} En_HP_SocketOperation;

typedef En_HP_HandleResult(HP_CALL* HP_FN_Server_OnAccept)(HP_CONNID dwConnID, HP_SOCKET soClient);
typedef En_HP_HandleResult(HP_CALL* HP_FN_Server_OnReceive)(HP_CONNID dwConnID, const uint8_t* pData, int iLength);
typedef En_HP_HandleResult(HP_CALL* HP_FN_Server_OnSend)(HP_CONNID dwConnID, const uint8_t* pData, int iLength);
typedef En_HP_HandleResult(HP_CALL* HP_FN_Server_OnClose)(HP_CONNID dwConnID, En_HP_SocketOperation enOperation, int iErrorCode);
typedef En_HP_HandleResult(HP_CALL* HP_FN_Server_OnShutdown)(void);

HP_API HP_TcpServerListener HP_CALL Create_HP_TcpServerListener(void);
HP_API HP_TcpServer HP_CALL Create_HP_TcpServer(HP_TcpServerListener pListener);
/* Stops the server if it runs and releases it; the worker never calls these,
 * tests and tools do. */
HP_API void HP_CALL Destroy_HP_TcpServer(HP_TcpServer pServer);
HP_API void HP_CALL Destroy_HP_TcpServerListener(HP_TcpServerListener pListener);

HP_API void HP_CALL HP_Set_FN_Server_OnAccept(HP_TcpServerListener pListener, HP_FN_Server_OnAccept fn);
HP_API void HP_CALL HP_Set_FN_Server_OnReceive(HP_TcpServerListener pListener, HP_FN_Server_OnReceive fn);
HP_API void HP_CALL HP_Set_FN_Server_OnSend(HP_TcpServerListener pListener, HP_FN_Server_OnSend fn);
HP_API void HP_CALL HP_Set_FN_Server_OnClose(HP_TcpServerListener pListener, HP_FN_Server_OnClose fn);
HP_API void HP_CALL HP_Set_FN_Server_OnShutdown(HP_TcpServerListener pListener, HP_FN_Server_OnShutdown fn);

HP_API void HP_CALL HP_Server_SetWorkerThreadCount(HP_Server pServer, uint32_t dwWorkerThreadCount);
HP_API void HP_CALL HP_TcpServer_SetAcceptSocketCount(HP_TcpServer pServer, uint32_t dwAcceptSocketCount);

/* Non-zero once the server listens on the address and port. */
HP_API HP_BOOL HP_CALL HP_Server_Start(HP_Server pServer, const char* lpszBindAddress, uint16_t usPort);
/* Closes every connection (OnClose for each, then OnShutdown) and stops. */
HP_API HP_BOOL HP_CALL HP_Server_Stop(HP_Server pServer);
/* Text of the last error of this server object; never null. */
HP_API const char* HP_CALL HP_Server_GetLastErrorDesc(HP_Server pServer);

HP_API HP_BOOL HP_CALL HP_Server_SetConnectionExtra(HP_Server pServer, HP_CONNID dwConnID, void* pExtra);
HP_API HP_BOOL HP_CALL HP_Server_GetConnectionExtra(HP_Server pServer, HP_CONNID dwConnID, void** ppExtra);

/* Copies the bytes and queues them behind what is queued already. Zero when
 * the connection is gone or closing. */
HP_API HP_BOOL HP_CALL HP_Server_Send(HP_Server pServer, HP_CONNID dwConnID, const uint8_t* pBuffer, int iLength);
/* Queues iLength bytes of an open file, from llOffset on, behind what is
 * queued already; they go from the file to the socket inside the kernel,
 * never through the queue's memory. The library keeps a handle of its own,
 * so the caller may close hFile as soon as this returns. Zero when the
 * connection is gone or closing, or the file cannot be kept. A file that
 * turns out shorter than promised closes the connection: the answer it was
 * part of can never be completed. OnSend is not called for file bytes. */
HP_API HP_BOOL HP_CALL HP_TcpServer_SendFile(HP_TcpServer pServer, HP_CONNID dwConnID, intptr_t hFile,
                                             int64_t llOffset, int64_t llLength);
/* The same behind iHeadLength bytes of pHead (copied, as HP_Server_Send
 * does), which go out in the same segments as the first file bytes where
 * the OS allows: the head of an answer and its body in one call. */
HP_API HP_BOOL HP_CALL HP_TcpServer_SendFileWithHead(HP_TcpServer pServer, HP_CONNID dwConnID,
                                                     const uint8_t* pHead, int iHeadLength, intptr_t hFile,
                                                     int64_t llOffset, int64_t llLength);
/* Bytes queued for the connection and not yet handed to the OS, file
 * regions included. */
HP_API HP_BOOL HP_CALL HP_Server_GetPendingDataLength(HP_Server pServer, HP_CONNID dwConnID, int* piPending);
HP_API uint32_t HP_CALL HP_Server_GetConnectionCount(HP_Server pServer);

HP_API HP_BOOL HP_CALL HP_Server_Disconnect(HP_Server pServer, HP_CONNID dwConnID, HP_BOOL bForce);
HP_API HP_BOOL HP_CALL HP_Server_DisconnectSilenceConnections(HP_Server pServer, uint32_t dwPeriod, HP_BOOL bForce);

/* Dotted address text into a buffer of *piAddressLen characters (in: its
 * size, out: the text's length without the terminating zero) and port. */
HP_API HP_BOOL HP_CALL HP_Server_GetRemoteAddress(HP_Server pServer, HP_CONNID dwConnID, char lpszAddress[],
                                                  int* piAddressLen, uint16_t* pusPort);
HP_API HP_BOOL HP_CALL HP_Server_GetListenAddress(HP_Server pServer, char lpszAddress[], int* piAddressLen,
                                                  uint16_t* pusPort);

/* ---- This library's own additions, beyond HP-Socket's shape ----
 * They let the program that reads the requests tell the library how far each
 * connection is with its request, so that one client cannot lock the others
 * out: a connection that takes too long over a request head, or stalls in a
 * request body, is closed; and when open connections near the limit, the
 * ones that have gone longest without completing a request make room for a
 * newcomer. A program that never calls them gets the plain behaviour. */

/* How far a connection is with its current request. */
typedef enum En_HP_RequestPhase {
  RP_IDLE = 0,      /* between requests (and after the accept) */
  RP_HEAD = 1,      /* a request head has begun and is not complete */
  RP_BODY = 2,      /* the head is complete; its body is arriving */
  RP_ANSWERING = 3  /* the request is complete and being answered */
} En_HP_RequestPhase;

HP_API HP_BOOL HP_CALL HP_Server_SetRequestPhase(HP_Server pServer, HP_CONNID dwConnID, En_HP_RequestPhase enPhase);
/* The most a request head may take from its first byte, and the longest
 * silence inside a request body, in milliseconds (0 = no limit). Before
 * start. */
HP_API void HP_CALL HP_Server_SetRequestTimeouts(HP_Server pServer, uint32_t dwHeadMilliseconds,
                                                 uint32_t dwBodyMilliseconds);
/* Open connections above which each new one makes room by closing the
 * connection that has gone longest without completing a request (0 = only
 * the descriptor limit counts). Before start. */
HP_API void HP_CALL HP_Server_SetMaxConnectionCount(HP_Server pServer, uint32_t dwMaxConnectionCount);
/* From inside the connection's OnReceive: read nothing more until every
 * byte queued for it has been written, then call OnReceive once with no
 * bytes. A handler that stops answering pipelined requests while answers
 * wait unread learns so when to go on. */
HP_API HP_BOOL HP_CALL HP_Server_HoldReceive(HP_Server pServer, HP_CONNID dwConnID);

/* From inside a callback: iLength bytes (copied) to be appended to hFile, a
 * file opened for appending, by the calling thread's event loop once the
 * callbacks that are ready now have run and before it waits for more
 * events: what all of them defer goes out in one write. Bytes deferred on
 * one loop are written in the order of these calls, so a connection's own
 * lines keep their order. Zero when called from outside a callback of this
 * server: nothing is kept, the caller writes the bytes itself. */
HP_API HP_BOOL HP_CALL HP_Server_DeferFileWrite(HP_Server pServer, intptr_t hFile, const uint8_t* pData,
                                                int iLength);
/* Writes every loop's deferred bytes now (before the file they are for is
 * closed); stopping the server does so too. */
HP_API void HP_CALL HP_Server_FlushDeferredWrites(HP_Server pServer);

#ifdef __cplusplus
}
#endif

#endif /* ZEVRA_HPSOCKET_H */
