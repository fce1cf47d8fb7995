// The few answers receive buffering gives on its own, before any handler
// has a request: "100 Continue" and the pages for requests it cannot read.
// Kept apart from ReceiveBuffer.cpp so that the buffering links (and is
// tested) without the response code.
#include "server/dispatch/Dispatch.h"
#include "server/net/ReceiveBuffer.h"
#include "server/net/RequestParser.h"
#include "server/response/ErrorPages.h"
#include "server/response/ResponseHead.h"

namespace zevra {
namespace {

void SendRefusalPage(int status, ConnId conn, std::string_view detail) {
  // The head, when it was complete, names the request in the access log.
  std::string head;
  if (ConnectionContext* ctx = Link().Context(conn)) {
    std::lock_guard<std::recursive_mutex> guard(ctx->lock);
    head.assign(ctx->headBuffer.data(), std::min<size_t>(ctx->headBuffer.size(), static_cast<size_t>(ctx->headLength)));
  }
  HttpRequest request;
  if (!head.empty()) request = ParseRequestHead(head);
  ResponseHead response;
  response.Connection = "close";
  SendErrorPage(status, request, response, conn, detail);
}

}  // namespace

void SendContinue(ConnId conn) {
  ResponseHead head;
  head.Status = "100 Continue";
  head.AcceptRanges = "";
  SendBytes(conn, BuildResponseHead(head));
}

const RequestHandlers kDispatchHandlers = {HandleGetRequest, HandlePostRequest, SendRefusalPage, SendContinue,
                                           HandleOtherRequest, PostBodyWanted};

}  // namespace zevra
