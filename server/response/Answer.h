// The one place that finishes an answer. An answering path (error page,
// listing, static file, CGI) decides the status, the fields and the body;
// FinishAnswer does the rest, always the same way: compression of a body in
// memory, Content-Length, the head alone for HEAD, the send, the access-log
// line, and keeping or closing the connection.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "server/core/HttpRequest.h"
#include "server/core/ServerLink.h"

namespace zevra {

// The two shapes of an access-log line.
enum class AccessLine {
  kWithPort,     // address ":" port ...: error pages, static files, CGI
  kWithoutPort,  // the listing's line: the address alone
};

// Sends a body too large to hold in memory: given the finished head, it
// queues head and body itself and says whether all of it went.
using BodySender = std::function<bool(std::string& head)>;

struct Answer {
  // The body when it is in memory. Ignored when sendBody is set.
  std::string_view body;
  // Sends head and body for a body that is not in memory; Content-Length
  // is the caller's to set then.
  BodySender sendBody;
  // gzip the body in memory. When the library cannot finish the stream the
  // body goes out as it is: Content-Encoding always names what is sent.
  bool compress = false;
  // Keep the caller's Content-Length instead of the body's size (a HEAD
  // answer that states the length of a body it does not send).
  bool keepLength = false;
  AccessLine accessLine = AccessLine::kWithPort;
};

// Finishes an answer whose status and fields are set:
//   1. compresses the body in memory when asked (see Answer::compress);
//   2. sets Content-Length to the size of the body in memory;
//   3. builds the head; a head that cannot state the length of a body that
//      would follow (3xx heads drop it) goes alone with "Connection: close":
//      closing is then the only end of the answer a client can see;
//   4. sends the head alone for HEAD and for statuses without a body (1xx,
//      204, 304), else head and body (a body in memory by SendInSlices);
//   5. writes the access-log line (status = first three characters of
//      Status, length = Content-Length or "0") when WriteAccessLog is on;
//   6. disconnects unless Connection is "keep-alive", and whenever the
//      answer did not go out whole: a client cannot tell a cut body from
//      the next answer.
// Returns whether everything was handed to the library. Does not reset the
// request state; the caller ends the request.
bool FinishAnswer(ConnId conn, const HttpRequest& request, ResponseHead& response, const Answer& answer);

// Gives body bytes [at, at + length) in out (valid until the next call);
// false when they cannot be read.
using SliceReader = std::function<bool(int64_t at, size_t length, std::string_view& out)>;

// Sends head and a body of length bytes: the first slice of Buffer bytes
// together with the head, every later slice in a send of its own once the
// send queue has room (see AwaitSendRoom, with the FileMapping window).
// Returns whether all of it was handed to the library.
bool SendInSlices(ConnId conn, std::string& head, int64_t length, const SliceReader& read);

// Whether an answer with this status line may carry a body (not 1xx, 204 or 304).
bool StatusHasBody(std::string_view status);

// Waits, in 100 ms steps, until the connection's send queue holds less
// than limit bytes, so that a slow client keeps at most that much of a
// large answer in memory. False when the connection is gone or its queue
// has not shrunk for 60 s (the client has stopped reading).
bool AwaitSendRoom(ConnId conn, int64_t limit);

}  // namespace zevra
