// The record each connection carries while it lives: the state of the
// request being received or answered and where its body is kept.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>

#include "platform/File.h"

namespace zevra {

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
};

}  // namespace zevra
