// The request handlers: a complete request in, exactly one answer out.
#pragma once

#include "server/core/ServerLink.h"
#include "server/net/ReceiveBuffer.h"

namespace zevra {

void HandleGetRequest(ConnId conn);
void HandlePostRequest(ConnId conn);
// A request with any other method: 501 with the methods there are.
void HandleOtherRequest(ConnId conn);
// Whether the POST whose head the connection holds goes to a CGI script
// this site may run, the one use of a request body.
bool PostBodyWanted(ConnId conn);

// The receive-buffering table that answers through these handlers and the
// error pages.
extern const RequestHandlers kDispatchHandlers;

}  // namespace zevra
