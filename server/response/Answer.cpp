#include "server/response/Answer.h"

#include <algorithm>

#include "common/Text.h"
#include "platform/Clock.h"
#include "platform/System.h"
#include "server/core/Runtime.h"
#include "server/response/Compression.h"
#include "server/response/Logs.h"
#include "server/response/ResponseHead.h"

namespace zevra {
namespace {

// A queue that has not shrunk for this long belongs to a client that has
// stopped reading; it would hold a worker thread for ever otherwise (the
// silence sweeper is off by default).
constexpr uint64_t kSendStallMs = 60000;
constexpr uint32_t kSendPauseMs = 100;
// What Buffer and FileMapping mean when they are not set.
constexpr int64_t kDefaultSendSize = 40960;
constexpr int64_t kDefaultWindow = 16 * 1048576;

bool HasContentLengthLine(std::string_view extraHeaders) {
  static constexpr std::string_view kName = "content-length:";
  size_t at = 0;
  while (at < extraHeaders.size()) {
    if (EqualsIgnoreCase(extraHeaders.substr(at, kName.size()), kName)) return true;
    const size_t end = extraHeaders.find("\r\n", at);
    if (end == std::string_view::npos) break;
    at = end + 2;
  }
  return false;
}

}  // namespace

bool StatusHasBody(std::string_view status) {
  if (!status.empty() && status[0] == '1') return false;
  const std::string_view code = status.substr(0, 3);
  return code != "204" && code != "304";
}

bool FinishAnswer(ConnId conn, const HttpRequest& request, ResponseHead& response, const Answer& answer) {
  const bool inMemory = !answer.sendBody;
  std::string_view body = inMemory ? answer.body : std::string_view();
  std::string packed;
  if (inMemory && answer.compress) {
    if (CompressBytes(body, packed)) {
      body = packed;
      response.ContentEncoding = "gzip";
    } else {
      response.ContentEncoding.clear();
    }
  }
  if (inMemory && !answer.keepLength) response.ContentLength = std::to_string(body.size());

  std::string head = BuildResponseHead(response);
  const bool mayHaveBody = StatusHasBody(response.Status);
  bool close = AsciiLower(response.Connection) != "keep-alive";
  // A length among the extra lines states it as well: a redirect's
  // "Content-Length: 0", which the head's own field cannot carry for a 3xx.
  const bool lengthStated = !response.ContentLength.empty() || HasContentLengthLine(response.ExtraHeaders);
  if (!lengthStated && mayHaveBody && !close) {
    response.Connection = "close";
    head = BuildResponseHead(response);
    close = true;
  }

  // Taken before the send: once a send is refused the library may have
  // forgotten the peer.
  std::string accessLine;
  if (g_settings.WriteAccessLog) {
    accessLine = AccessLogMessage(conn, request, std::string_view(response.Status).substr(0, 3),
                                  response.ContentLength.empty() ? std::string_view("0")
                                                                 : std::string_view(response.ContentLength),
                                  answer.accessLine == AccessLine::kWithPort);
  }

  const bool headOnly = EqualsIgnoreCase(request.Method, "HEAD") || !mayHaveBody || !lengthStated;
  bool complete;
  if (headOnly) {
    complete = SendBytes(conn, head);
  } else if (!inMemory) {
    complete = answer.sendBody(head);
  } else {
    complete = SendInSlices(conn, head, static_cast<int64_t>(body.size()),
                            [body](int64_t at, size_t length, std::string_view& out) {
                              out = body.substr(static_cast<size_t>(at), length);
                              return true;
                            });
  }

  // Written before a close, so that a client that sees the close finds
  // its line.
  if (g_settings.WriteAccessLog) AppendAccessLog(accessLine);
  if (close || !complete) Link().Disconnect(conn);
  return complete;
}

bool SendInSlices(ConnId conn, std::string& head, int64_t length, const SliceReader& read) {
  const int64_t slice = g_settings.Buffer > 0 ? g_settings.Buffer : kDefaultSendSize;
  const int64_t room = g_settings.FileMapping > 0 ? g_settings.FileMapping : kDefaultWindow;
  std::string_view bytes;
  int64_t sent = std::min(length, slice);
  if (!read(0, static_cast<size_t>(sent), bytes)) return false;
  head.append(bytes);
  if (!SendBytes(conn, head)) return false;
  while (sent < length) {
    if (!AwaitSendRoom(conn, room)) return false;
    const int64_t count = std::min(length - sent, slice);
    if (!read(sent, static_cast<size_t>(count), bytes) || !SendBytes(conn, bytes)) return false;
    sent += count;
  }
  return true;
}

bool AwaitSendRoom(ConnId conn, int64_t limit) {
  int64_t last = -1;
  uint64_t since = platform::MonotonicMilliseconds();
  for (;;) {
    int64_t pending = 0;
    if (!Link().PendingBytes(conn, pending)) return false;  // the connection is gone
    if (pending < limit) return true;
    const uint64_t now = platform::MonotonicMilliseconds();
    if (last < 0 || pending < last) {
      last = pending;
      since = now;
    } else if (now - since >= kSendStallMs) {
      return false;
    }
    platform::SleepMilliseconds(kSendPauseMs);
  }
}

}  // namespace zevra
