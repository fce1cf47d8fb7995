// Receive buffering: turns the chunks TCP happens to deliver into whole
// requests. A head is collected up to its blank line (at most 64 KiB), a
// body up to its declared Content-Length (in memory up to 4096 bytes, in a
// spool file in WebTemp beyond), and whatever follows is the next request:
// pipelined requests are answered in order and no byte a client sent is
// dropped while its connection lives.
//
// The library delivers the callbacks of one connection one at a time and
// does not read the connection while OnReceive runs; the handlers run
// synchronously inside OnReceive. So when a handler returns (having reset
// the request state), the bytes left in the chunk are handled right here:
// no further OnReceive will come for them.
#include "server/net/ReceiveBuffer.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <limits>

#include "common/Text.h"
#include "platform/System.h"
#include "server/core/OsDetail.h"
#include "server/core/Runtime.h"

namespace zevra {
namespace {

using Guard = std::lock_guard<std::recursive_mutex>;

constexpr std::string_view kTerminator = "\r\n\r\n";

const RequestHandlers* g_handlers = nullptr;

// How a step over the received bytes ended.
enum class Step {
  kDone,      // the request is complete and may be handed on
  kNeedMore,  // every byte was taken; the request waits for more
  kStop,      // the connection was refused and is closing
};

// Content-Length = 1*DIGIT. Signs, blanks inside, other characters and
// values beyond 63 bits are unreadable.
bool ReadLength(std::string_view text, int64_t& value) {
  if (text.empty()) return false;
  uint64_t v = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + static_cast<uint64_t>(c - '0');
    if (v > static_cast<uint64_t>(std::numeric_limits<int64_t>::max())) return false;
  }
  value = static_cast<int64_t>(v);
  return true;
}

void CloseConnection(ConnId conn, ConnectionContext& ctx) {
  {
    Guard guard(ctx.lock);
    ctx.closing = 1;
  }
  Link().Disconnect(conn);
}

// A request receive buffering cannot take: the page, the close, the reset.
Step Refuse(ConnId conn, ConnectionContext& ctx, int status, std::string_view detail = {}) {
  if (g_handlers != nullptr && g_handlers->sendErrorPage != nullptr) {
    g_handlers->sendErrorPage(status, conn, detail);
  }
  CloseConnection(conn, ctx);
  ResetRequestState(conn);
  return Step::kStop;
}

// No answer at all: the bytes are not HTTP this server speaks.
Step Drop(ConnId conn, ConnectionContext& ctx) {
  CloseConnection(conn, ctx);
  ResetRequestState(conn);
  return Step::kStop;
}

// RFC 9110 tchar: what a method is made of.
bool IsTokenChar(char c) {
  if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9')) return true;
  return std::string_view("!#$%&'*+-.^_`|~").find(c) != std::string_view::npos;
}

// Classifies a request by its method, the token before the first space.
// Fewer bytes that can still become a method wait for more (known false);
// bytes that can never be a request line give kKindNone with known true.
int32_t ClassifyMethod(std::string_view first, bool& known) {
  known = true;
  const size_t space = first.find(' ');
  const std::string_view method = first.substr(0, space);
  for (char c : method) {
    if (!IsTokenChar(c)) return kKindNone;
  }
  if (space == std::string_view::npos) {
    if (method.size() > kMaxMethodLength) return kKindNone;
    known = false;
    return kKindNone;
  }
  if (method.empty()) return kKindNone;
  if (method == "GET" || method == "HEAD") return kKindGet;
  if (method == "POST") return kKindPost;
  return kKindOther;
}

// Takes head bytes from input until the blank line. On kDone the head is in
// headBuffer and input starts right after it.
Step CollectHead(ConnId conn, ConnectionContext& ctx, std::string_view& input) {
  size_t have;
  bool begun = false;
  {
    Guard guard(ctx.lock);
    have = ctx.headPart.size();
    if (have == 0 && ctx.state == kStateIdle) {
      // An empty line before a request line is ignored (clients send one
      // after a POST body now and then).
      size_t skip = 0;
      while (skip < input.size() && (input[skip] == '\r' || input[skip] == '\n')) ++skip;
      input.remove_prefix(skip);
      if (input.empty()) return Step::kNeedMore;
      ctx.state = kStateReceiving;
      begun = true;
    }
  }
  // The head's time limit runs from its first byte.
  if (begun) Link().SetRequestPhase(conn, RequestPhase::kHead);
  const std::string& part = ctx.headPart;

  // End of the head within input: a blank line that straddles the chunk
  // boundary starts in the last three kept bytes, before any blank line
  // inside input.
  size_t end = std::string_view::npos;
  for (size_t k = std::min<size_t>(3, have); k >= 1 && end == std::string_view::npos; --k) {
    if (input.size() >= 4 - k && part.compare(have - k, k, kTerminator.data(), k) == 0 &&
        input.substr(0, 4 - k) == kTerminator.substr(k)) {
      end = 4 - k;
    }
  }
  if (end == std::string_view::npos) {
    size_t at = input.find(kTerminator);
    if (at != std::string_view::npos) end = at + kTerminator.size();
  }
  size_t total = have + (end == std::string_view::npos ? input.size() : end);

  // The kind, from the method at the start of kept and new bytes together.
  char first[kMaxMethodLength + 1];
  size_t firstLength = std::min<size_t>(sizeof first, have + input.size());
  for (size_t i = 0; i < firstLength; ++i) first[i] = i < have ? part[i] : input[i - have];
  bool known;
  int32_t kind = ClassifyMethod(std::string_view(first, firstLength), known);
  if (known && kind == kKindNone) return Drop(conn, ctx);

  if (end == std::string_view::npos) {
    if (total >= kMaxHeadBytes) return Refuse(conn, ctx, 400);
    Guard guard(ctx.lock);
    ctx.headPart.append(input.data(), input.size());
    input.remove_prefix(input.size());
    return Step::kNeedMore;
  }
  if (total > kMaxHeadBytes) return Refuse(conn, ctx, 400);

  Guard guard(ctx.lock);
  if (have == 0) {
    ctx.headBuffer.assign(input.data(), end);
  } else {
    ctx.headPart.append(input.data(), end);
    ctx.headBuffer.swap(ctx.headPart);
    std::string().swap(ctx.headPart);
  }
  ctx.headLength = static_cast<int32_t>(total);
  ctx.requestKind = kind;
  input.remove_prefix(end);
  return Step::kDone;
}

// Reads the framing of a complete head and prepares the body store.
Step BeginBody(ConnId conn, ConnectionContext& ctx, BodyFraming& framing) {
  int32_t kind;
  {
    Guard guard(ctx.lock);
    framing = ReadBodyFraming(std::string_view(ctx.headBuffer.data(), static_cast<size_t>(ctx.headLength)));
    kind = ctx.requestKind;
  }
  // A body whose end cannot be told for certain is refused: guessing would
  // let the next request start in the middle of it.
  if (framing.transferEncoding || framing.length == BodyFraming::kBadLength) return Refuse(conn, ctx, 400);
  if (kind == kKindPost && framing.length == BodyFraming::kNoLength) return Refuse(conn, ctx, 411);
  // A body above the limit is refused before a byte of it is read or
  // stored; the connection closes, since the body would follow.
  if (framing.length == BodyFraming::kLength && framing.contentLength > g_settings.MaxBodySize) {
    return Refuse(conn, ctx, 413);
  }

  // A POST body is kept only for a CGI program: for any other target the
  // answer (405, 400 …) needs none of it, and it is read past like the
  // body of a GET instead of filling memory or WebTemp.
  const bool keepBody = kind == kKindPost && framing.contentLength > 0 &&
                        (g_handlers == nullptr || g_handlers->wantsBody == nullptr || g_handlers->wantsBody(conn));

  Guard guard(ctx.lock);
  ctx.contentLength = framing.length == BodyFraming::kLength ? framing.contentLength : 0;
  ctx.bodyReceived = 0;
  ctx.bodySpooled = 0;
  ctx.bodyDropped = kind == kKindPost && !keepBody ? 1 : 0;
  if (kind == kKindPost && keepBody) {
    if (ctx.contentLength <= kMaxMemoryBody) {
      ctx.bodyMemory.reserve(static_cast<size_t>(ctx.contentLength));
    } else {
      ctx.bodySpooled = 1;
    }
  }
  return Step::kDone;
}

// Takes body bytes from input, never more than the declared length.
Step TakeBody(ConnId conn, ConnectionContext& ctx, std::string_view& input) {
  bool spoolFailed = false;
  bool complete;
  {
    Guard guard(ctx.lock);
    int64_t remaining = ctx.contentLength - ctx.bodyReceived;
    size_t take = static_cast<size_t>(std::min<int64_t>(remaining, static_cast<int64_t>(input.size())));
    if (take > 0) {
      std::string_view bytes = input.substr(0, take);
      if (ctx.requestKind == kKindPost && ctx.bodyDropped == 0) {
        if (ctx.bodySpooled == 0) {
          ctx.bodyMemory.append(bytes.data(), bytes.size());
        } else if (!SpoolBody(ctx, ctx.bodyReceived == 0 ? kSpoolFirst : kSpoolMore, bytes)) {
          spoolFailed = true;
        }
      }
      // A body on a GET or HEAD is read and dropped: the handlers have no
      // use for it, but it must not be taken for the next request.
      ctx.bodyReceived += static_cast<int64_t>(take);
      input.remove_prefix(take);
    }
    complete = !spoolFailed && ctx.bodyReceived == ctx.contentLength;
    if (complete && ctx.requestKind == kKindPost && ctx.bodySpooled == 1 && !SpoolBody(ctx, kSpoolFinish, {})) {
      spoolFailed = true;
    }
  }
  if (spoolFailed) return Refuse(conn, ctx, 500, OsDetail(platform::LastErrorCode()));
  return complete ? Step::kDone : Step::kNeedMore;
}

// Hands a complete request to its handler. False when nothing more may be
// handled on the connection now (it is closing, or the handler kept it).
bool HandOn(ConnId conn, ConnectionContext& ctx) {
  int32_t kind;
  {
    Guard guard(ctx.lock);
    ctx.busy = 1;
    kind = ctx.requestKind;
  }
  Link().SetRequestPhase(conn, RequestPhase::kAnswering);
  void (*handler)(ConnId) = nullptr;
  if (g_handlers != nullptr) {
    handler = kind == kKindPost    ? g_handlers->handlePost
              : kind == kKindOther ? g_handlers->handleOther
                                   : g_handlers->handleGet;
  }
  if (handler == nullptr) {
    Drop(conn, ctx);
    return false;
  }
  handler(conn);
  Guard guard(ctx.lock);
  return ctx.closing == 0 && ctx.busy == 0;
}

// True when an earlier answer still waits in the library's queue and the
// library will say when it has left: the next request then waits too. A
// client that pipelines requests but reads no answers so holds one queued
// answer (and one open file) at a time, not one per request it sent.
bool AnswerStillQueued(ConnId conn) {
  int64_t pending = 0;
  return Link().PendingBytes(conn, pending) && pending > 0 && Link().HoldReceive(conn);
}

// Works through received bytes: heads, bodies, handlers, next request.
// Every request takes at least four bytes, so the loop ends within the
// chunk. False when the rest of input cannot be handled now.
bool ProcessBytes(ConnId conn, ConnectionContext& ctx, std::string_view& input) {
  while (!input.empty()) {
    int32_t kind;
    bool between;
    {
      Guard guard(ctx.lock);
      if (ctx.closing != 0 || ctx.busy != 0) return false;
      kind = ctx.requestKind;
      between = ctx.state == kStateIdle && ctx.headPart.empty();
    }
    if (between && AnswerStillQueued(conn)) return false;
    if (kind == kKindNone) {
      Step step = CollectHead(conn, ctx, input);
      if (step != Step::kDone) return step != Step::kStop;
      BodyFraming framing;
      if (BeginBody(conn, ctx, framing) == Step::kStop) return false;
      step = TakeBody(conn, ctx, input);
      if (step == Step::kStop) return false;
      if (step == Step::kNeedMore) {
        Link().SetRequestPhase(conn, RequestPhase::kBody);
        // "100 Continue" only where the client asked to wait for it; an
        // HTTP/1.0 client would not understand it.
        bool isPost;
        {
          Guard guard(ctx.lock);
          isPost = ctx.requestKind == kKindPost;
        }
        if (isPost && framing.expectContinue && !framing.http10 && g_handlers != nullptr &&
            g_handlers->sendContinue != nullptr) {
          g_handlers->sendContinue(conn);
        }
        return true;
      }
    } else {
      Step step = TakeBody(conn, ctx, input);
      if (step == Step::kStop) return false;
      if (step == Step::kNeedMore) return true;
    }
    if (!HandOn(conn, ctx)) return false;
  }
  return true;
}

// Keeps bytes that cannot be handled yet. Bounded like a head: a client
// that keeps sending while it is being answered is cut off.
void Defer(ConnId conn, ConnectionContext& ctx, std::string_view bytes) {
  bool overflow;
  {
    Guard guard(ctx.lock);
    if (ctx.closing != 0 || bytes.empty()) return;  // nobody will read them any more
    overflow = ctx.deferred.size() + bytes.size() > kMaxHeadBytes;
    if (!overflow) ctx.deferred.append(bytes.data(), bytes.size());
  }
  if (overflow) CloseConnection(conn, ctx);
}

}  // namespace

void SetRequestHandlers(const RequestHandlers* handlers) { g_handlers = handlers; }

uint64_t NewSpoolNumber() {
  static std::atomic<uint64_t> next{0};
  return next.fetch_add(1, std::memory_order_relaxed) + 1;
}

void HandleReceivedData(ConnId conn, const uint8_t* data, size_t length) {
  ConnectionContext* ctx = Link().Context(conn);
  if (ctx == nullptr) return;
  std::string_view input(reinterpret_cast<const char*>(data), length);
  std::string early;
  bool busy;
  {
    Guard guard(ctx->lock);
    if (ctx->closing != 0) return;
    busy = ctx->busy != 0;
    if (!busy) early.swap(ctx->deferred);
  }
  if (busy) {
    // Never while a handler runs (the library does not read a connection
    // during its OnReceive); only a handler that returned without ending
    // its request leaves busy set.
    Defer(conn, *ctx, input);
    return;
  }
  if (!early.empty()) {
    std::string_view kept(early);
    if (!ProcessBytes(conn, *ctx, kept)) {
      Defer(conn, *ctx, kept);
      Defer(conn, *ctx, input);
      return;
    }
  }
  if (!ProcessBytes(conn, *ctx, input)) Defer(conn, *ctx, input);
}

bool SpoolBody(ConnectionContext& ctx, SpoolMode mode, std::string_view bytes) {
  Guard guard(ctx.lock);
  if (mode == kSpoolFinish) {
    if (!ctx.bodyFile.IsOpen()) return false;
    ctx.bodyFile.Close();
    // The name is private to this connection: a "Done_" file of that name
    // can only be a leftover of an earlier worker, so it is replaced.
    return platform::ReplaceFileWith(SpoolFilePath(ctx.spoolNumber, false), SpoolFilePath(ctx.spoolNumber, true));
  }
  if (!ctx.bodyFile.IsOpen()) {
    ctx.bodyFile = platform::File::CreateAlways(SpoolFilePath(ctx.spoolNumber, false));
    if (!ctx.bodyFile.IsOpen()) return false;
  }
  if (!ctx.bodyFile.SeekToEnd()) {
    ctx.bodyFile.Close();
    return false;
  }
  return ctx.bodyFile.WriteAll(bytes.data(), bytes.size());
}

BodyFraming ReadBodyFraming(std::string_view head) {
  BodyFraming framing;
  size_t lineEnd = head.find("\r\n");
  std::string_view requestLine = head.substr(0, lineEnd);
  framing.http10 = requestLine.size() >= 9 && requestLine.substr(requestLine.size() - 9) == " HTTP/1.0";
  size_t at = lineEnd == std::string_view::npos ? head.size() : lineEnd + 2;
  while (at < head.size()) {
    size_t end = head.find("\r\n", at);
    if (end == std::string_view::npos) end = head.size();
    std::string_view line = head.substr(at, end - at);
    at = end + 2;
    if (line.empty()) break;  // the blank line ends the head
    size_t colon = line.find(':');
    if (colon == std::string_view::npos) continue;
    std::string_view name = line.substr(0, colon);
    std::string_view bareName = name;
    while (!bareName.empty() && (bareName.back() == ' ' || bareName.back() == '\t')) bareName.remove_suffix(1);
    std::string_view value = TrimBlanks(line.substr(colon + 1));
    if (EqualsIgnoreCase(bareName, "Content-Length")) {
      int64_t length = 0;
      // Blanks between name and colon are refused: other readers would not
      // see the same field.
      if (bareName.size() != name.size() || !ReadLength(value, length) ||
          (framing.length == BodyFraming::kLength && framing.contentLength != length)) {
        framing.length = BodyFraming::kBadLength;
      } else if (framing.length != BodyFraming::kBadLength) {
        framing.length = BodyFraming::kLength;
        framing.contentLength = length;
      }
    } else if (EqualsIgnoreCase(bareName, "Transfer-Encoding")) {
      framing.transferEncoding = true;
    } else if (EqualsIgnoreCase(bareName, "Expect")) {
      framing.expectContinue = EqualsIgnoreCase(value, "100-continue");
    }
  }
  return framing;
}

}  // namespace zevra
