// The two request handlers: a complete request in, exactly one answer out.
#pragma once

#include "server/core/ServerLink.h"
#include "server/net/ReceiveBuffer.h"

namespace zevra {

void HandleGetRequest(ConnId conn);
void HandlePostRequest(ConnId conn);

// The receive-buffering table that answers through these handlers and the
// error pages.
extern const RequestHandlers kDispatchHandlers;

}  // namespace zevra
