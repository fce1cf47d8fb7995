// Receive buffering: every chunk the library delivers for a connection,
// collected into complete requests and handed to the handlers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "server/core/ConnectionContext.h"
#include "server/core/ProgramPaths.h"
#include "server/core/ServerLink.h"

namespace zevra {

// A head, blank line included, may be at most this long; a longer one is
// refused with 400 before it can tie up more memory.
inline constexpr size_t kMaxHeadBytes = 64 * 1024;
// Bodies up to this many bytes stay in memory; longer ones are spooled.
inline constexpr int64_t kMaxMemoryBody = 4096;

// A request method longer than this is not taken for one: the bytes are
// not HTTP and the connection closes without an answer.
inline constexpr size_t kMaxMethodLength = 32;

// Where receive buffering hands complete requests, and how it refuses the
// ones it cannot read. The worker binds the dispatcher; tests bind doubles.
struct RequestHandlers {
  void (*handleGet)(ConnId conn);
  void (*handlePost)(ConnId conn);
  // Sends the error page for status (400, 411, 413 or 500) for a request that
  // never reached a handler. The caller closes the connection and resets.
  void (*sendErrorPage)(int status, ConnId conn, std::string_view detail);
  void (*sendContinue)(ConnId conn);
  // A complete request whose method this server does not implement.
  void (*handleOther)(ConnId conn);
  // Asked once the head of a POST with a body is complete: whether the
  // handler will use the body (the target is a CGI script). When not, the
  // body is read and dropped, never stored. Null: always kept.
  bool (*wantsBody)(ConnId conn);
};
// The table stays in use for the life of the process (or until the next
// call); without one, every complete request closes its connection.
void SetRequestHandlers(const RequestHandlers* handlers);

void HandleReceivedData(ConnId conn, const uint8_t* data, size_t length);
void SendContinue(ConnId conn);

enum SpoolMode : int { kSpoolFirst = 0, kSpoolMore = 1, kSpoolFinish = 2 };
// Writes body bytes to the connection's spool file (created on the first
// write); kSpoolFinish closes it and moves it to its "Done_" name. Returns
// true when the step succeeded. Called with the context's lock held.
bool SpoolBody(ConnectionContext& context, SpoolMode mode, std::string_view bytes);

// A spool number not used before in this process: unique among live
// connections, and a leftover file of an earlier connection is never reused.
uint64_t NewSpoolNumber();

// What a head says about the body that follows it: found by field name in
// any case, value with optional blanks around it.
struct BodyFraming {
  enum Length { kNoLength, kLength, kBadLength } length = kNoLength;
  int64_t contentLength = 0;
  bool transferEncoding = false;  // any Transfer-Encoding field at all
  bool expectContinue = false;    // Expect: 100-continue
  bool http10 = false;            // the request line names HTTP/1.0
};
BodyFraming ReadBodyFraming(std::string_view head);

}  // namespace zevra
