// The worker's view of the socket library: everything a request handler
// asks of a connection. The worker binds it to the library; tests bind it
// to a fake connection.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/File.h"

namespace zevra {

using ConnId = uintptr_t;
struct ConnectionContext;

// How far a connection is with its current request: what the library's
// deadlines for slow senders and its choice of connections to close under
// pressure go by.
enum class RequestPhase { kIdle, kHead, kBody, kAnswering };

class ServerLink {
 public:
  virtual ~ServerLink() = default;
  // Queues the bytes (copied) behind what is queued; false when refused.
  virtual bool Send(ConnId conn, const void* data, size_t length) = 0;
  // Whether SendFile works on this link; when not, file bodies go through
  // Send from mapped views.
  virtual bool SendsFiles() { return false; }
  // Queues head (copied) and then length bytes of an open file from
  // offset behind what is queued, the file bytes sent from the file itself
  // (no copy in memory) and the head in the same segments as the first of
  // them; the caller may close the file once this returns. False when
  // refused.
  virtual bool SendFile(ConnId conn, std::string_view head, const platform::File& file, int64_t offset,
                        int64_t length) {
    (void)conn, (void)head, (void)file, (void)offset, (void)length;
    return false;
  }
  // Forced close; the library's OnClose follows.
  virtual bool Disconnect(ConnId conn) = 0;
  // Bytes queued and not yet sent; false when the connection is gone.
  virtual bool PendingBytes(ConnId conn, int64_t& pending) = 0;
  // The context attached to the connection, or null (also when it is gone).
  virtual ConnectionContext* Context(ConnId conn) = 0;
  virtual bool SetContext(ConnId conn, ConnectionContext* context) = 0;
  virtual uint32_t ConnectionCount() = 0;
  virtual bool RemoteAddress(ConnId conn, std::string& address, uint16_t& port) = 0;
  virtual bool ListenAddress(std::string& address, uint16_t& port) = 0;
  virtual void SetRequestPhase(ConnId conn, RequestPhase phase) { (void)conn, (void)phase; }
  // From inside the connection's receive: read nothing more until every
  // queued byte has been written, then deliver an empty receive. False
  // where the link cannot (the caller then goes on at once).
  virtual bool HoldReceive(ConnId conn) {
    (void)conn;
    return false;
  }
  // From inside a callback: has the bytes appended to `file` (opened for
  // appending) once the callbacks that are ready now have run, in one write
  // with whatever else they deferred, before the library waits for more
  // events. False where the link cannot (the caller writes them itself).
  virtual bool DeferFileWrite(const platform::File& file, std::string_view bytes) {
    (void)file, (void)bytes;
    return false;
  }
  // Writes every deferred byte now (before the file they are for closes).
  virtual void FlushDeferredWrites() {}
};

// The process-wide link, set once by the worker before the server starts
// (or by a test before it drives a handler).
ServerLink& Link();
void SetLink(ServerLink* link);
// The link, or null in a process (or test) that has none.
ServerLink* LinkIfSet();

}  // namespace zevra
