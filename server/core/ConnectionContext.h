// The record each connection carries while it lives: the state of the
// request being received or answered and where its body is kept.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>

#include "platform/File.h"
#include "server/core/ServerLink.h"

namespace zevra {

// What the current request began with.
enum RequestKind : int32_t {
  kKindNone = 0,     // no head complete yet
  kKindGet = 1,      // "GET" or "HEAD": a body, if declared, is read and dropped
  kKindPost = 2,     // "POST": the body is kept for the handler (when it is a CGI script's)
  kKindOther = 3,    // any other method (methods are case-sensitive): answered 501,
                     // a body read and dropped
};

enum RequestState : int32_t {
  kStateIdle = 0,       // waiting for a request
  kStateReceiving = 1,  // a request has begun
  kStateSending = 2,    // a file body is going out in pieces
  kStateHandling = 3,   // a handler has taken the request
};

struct ConnectionContext {
  int32_t state = kStateIdle;
  // Held only around reads and writes of the fields, never across a call
  // into a handler or the network library. Re-entrant: the spool writer
  // takes it again while its caller holds it.
  std::recursive_mutex lock;
  int32_t headLength = 0;
  std::string headBuffer;        // the request head, headLength bytes
  int32_t busy = 0;              // 1 while a handler runs for the connection
  int64_t contentLength = 0;     // declared body length; total to send during a piecewise send
  int64_t bodyReceived = 0;      // body bytes stored; bytes handed to the library during a send
  std::string bodyMemory;        // the body when it is kept in memory
  platform::File bodyFile;       // the spool file while it is open
  int32_t bodySpooled = 0;       // 0 = memory, 1 = spool file
  uint64_t spoolNumber = 0;      // unique among live connections; names the spool files

  // Receive buffering's own bookkeeping (not part of a request's answer).
  int32_t requestKind = 0;       // RequestKind
  int32_t closing = 0;           // 1 once a forced close was asked: nothing more is read or answered
  int32_t bodyDropped = 0;       // 1 when a POST body is read past, not stored (its target is no CGI script)
  std::string headPart;          // the start of a head that has not reached its blank line yet
  std::string deferred;          // bytes that came while a handler ran, kept for the next request
};

// Returns the connection to idle after an answered request; frees the head
// and the body and removes the request's spool file. Every answering path
// ends with it, whichever layer answered.
void ResetRequestState(ConnId conn);
// Frees a closing connection's body and removes its spool files.
void ReleaseConnectionState(ConnectionContext& context);

}  // namespace zevra
