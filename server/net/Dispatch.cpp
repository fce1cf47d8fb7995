// PLACEHOLDER until the request dispatcher lands in this file: every
// complete request is answered with the 503 page (the connection closes)
// and its state is reset, so that the worker runs end to end without
// pretending to serve. No test relies on this answer.
#include "server/net/Dispatch.h"

#include <mutex>
#include <string>

#include "server/net/ConnectionContext.h"
#include "server/net/ReceiveBuffer.h"
#include "server/net/RequestParser.h"
#include "server/response/ErrorPages.h"

namespace zevra {
namespace {

void AnswerPlaceholder(ConnId conn) {
  std::string head;
  if (ConnectionContext* ctx = Link().Context(conn)) {
    std::lock_guard<std::recursive_mutex> guard(ctx->lock);
    head = ctx->headBuffer;
  }
  HttpRequest request = ParseRequestHead(head);
  ResponseHead response;
  SendErrorPage(503, request, response, conn);
  ResetRequestState(conn);
}

}  // namespace

void HandleGetRequest(ConnId conn) { AnswerPlaceholder(conn); }
void HandlePostRequest(ConnId conn) { AnswerPlaceholder(conn); }

}  // namespace zevra
